// The status server over a fixed snapshot: exact routes, methods and
// headers as an HTTP client sees them, malformed requests, its limits and
// its stop, its refusals to start, and TLS with client certificates and
// basic auth (the web configuration's refusals: http_config_test).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "HttpTestClient.h"
#include "KwStatsHttpServer.h"
#include "KwStatsJson.h"
#include "LogCapture.h"
#include "OpenDescriptors.h"
#include "ScratchFolder.h"
#include "TestTime.h"

namespace {

// A text with a NUL between `before` and `after`.
std::string Nul(const std::string& before, const std::string& after) {
    return before + '\0' + after;
}

}  // namespace

// One server: its routes, exactly, for GET and HEAD only; then malformed
// requests, each with a fixed head, and absolute targets, served.
TEST(KwStatsHttpServerTest, ExactRoutesForGetAndHeadOnlyAndAFixedHeadForMalformedRequests) {
    std::unique_ptr<KwStatsHttpServer> server = Serve();
    ASSERT_NE(server, nullptr);
    const int port = server->Port();
    ASSERT_GT(port, 0);

    const struct {
        const char* path;
        const char* type;
        const char* start;  // of the body
    } routes[] = {
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", "# HELP qel_events_total "},
        {"/stats.json", "application/json", "{\"taken_at\":1765000000,"},
        {"/", "text/html; charset=utf-8", "<!DOCTYPE html>"},
        {"/metrics?x=1", "text/plain; version=0.0.4; charset=utf-8", "# HELP"}};
    for (const auto& route : routes) {
        Response get = Ask(port, "GET", route.path);
        Response head = Ask(port, "HEAD", route.path);
        EXPECT_EQ(get.status, "HTTP/1.1 200 OK") << route.path;
        EXPECT_EQ(get.headers["Content-Type"], route.type) << route.path;
        EXPECT_EQ(get.body.compare(0, strlen(route.start), route.start), 0) << get.body;
        EXPECT_EQ(get.headers["Content-Length"], std::to_string(get.body.size())) << route.path;
        EXPECT_EQ(get.headers["Cache-Control"], "no-store");
        EXPECT_EQ(get.headers["X-Content-Type-Options"], "nosniff");
        EXPECT_EQ(get.headers["Content-Security-Policy"],
                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                  "connect-src 'self'; img-src data:");
        EXPECT_EQ(head.status, get.status) << route.path;
        EXPECT_EQ(head.headers["Content-Length"], get.headers["Content-Length"]) << route.path;
        EXPECT_EQ(head.body, "") << route.path;
    }
    EXPECT_EQ(Ask(port, "GET", "/stats.json").body, KwStatsJson(Fixed()));
    EXPECT_NE(
        Ask(port, "GET", "/metrics").body.find("\nqel_events_total{event=\"rx\",id=\"0\"} 42\n"),
        std::string::npos);

    // Any method token, known or not: 405 on a route.
    for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "FOO"}) {
        for (const char* path : {"/metrics", "/stats.json", "/"}) {
            Response refused = Ask(port, method, path);
            EXPECT_EQ(refused.status, "HTTP/1.1 405 Method Not Allowed") << method << " " << path;
            EXPECT_EQ(refused.headers["Allow"], "GET, HEAD") << method << " " << path;
        }
    }
    for (const char* path : {"/metrics.bak", "/METRICS", "/metrics/", "/%6Detrics", "/./metrics",
                             "/stats.json/", "/index.html", "//", "/status_page.html"}) {
        EXPECT_EQ(Ask(port, "GET", path).status, "HTTP/1.1 404 Not Found") << path;
        EXPECT_EQ(Ask(port, "POST", path).status, "HTTP/1.1 404 Not Found") << path;
    }
    EXPECT_EQ(Ask(port, "TRACE", "/nothing?a=b").status, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(Ask(port, "TRACE", "/metrics?a=b").status, "HTTP/1.1 405 Method Not Allowed");
    Response missing = Ask(port, "GET", "/nothing");
    EXPECT_EQ(missing.headers["Content-Type"] + "|" + missing.body,
              "text/plain; charset=utf-8|not found\n");
    Response head404 = Ask(port, "HEAD", "/nothing");
    EXPECT_EQ(head404.status + "|" + head404.body, "HTTP/1.1 404 Not Found|");

    const std::string host = "Host: x\r\nConnection: close\r\n";
    const std::string absolute = "http://127.0.0.1:" + std::to_string(port);
    // A request: its first line, then `headers`, Host and the end of the head.
    auto request = [&host](const std::string& line, const std::string& headers = "") {
        return line + "\r\n" + headers + host + "\r\n";
    };
    const char kGet[] = "GET /metrics HTTP/1.1";
    const char k200[] = "HTTP/1.1 200 OK";
    const char k400[] = "HTTP/1.1 400 Bad Request";
    const char k505[] = "HTTP/1.1 505 HTTP Version Not Supported";
    const struct {
        std::string request;
        const char* status;
    } rows[] = {
        // the client's bytes never reach the head
        {request("GET /metrics HTTP/1.1 x", "Set-Cookie: pwned=1\r\n"), k400},
        {request("GET /metrics FOO/1.1", "Set-Cookie: pwned=1\r\n"), k400},
        {request(kGet, "nocolon pwned=1\r\n"), k400},
        {request(kGet, "X: a\rSet-Cookie: pwned=1\r\n"), k400},
        {request(kGet, "Bad Name: pwned=1\r\n"), k400},
        {request(kGet, "Transfer-Encoding: gzip\r\n"), k400},
        {request(kGet, "Transfer-Encoding: chunked\r\n") + "0\r\n\r\n", k400},
        {request(kGet, "Content-Length: 6\r\n") + "pwned=", k400},
        {request("G(T /metrics HTTP/1.1"), k400},
        {request("GET * HTTP/1.1"), k400},
        {request("OPTIONS * HTTP/1.1"), k400},
        {request("GET metrics HTTP/1.1"), k400},
        {"GET /metrics\r\n\r\n", k400},
        {request("GET /metrics HTTP/2.0"), k505},
        {request(kGet, "X: " + std::string(9000, 'x') + "\r\n"),
         "HTTP/1.1 431 Request Header Fields Too Large"},
        // absolute form (RFC 9112 3.2.2): the path is served
        {request("GET " + absolute + "/metrics HTTP/1.1"), k200},
        {request("GET HTTPS://board:1/stats.json?x HTTP/1.1"), k200},
        {request("GET " + absolute + " HTTP/1.1"), k200},
        {request("GET " + absolute + "/nothing HTTP/1.1"), "HTTP/1.1 404 Not Found"},
        {request("POST " + absolute + "/metrics HTTP/1.1"), "HTTP/1.1 405 Method Not Allowed"},
        {"GET /metrics HTTP/1.0\r\n\r\n", k200},
        {request(kGet, "Content-Length: 0\r\nX: a\tb\r\n"), k200},
        {request(kGet, "X: a\177b\r\n"), k400},  // DEL
        {request(kGet, "X: a\001b\r\n"), k400},
        {request("GET https://board HTTP/1.1"), k200},
        {request("GET /metrics?a=%zz&b HTTP/1.1"), k200},
        // Host (RFC 9112 3.2): once in HTTP/1.1, at most once in HTTP/1.0
        {"GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n", k400},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\nHost: b\r\nConnection: close\r\n\r\n", k400},
        {"GET /metrics HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", k400},
        {"GET /metrics HTTP/1.0\r\nHost: a\r\n\r\n", k200},
        {"GET /metrics HTTP/1.1\r\nHost:\r\nConnection: close\r\n\r\n", k200},
        // control bytes, NUL among them, and spaces in the target or a value
        {Nul("GET /metrics", request("x HTTP/1.1")), k400},
        {Nul("GET /metrics", request(" HTTP/1.1")), k400},
        {Nul("GET /metrics?a=", request("b HTTP/1.1")), k400},
        {Nul("GET /metrics HTTP/1.1\r\nX: a", "b\r\n" + host + "\r\n"), k400},
        {Nul("GET /metrics HTTP/1.1\r\nX: a", "\r\n" + host + "\r\n"), k400},
        {Nul("GET /metrics HTTP/1.1\r\n" + host + "X: ", "\r\n\r\n"), k400},
        {Nul("GET /metrics HTTP/1.1\r\nHost: x", "y\r\nConnection: close\r\n\r\n"), k400},
        {request("GET /me\001trics HTTP/1.1"), k400},
        {request("GET /me\177trics HTTP/1.1"), k400},
        {request("GET /me\ttrics HTTP/1.1"), k400},
        {request("GET /me\rtrics HTTP/1.1"), k400},
        {request("GET /me trics HTTP/1.1"), k400},
        {request("GET  /metrics HTTP/1.1"), k400},
        {"GET /metrics HTTP/1.1\r\nHost: \x1b[2J\r\nConnection: close\r\n\r\n", k400},
        // a folded line (obs-fold), which RFC 9112 5.2 lets a server refuse
        {request(kGet, "X: a\r\n b\r\n"), k400},
        {"GET /metrics HTTP/1.1\r\n" + host + "X: a\r\n\tb\r\n\r\n", k400},
        // bare LF line ends, and spaces around a value, are taken
        {"GET /metrics HTTP/1.1\nHost: x\nConnection: close\n\n", k200},
        {request(kGet, "X:  a b \t\r\n"), k200},
        // a header name empty, or with what is not a token after it
        {request(kGet, ": x\r\n"), k400},
        {request(kGet, "X:\va\r\n"), k400},
        {request(kGet, "X\t: a\r\n"), k400},
        {request("GET /metrics HTTP/1.1\r"), k400},
        // an HTTP/2 preface
        {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", k505},
    };
    for (const auto& row : rows) {
        Response response = Exchange(port, row.request);
        EXPECT_EQ(response.status, row.status) << row.request.substr(0, 80);
        EXPECT_EQ(response.head.find("pwned"), std::string::npos) << response.head;
    }
    Response bad = Exchange(port, rows[0].request);
    EXPECT_EQ(bad.head.find("Set-Cookie"), std::string::npos) << bad.head;
}

namespace {

const char kKeepAlive[] = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
const char kClose[] = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

// A connection from `from` that had one request answered and is kept
// alive: it waits for its next head, from now.
int Answered(int port, const char* from) {
    int fd = Connect(port, from);
    if (fd >= 0 && write(fd, kKeepAlive, strlen(kKeepAlive)) > 0 &&
        Answers(ReadAnswers(fd, 1)) == std::vector<std::string>{"HTTP/1.1 200 OK|"}) {
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace

TEST(KwStatsHttpServerTest, KeepsConnectionsAliveAndAnswersPipelinedRequestsInOrder) {
    KwStatsHttpOptions options;
    options.idleTimeoutSeconds = 1;
    std::unique_ptr<KwStatsHttpServer> server = Serve(options);
    ASSERT_NE(server, nullptr);
    // Four requests in one write: four answers, in order; HTTP/1.0 without
    // keep-alive closes after its own.
    int fd = Connect(server->Port());
    const std::string pipelined = std::string(kKeepAlive) + "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n" +
                                  "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n" +
                                  "GET /stats.json HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(fd, pipelined.data(), pipelined.size()),
              static_cast<ssize_t>(pipelined.size()));
    EXPECT_EQ(Answers(ReadAll(fd), {false, true, false, false}),
              (std::vector<std::string>{"HTTP/1.1 200 OK|", "HTTP/1.1 200 OK|",
                                        "HTTP/1.1 404 Not Found|", "HTTP/1.1 200 OK|close"}));
    close(fd);
    // Kept alive across requests, until a second of silence.
    fd = Answered(server->Port(), nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kKeepAlive, strlen(kKeepAlive)), static_cast<ssize_t>(strlen(kKeepAlive)));
    EXPECT_EQ(Answers(ReadAnswers(fd, 1)), std::vector<std::string>{"HTTP/1.1 200 OK|"});
    EXPECT_TRUE(ClosedWithin(fd, 5000));
    close(fd);
    // Asking to close, or a malformed request, ends it.
    for (const std::string& last : {std::string(kClose), std::string("GET / HTTP/1.1\r\n\r\n")}) {
        fd = Answered(server->Port(), nullptr);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, last.data(), last.size()), static_cast<ssize_t>(last.size()));
        std::vector<std::string> answers = Answers(ReadAll(fd));
        EXPECT_EQ(answers.size(), 1u) << last;
        close(fd);
    }
}

TEST(KwStatsHttpServerTest, ANewConnectionTakesThePlaceOfTheOneThatWaitedLongest) {
    const int before = OpenDescriptors();
    LogCapture log;
    KwStatsHttpOptions options;
    options.threads = 1;  // so that an answer is counted sent before the next connection comes
    options.maxConnections = 4;
    options.maxConnectionsPerAddress = 3;
    options.idleTimeoutSeconds = 600;
    options.requestTimeoutSeconds = 600;
    std::unique_ptr<KwStatsHttpServer> server = Serve(options);
    ASSERT_NE(server, nullptr);
    const int port = server->Port();
    // 127.0.0.1 at its limit, each connection waiting for its next head,
    // the first the longest: a new one from it takes the first's place.
    int held[3];
    for (int& fd : held) {
        ASSERT_GE(fd = Answered(port, "127.0.0.1"), 0);
    }
    EXPECT_EQ(Exchange(port, kClose, "127.0.0.1").status, "HTTP/1.1 200 OK");
    EXPECT_TRUE(ClosedWithin(held[0], 5000));
    EXPECT_FALSE(ClosedWithin(held[1], 0));
    EXPECT_FALSE(ClosedWithin(held[2], 0));
    // The server at its limit (two from 127.0.0.1, two from 127.0.0.2): a
    // new address takes the place of the one that waited longest of all.
    int other[2];
    for (int& fd : other) {
        ASSERT_GE(fd = Answered(port, "127.0.0.2"), 0);
    }
    EXPECT_EQ(Exchange(port, kClose, "127.0.0.3").status, "HTTP/1.1 200 OK");
    EXPECT_TRUE(ClosedWithin(held[1], 5000));
    EXPECT_FALSE(ClosedWithin(held[2], 0));
    EXPECT_EQ(log.Count(DLOG_INFO, "KwStatsHttpServer.cpp",
                        "KwStatsHttpServer: slow connections closed: a connection from 127.0.0.1 "
                        "gave way to a new one (its address at its limit)"),
              1u);
    // Destroying it closes them all (each peer reads the end) and leaves no
    // descriptor of its own behind.
    server.reset();
    for (int fd : {held[0], held[1], held[2], other[0], other[1]}) {
        EXPECT_EQ(ReadAll(fd), "");
        close(fd);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(KwStatsHttpServerTest, ASlowHeadIsClosedAtItsDeadlineHoweverItTrickles) {
    LogCapture log;
    KwStatsHttpOptions options;
    options.requestTimeoutSeconds = 1;
    std::unique_ptr<KwStatsHttpServer> server = Serve(options);
    ASSERT_NE(server, nullptr);
    int fd = Connect(server->Port(), "127.0.0.5");
    ASSERT_GE(fd, 0);
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nX: " + std::string(200, 'a');
    bool closed = false;
    for (size_t sent = 0; sent < head.size() && !closed; ++sent) {  // a byte each 50 ms
        closed = send(fd, &head[sent], 1, MSG_NOSIGNAL) != 1 || ClosedWithin(fd, 50);
    }
    EXPECT_TRUE(closed);
    close(fd);
    EXPECT_TRUE(WaitUntil([&] {
        return log.Count(DLOG_INFO, "KwStatsHttpServer.cpp",
                         "KwStatsHttpServer: slow connections closed: a connection from "
                         "127.0.0.5 sent no whole request head within 1 s") == 1;
    }));
}

TEST(KwStatsHttpServerTest, RefusesToStartWithTheReason) {
    std::unique_ptr<KwStatsHttpServer> first = Serve();
    ASSERT_NE(first, nullptr);
    KwStatsHttpOptions taken;
    taken.port = first->Port();
    const std::string where = "127.0.0.1 port " + std::to_string(taken.port);
    std::string inUse = Refusal(taken);
    EXPECT_EQ(inUse.compare(0, where.size() + 16, "cannot serve on " + where), 0) << inUse;
    EXPECT_NE(inUse.find("in use"), std::string::npos) << inUse;

    KwStatsHttpOptions options;
    for (const char* address :
         {"127.0.0.1:18087,0.0.0.0", "localhost", "[::1]", "", "127.0.0.1 "}) {
        options.bindAddress = address;
        EXPECT_EQ(Refusal(options), "the bind address '" + std::string(address) +
                                        "' is not one IPv4 or IPv6 address");
    }
    options.bindAddress = "127.0.0.1";
    // Each limit just outside or at an end.
    typedef KwStatsHttpOptions Options;
    const struct {
        int Options::*option;
        int value;
        const char* result;
    } limits[] = {
        {&Options::port, 65536, "the port 65536 is not within 0 to 65535"},
        {&Options::port, -1, "the port -1 is not within 0 to 65535"},
        {&Options::threads, 0, "threads 0: 1 to 2 are allowed"},
        {&Options::threads, 3, "threads 3: 1 to 2 are allowed"},
        {&Options::maxConnections, 4097, "connections 4097: 1 to 4096 are allowed"},
        {&Options::maxConnectionsPerAddress, 65,
         "connections from one address 65: 1 to 64 are allowed"},
        {&Options::maxConnectionsPerAddress, 0,
         "connections from one address 0: 1 to 64 are allowed"},
        {&Options::idleTimeoutSeconds, 601, "an idle timeout (s) of 601: 1 to 600 are allowed"},
        {&Options::maxRequestHeadBytes, 1023,
         "a request head (bytes) of 1023: 1024 to 65536 are allowed"},
        {&Options::maxConnections, 0, "connections 0: 1 to 4096 are allowed"},
        {&Options::idleTimeoutSeconds, 0, "an idle timeout (s) of 0: 1 to 600 are allowed"},
        {&Options::maxRequestHeadBytes, 65537,
         "a request head (bytes) of 65537: 1024 to 65536 are allowed"},
        {&Options::requestTimeoutSeconds, 0, "a request timeout (s) of 0: 1 to 600 are allowed"},
        {&Options::requestTimeoutSeconds, 601,
         "a request timeout (s) of 601: 1 to 600 are allowed"},
        {&Options::requestTimeoutSeconds, 600, "started"},
        {&Options::maxConnectionsPerAddress, 64, "started"},
        {&Options::idleTimeoutSeconds, 600, "started"},
        {&Options::threads, 1, "started"},
        {&Options::maxRequestHeadBytes, 65536, "started"},
    };
    for (const auto& row : limits) {
        KwStatsHttpOptions edge;
        edge.*row.option = row.value;
        EXPECT_EQ(Refusal(edge), row.result);
    }
    std::string why;
    EXPECT_EQ(KwStatsHttpServer::Start(options, why, KwStatsSource()), nullptr);
    EXPECT_EQ(why, "no snapshot source");
    // A source that throws costs its request a 500, and nothing else.
    std::unique_ptr<KwStatsHttpServer> failing = KwStatsHttpServer::Start(
        options, why, [](KwStatsSnapshot&) -> bool { throw std::runtime_error("no snapshot"); });
    ASSERT_NE(failing, nullptr) << why;
    Response failed = Ask(failing->Port(), "GET", "/metrics");
    EXPECT_EQ(failed.status + "|" + failed.headers["Content-Type"] + "|" + failed.body,
              "HTTP/1.1 500 Internal Server Error|text/plain; charset=utf-8|internal error\n");
    EXPECT_EQ(Ask(failing->Port(), "GET", "/").status, "HTTP/1.1 200 OK");
    // IPv6: served, and its clients' addresses read.
    options.bindAddress = "::1";
    std::unique_ptr<KwStatsHttpServer> v6 = Serve(options);
    ASSERT_NE(v6, nullptr);
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(static_cast<uint16_t>(v6->Port()));
    inet_pton(AF_INET6, "::1", &to.sin6_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
    ASSERT_EQ(write(fd, kClose, strlen(kClose)), static_cast<ssize_t>(strlen(kClose)));
    EXPECT_EQ(Answers(ReadAll(fd)), std::vector<std::string>{"HTTP/1.1 200 OK|close"});
    close(fd);
}

// Short of descriptors for what libmicrohttpd needs besides the listening
// socket, Start() refuses with the reason and leaves none open. (Two at
// least stay free: a sanitizer's checks take a pipe.)
TEST(KwStatsHttpServerTest, ShortOfDescriptorsStartRefusesWithTheReason) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan's checks, beside AddressSanitizer, misread a thread that could
    // not start for want of descriptors; the plain and TSan builds run it.
    GTEST_SKIP() << "not under AddressSanitizer and UBSan";
#endif
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit limit = before;
    limit.rlim_cur = std::min<rlim_t>(before.rlim_cur, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0;) {
        filler.push_back(fd);
    }
    const std::string where = "cannot serve on 127.0.0.1 port 0: ";
    const std::string epoll = where + "Call to epoll_create1 failed: Too many open files";
    const std::string itc = where +
                            "Failed to create worker inter-thread communication channel: Too "
                            "many open files";
    // With how many free, the refusal, and how many are free after it.
    std::vector<std::string> seen;
    for (int free = 1; free <= 5; ++free) {
        close(filler.back());
        filler.pop_back();
        if (free < 2) {
            continue;
        }
        std::string refusal = Refusal(KwStatsHttpOptions());
        std::vector<int> after;
        for (int fd; (fd = dup(0)) >= 0;) {
            after.push_back(fd);
        }
        for (int fd : after) {
            close(fd);
        }
        seen.push_back(std::to_string(free) + " " + refusal + " " + std::to_string(after.size()));
    }
    for (int fd : filler) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"2 " + epoll + " 2", "3 " + itc + " 3",
                                              "4 " + epoll + " 4", "5 started 5"}));
}

// A connection whose password is being checked is busy: at the server's
// limit, a new one finds none to give way and is refused, which is logged.
TEST(KwStatsHttpServerTest, AtItsLimitWithEveryConnectionBusyANewOneIsRefusedAndLogged) {
    LogCapture log;
    ScratchFolder scratch;
    const std::string file = scratch.Path() + "web-config-costly.yml";
    // A costly hash keeps the check of a wrong password busy for a while.
    std::ofstream(file) << "basic_auth_users:\n"
                           "  prom: $2b$13$W4rXmUiDBOSFVVqwOQDah.gIGVOFLt/XxnQGbRIhX3g.43ZshhUlG\n";
    KwStatsHttpOptions options = WithConfig(file);
    options.threads = 1;  // a head is checked before the next connection is taken
    options.maxConnections = 1;
    options.maxConnectionsPerAddress = 1;
    std::unique_ptr<KwStatsHttpServer> server = Serve(options);
    ASSERT_NE(server, nullptr);
    const std::string wrong =  // prom:wrong
        "GET /metrics HTTP/1.1\r\nHost: x\r\nAuthorization: Basic cHJvbTp3cm9uZw==\r\n"
        "Connection: close\r\n\r\n";
    int busy = Connect(server->Port(), "127.0.0.1");
    ASSERT_EQ(write(busy, wrong.data(), wrong.size()), static_cast<ssize_t>(wrong.size()));
    EXPECT_EQ(Exchange(server->Port(), kClose, "127.0.0.2").status, "closed");
    EXPECT_EQ(Answers(ReadAll(busy)), std::vector<std::string>{"HTTP/1.1 401 Unauthorized|close"});
    close(busy);
    EXPECT_EQ(log.Count(DLOG_WARNING, "KwStatsHttpServer.cpp",
                        "KwStatsHttpServer: connections refused: a connection from 127.0.0.2 (the "
                        "server at its limit, every connection busy with a request)"),
              1u);
}

TEST(KwStatsHttpServerTest, TlsWithClientCertificatesAndBasicAuthAsExportersHaveThem) {
    std::unique_ptr<KwStatsHttpServer> server = Serve(WithConfig(QEL_TEST_DATA "/tls/web.yml"));
    ASSERT_NE(server, nullptr);
    const int port = server->Port();
    const char* good = "prom:scrape-secret";
    Fetched scrape = FetchTls(port, "/metrics", good, "client");
    EXPECT_EQ(scrape.status, 200) << scrape.error;
    EXPECT_EQ(scrape.body.compare(0, 6, "# HELP"), 0) << scrape.body;
    EXPECT_EQ(FetchTls(port, "/stats.json", good, "client").body, KwStatsJson(Fixed()));
    // Certificates first, then the password, then the route: a stranger
    // learns nothing of what is served.
    const struct {
        const char* path;
        const char* userPassword;
        const char* cert;
        long status;
    } rows[] = {
        {"/metrics", good, nullptr, 403},
        {"/metrics", good, "other", 403},
        {"/nothing", nullptr, "other", 403},
        {"/metrics", nullptr, "client", 401},
        {"/metrics", "prom:wrong", "client", 401},
        {"/metrics", "Prom:scrape-secret", "client", 401},
        {"/nothing", "prom:wrong", "client", 401},
        {"/nothing", good, "client", 404},
    };
    for (const auto& row : rows) {
        Fetched fetched = FetchTls(port, row.path, row.userPassword, row.cert);
        EXPECT_EQ(fetched.status, row.status)
            << row.path << " " << (row.userPassword ? row.userPassword : "-") << " "
            << (row.cert ? row.cert : "-") << ": " << fetched.error;
        if (row.status == 401) {
            EXPECT_NE(fetched.headers.find("WWW-Authenticate: Basic realm=\"qel\""),
                      std::string::npos)
                << fetched.headers;
        }
    }
    // Credentials without the colon between user and password.
    EXPECT_EQ(FetchTls(port, "/metrics", nullptr, "client", CURL_SSLVERSION_MAX_DEFAULT,
                       "Authorization: Basic cHJvbQ==")
                  .status,
              401);
    // Plain HTTP to it gets no answer.
    EXPECT_EQ(Ask(port, "GET", "/metrics").status, "closed");
}

TEST(KwStatsHttpServerTest, TheLowestTlsVersionIsHeld) {
    const std::string tls = QEL_TEST_DATA "/tls/";
    ScratchFolder scratch;
    const std::string file = scratch.Path() + "web-config-tls13.yml";
    std::ofstream(file) << "tls_server_config:\n  cert_file: " << tls
                        << "server.crt\n  key_file: " << tls
                        << "server.key\n  min_version: TLS13\n";
    std::unique_ptr<KwStatsHttpServer> server = Serve(WithConfig(file));
    ASSERT_NE(server, nullptr);
    Fetched newest = FetchTls(server->Port(), "/metrics", nullptr, nullptr);
    EXPECT_EQ(newest.status, 200) << newest.error;
    Fetched older =
        FetchTls(server->Port(), "/metrics", nullptr, nullptr, CURL_SSLVERSION_MAX_TLSv1_2);
    EXPECT_EQ(older.status, 0);
    EXPECT_NE(older.error, "");
}
