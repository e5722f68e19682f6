// One connection to the receiver through libcurl, reused from request to
// request: the POST of remote write with its four headers, TLS, basic auth
// or an Authorization header, and timeouts.
#ifndef KW_PUSH_TRANSPORT_H
#define KW_PUSH_TRANSPORT_H

#include <atomic>
#include <string>

#include "KwStatsPusher.h"

typedef void CURL;
// Milliseconds of the steady clock.
long long KwSteadyMs();

struct curl_slist;

// A time by which to give up, set once by one thread and read by another
// (no 64-bit atomics: 32-bit PowerPC would need libatomic for them).
class KwPushDeadline {
public:
    void Set(long long atMs) {
        m_atMs = atMs;
        m_set.store(true, std::memory_order_release);
    }
    bool Passed() const { return m_set.load(std::memory_order_acquire) && KwSteadyMs() >= m_atMs; }
    bool IsSet() const { return m_set.load(std::memory_order_acquire); }
    long long AtMs() const { return m_atMs; }  // after IsSet()

private:
    std::atomic<bool> m_set{false};
    long long m_atMs = 0;
};

struct KwPushAnswer {
    long status = 0;         // the HTTP status; 0: no answer (the reason in `error`)
    std::string error;       // libcurl's reason when there was no answer
    std::string body;        // the first 512 bytes of the answer's body
    long retryAfterMs = -1;  // Retry-After, where given and readable
};

class KwPushTransport {
public:
    KwPushTransport() = default;
    ~KwPushTransport();
    KwPushTransport(const KwPushTransport&) = delete;
    KwPushTransport& operator=(const KwPushTransport&) = delete;

    // Reads the secrets (bounded, their first line) and prepares the
    // connection. False with the reason in `error`.
    bool Init(const KwStatsPushOptions& options, std::string& error);

    // Posts a snappy-compressed WriteRequest. A request gives up after
    // `timeoutMs`, or once `deadline`, which another thread may set while it
    // runs, has passed.
    KwPushAnswer Post(const std::string& body, long timeoutMs, const KwPushDeadline& deadline);
    // Whether the deadline given to Post() has passed.
    bool AbortRequested() const;

private:
    static size_t TakeBody(char* data, size_t size, size_t count, void* self);
    static size_t TakeHeader(char* data, size_t size, size_t count, void* self);

    CURL* m_curl = nullptr;
    curl_slist* m_headers = nullptr;
    std::string m_url;
    std::string m_username;
    std::string m_password;
    KwPushAnswer m_answer;
    const KwPushDeadline* m_deadline = nullptr;
};

// A receiver's text made fit for a log line: at most `max` bytes, every byte
// outside printable ASCII as \xHH, and a backslash as \\.
std::string KwEscapeForLog(const std::string& text, size_t max);

#endif  // KW_PUSH_TRANSPORT_H
