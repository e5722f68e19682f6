// A remote-write receiver of the tests' own on libmicrohttpd: it keeps every
// request and answers from a script (status, body, Retry-After), then 204.
#ifndef QEL_TEST_RECEIVER_H
#define QEL_TEST_RECEIVER_H

#include <arpa/inet.h>
#include <ctype.h>
#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "RemoteWriteDecoder.h"

struct ReceivedRequest {
    std::string method, path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    int answered = 0;
    std::vector<DecodedSeries> series;  // the body decoded (empty if it is not remote write)
    bool decoded = false;
    std::chrono::steady_clock::time_point at;  // when it was answered
};

struct ScriptedAnswer {
    int status;
    std::string body;
    std::string retryAfter;  // empty: no header
};

class TestReceiver {
public:
    // TLS with the PEM given, where given.
    explicit TestReceiver(const std::string& certPem = "", const std::string& keyPem = "")
        : m_cert(certPem), m_key(keyPem) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Without a certificate the options end before the TLS ones.
        bool tls = !m_cert.empty();
        m_daemon = MHD_start_daemon(
            MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | (tls ? MHD_USE_TLS : 0), 0, nullptr,
            nullptr, &TestReceiver::Answer, this, MHD_OPTION_SOCK_ADDR, &address,
            MHD_OPTION_NOTIFY_COMPLETED, &TestReceiver::Done, this,
            tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, m_cert.c_str(),
            MHD_OPTION_HTTPS_MEM_KEY, m_key.c_str(), MHD_OPTION_END);
        if (m_daemon != nullptr) {
            m_port = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
        }
    }
    ~TestReceiver() { Stop(); }

    void Stop() {
        if (m_daemon != nullptr) {
            MHD_stop_daemon(m_daemon);
            m_daemon = nullptr;
        }
    }
    int Port() const { return m_port; }
    std::string Url(const std::string& scheme = "http") const {
        return scheme + "://127.0.0.1:" + std::to_string(m_port) + "/api/v1/write";
    }
    void Script(const std::vector<ScriptedAnswer>& answers) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_script.assign(answers.begin(), answers.end());
    }
    std::vector<ReceivedRequest> Requests() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }
    // Waits until `count` requests have been answered.
    bool WaitFor(size_t count, int seconds = 20) const {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(seconds),
                                  [&] { return m_requests.size() >= count; });
    }

private:
    static MHD_Result Header(void* context, MHD_ValueKind, const char* key, const char* value) {
        std::string name = key;
        for (char& c : name) {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        static_cast<ReceivedRequest*>(context)->headers[name] = value;
        return MHD_YES;
    }

    static MHD_Result Answer(void* self, MHD_Connection* connection, const char* url,
                             const char* method, const char*, const char* data, size_t* size,
                             void** state) {
        TestReceiver* receiver = static_cast<TestReceiver*>(self);
        if (*state == nullptr) {
            ReceivedRequest* request = new ReceivedRequest();
            request->method = method;
            request->path = url;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &Header, request);
            *state = request;
            return MHD_YES;
        }
        ReceivedRequest& request = *static_cast<ReceivedRequest*>(*state);
        if (*size > 0) {
            request.body.append(data, *size);
            *size = 0;
            return MHD_YES;
        }
        ScriptedAnswer answer{204, "", ""};
        {
            std::lock_guard<std::mutex> guard(receiver->m_lock);
            if (!receiver->m_script.empty()) {
                answer = receiver->m_script.front();
                receiver->m_script.pop_front();
            }
        }
        request.answered = answer.status;
        request.at = std::chrono::steady_clock::now();
        std::string raw;
        request.decoded = Unsnappy(request.body, raw) && DecodeWriteRequest(raw, request.series);
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
        if (!answer.retryAfter.empty()) {
            MHD_add_response_header(response, "Retry-After", answer.retryAfter.c_str());
        }
        MHD_Result queued = MHD_queue_response(connection, answer.status, response);
        MHD_destroy_response(response);
        {
            std::lock_guard<std::mutex> guard(receiver->m_lock);
            receiver->m_requests.push_back(request);
        }
        receiver->m_changed.notify_all();
        return queued;
    }

    static void Done(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
        delete static_cast<ReceivedRequest*>(*state);
        *state = nullptr;
    }

    std::string m_cert, m_key;
    MHD_Daemon* m_daemon = nullptr;
    int m_port = 0;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::deque<ScriptedAnswer> m_script;
    std::vector<ReceivedRequest> m_requests;
};

#endif  // QEL_TEST_RECEIVER_H
