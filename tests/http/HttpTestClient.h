// What the status server's tests share: servers on a fixed snapshot, and
// clients that see exactly what the server sends (raw sockets from any
// local address, and libcurl over TLS as a scraper makes its requests).
#ifndef QEL_HTTP_TEST_CLIENT_H
#define QEL_HTTP_TEST_CLIENT_H

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "KwStatsHttpServer.h"
#include "KwStatsSnapshot.h"
#include "curl/curl.h"

inline KwStatsSnapshot Fixed() {
    KwStatsEventSnapshot rx;
    rx.name = "rx";
    rx.counted = true;
    rx.total = 42;
    KwStatsSnapshot snapshot;
    snapshot.takenAt = 1765000000;
    snapshot.state = KwStatsStates::ST_COLLECTING;
    snapshot.collectionThread = true;
    snapshot.events = {rx};
    return snapshot;
}

inline bool FixedSource(KwStatsSnapshot& out) {
    out = Fixed();
    return true;
}

// A server on `options` over the fixed snapshot: null, and the test failed
// with the reason, when it refuses to start.
inline std::unique_ptr<KwStatsHttpServer> Serve(const KwStatsHttpOptions& options = {}) {
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(options, error, FixedSource);
    EXPECT_NE(server, nullptr) << error;
    return server;
}

inline KwStatsHttpOptions WithConfig(const std::string& webConfigFile) {
    KwStatsHttpOptions options;
    options.webConfigFile = webConfigFile;
    return options;
}

// Why Start() refuses `options`, or "started".
inline std::string Refusal(const KwStatsHttpOptions& options) {
    std::string why;
    std::unique_ptr<KwStatsHttpServer> server = KwStatsHttpServer::Start(options, why, FixedSource);
    return server == nullptr ? why : "started";
}

struct Response {
    std::string status;  // "HTTP/1.1 200 OK", or "closed" when none came
    std::string head;    // the whole head, as sent
    std::map<std::string, std::string> headers;
    std::string body;
};

// A connection to the server from `from` (any local address).
inline int Connect(int port, const char* from = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (from != nullptr) {
        inet_pton(AF_INET, from, &address.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The status lines and Connection headers of the answers in `text`, in
// order: "HTTP/1.1 200 OK|close" ("" when there is no Connection header).
// `bodiless[i]`: the i-th answers a HEAD (its Content-Length has no body).
inline std::vector<std::string> Answers(const std::string& text,
                                        const std::vector<bool>& bodiless = {}) {
    std::vector<std::string> answers;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n\r\n", at);
        if (end == std::string::npos) {
            break;
        }
        std::istringstream lines(text.substr(at, end - at));
        std::string status, line, connection;
        std::getline(lines, status);
        status.pop_back();
        size_t length = 0;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();  // the last line has its CR LF in the blank line
            }
            if (line.compare(0, 16, "Content-Length: ") == 0) {
                length = std::stoul(line.substr(16));
            } else if (line.compare(0, 12, "Connection: ") == 0) {
                connection = line.substr(12);
            }
        }
        if (answers.size() < bodiless.size() && bodiless[answers.size()]) {
            length = 0;
        }
        answers.push_back(status + "|" + connection);
        at = end + 4 + length;
    }
    return answers;
}

// Reads until `count` whole answers came, the server closed the connection
// or 10 s passed in silence: what came.
inline std::string ReadAnswers(int fd, size_t count, const std::vector<bool>& bodiless = {}) {
    std::string text;
    char buffer[4096];
    pollfd ready = {fd, POLLIN, 0};
    while ((count == SIZE_MAX || Answers(text, bodiless).size() < count) &&
           poll(&ready, 1, 10000) == 1) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Everything the server sends until it closes the connection (or 10 s of
// silence, which fails the test that expected an answer).
inline std::string ReadAll(int fd) {
    return ReadAnswers(fd, SIZE_MAX);
}

// Sends `request` as it stands and reads the answer to the end; the
// request asks for the connection to close, or is cut before its end. The
// client closes its half at once, unless `halfClose` is false (see
// TheRightPasswordPassesAtOnceDuringAFlood).
inline Response Exchange(int port, const std::string& request, const char* from = nullptr,
                         bool halfClose = true) {
    Response response;
    int fd = Connect(port, from);
    if (fd < 0 ||
        write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        response.status = "no connection";
        if (fd >= 0) {
            close(fd);
        }
        return response;
    }
    if (halfClose) {
        shutdown(fd, SHUT_WR);
    }
    std::string text = ReadAll(fd);
    close(fd);
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        response.status = "closed";
        return response;
    }
    response.head = text.substr(0, end + 2);
    response.body = text.substr(end + 4);
    std::istringstream lines(response.head);
    std::getline(lines, response.status);
    response.status.pop_back();  // its CR
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(": ");
        response.headers[line.substr(0, colon)] = line.substr(colon + 2, line.size() - colon - 3);
    }
    return response;
}

inline Response Ask(int port, const std::string& method, const std::string& target) {
    return Exchange(
        port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

struct Fetched {
    long status = 0;  // 0: no answer
    std::string error, headers, body;
    std::string subject;  // of the certificate the server showed
};

// One GET over https with libcurl, as a scraper makes it.
inline Fetched FetchTls(int port, const std::string& path, const char* userPassword,
                        const char* cert, long maxTls = CURL_SSLVERSION_MAX_DEFAULT,
                        const char* header = nullptr, bool verify = true) {
    const std::string tls = QEL_TEST_DATA "/tls/";
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + path;
    Fetched fetched;
    CURL* curl = curl_easy_init();
    auto take = +[](char* data, size_t size, size_t count, void* text) {
        static_cast<std::string*>(text)->append(data, size * count);
        return size * count;
    };
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, (tls + "ca.crt").c_str());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2 | maxTls);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, take);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &fetched.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, take);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &fetched.headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    if (userPassword != nullptr) {
        curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword);
    }
    if (cert != nullptr) {
        // libcurl keeps copies of the texts it is given.
        curl_easy_setopt(curl, CURLOPT_SSLCERT, (tls + cert + ".crt").c_str());
        curl_easy_setopt(curl, CURLOPT_SSLKEY, (tls + cert + ".key").c_str());
    }
    curl_slist* headers = header != nullptr ? curl_slist_append(nullptr, header) : nullptr;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
    curl_certinfo* info = nullptr;
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
        if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) == CURLE_OK && info != nullptr &&
            info->num_of_certs > 0) {
            for (curl_slist* line = info->certinfo[0]; line != nullptr; line = line->next) {
                if (strncmp(line->data, "Subject:", 8) == 0) {
                    // "CN=x" as libcurl on GnuTLS writes it (on OpenSSL: "CN = x").
                    for (const char* c = line->data + 8; *c != '\0'; ++c) {
                        if (*c != ' ') {
                            fetched.subject += *c;
                        }
                    }
                }
            }
        }
    }
    fetched.error = error;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return fetched;
}

// Whether the server closed `fd` (the peer reads its end) within `ms`.
inline bool ClosedWithin(int fd, int ms) {
    pollfd ready = {fd, POLLIN, 0};
    char byte;
    return poll(&ready, 1, ms) == 1 && recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

#endif  // QEL_HTTP_TEST_CLIENT_H
