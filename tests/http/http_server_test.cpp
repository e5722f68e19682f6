// The status server over a fixed snapshot: exact routes, methods and
// headers as an HTTP client sees them, malformed requests, its limits and
// its stop, and its refusals to start.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "KwBasicAuth.h"
#include "curl/curl.h"

#include "KwStatsHttpServer.h"
#include "KwStatsJson.h"
#include "OpenDescriptors.h"

namespace {

KwStatsSnapshot Fixed() {
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

bool FixedSource(KwStatsSnapshot& out) {
    out = Fixed();
    return true;
}

struct Response {
    std::string status;  // "HTTP/1.1 200 OK", or "closed" when none came
    std::string head;    // the whole head, as sent
    std::map<std::string, std::string> headers;
    std::string body;
};

// A connection to the server from `from` (any local address).
int Connect(int port, const char* from = nullptr) {
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

// Everything the server sends until it closes the connection (or 10 s of
// silence, which fails the test that expected an answer).
std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    pollfd ready = {fd, POLLIN, 0};
    while (poll(&ready, 1, 10000) == 1) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Sends `request` as it stands and reads the answer to the end; the
// request asks for the connection to close, or is cut before its end.
Response Exchange(int port, const std::string& request, const char* from = nullptr) {
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
    shutdown(fd, SHUT_WR);
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

Response Ask(int port, const std::string& method, const std::string& target) {
    return Exchange(
        port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
}

}  // namespace

TEST(KwStatsHttpServerTest, ExactRoutesForGetAndHeadOnly) {
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(KwStatsHttpOptions(), error, FixedSource);
    ASSERT_NE(server, nullptr) << error;
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
}

TEST(KwStatsHttpServerTest, MalformedRequestsGetAFixedHeadAndAbsoluteTargetsAreServed) {
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(KwStatsHttpOptions(), error, FixedSource);
    ASSERT_NE(server, nullptr) << error;
    const int port = server->Port();
    const std::string host = "Host: x\r\nConnection: close\r\n";
    const std::string absolute = "http://127.0.0.1:" + std::to_string(port);
    const struct {
        std::string request;
        const char* status;
    } rows[] = {
        // the client's bytes never reach the head
        {"GET /metrics HTTP/1.1 x\r\nSet-Cookie: pwned=1\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics FOO/1.1\r\nSet-Cookie: pwned=1\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nnocolon pwned=1\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nX: a\rSet-Cookie: pwned=1\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nBad Name: pwned=1\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: gzip\r\n" + host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + host + "\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nContent-Length: 6\r\n" + host + "\r\npwned=",
         "HTTP/1.1 400 Bad Request"},
        {"G(T /metrics HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET * HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request"},
        {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET metrics HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/2.0\r\n" + host + "\r\n", "HTTP/1.1 505 HTTP Version Not Supported"},
        {"GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'x') + "\r\n" + host + "\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large"},
        // absolute form (RFC 9112 3.2.2): the path is served
        {"GET " + absolute + "/metrics HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK"},
        {"GET HTTPS://board:1/stats.json?x HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK"},
        {"GET " + absolute + " HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK"},
        {"GET " + absolute + "/nothing HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 404 Not Found"},
        {"POST " + absolute + "/metrics HTTP/1.1\r\n" + host + "\r\n",
         "HTTP/1.1 405 Method Not Allowed"},
        {"GET /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics HTTP/1.1\r\nContent-Length: 0\r\nX: a\tb\r\n" + host + "\r\n",
         "HTTP/1.1 200 OK"},
        {"GET /metrics HTTP/1.1\r\nX: a\x7f"
         "b\r\n" +
             host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nX: a\x01"
         "b\r\n" +
             host + "\r\n",
         "HTTP/1.1 400 Bad Request"},
        {"GET https://board HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK"},
        {"GET /metrics?a=%zz&b HTTP/1.1\r\n" + host + "\r\n", "HTTP/1.1 200 OK"},
    };
    for (const auto& row : rows) {
        Response response = Exchange(port, row.request);
        EXPECT_EQ(response.status, row.status) << row.request.substr(0, 80);
        EXPECT_EQ(response.head.find("pwned"), std::string::npos) << response.head;
    }
    Response bad = Exchange(port, rows[0].request);
    EXPECT_EQ(bad.head.find("Set-Cookie"), std::string::npos) << bad.head;
}

TEST(KwStatsHttpServerTest, BoundsEachAddressAndClosesEverythingWhenDestroyed) {
    const int before = OpenDescriptors();
    KwStatsHttpOptions options;
    options.maxConnectionsPerAddress = 3;
    options.idleTimeoutSeconds = 600;
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(options, error, FixedSource);
    ASSERT_NE(server, nullptr) << error;
    const int port = server->Port();
    // Three idle connections and one that sent half a head hold 127.0.0.1's
    // share; the next is closed unanswered; another address is served.
    int held[3];
    for (int& fd : held) {
        fd = Connect(port);
        ASSERT_GE(fd, 0);
    }
    ASSERT_EQ(write(held[2], "GET /metr", 9), 9);
    EXPECT_EQ(Exchange(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status,
              "closed");
    EXPECT_EQ(Exchange(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "127.0.0.2")
                  .status,
              "HTTP/1.1 200 OK");
    // Destroying it closes them all (each peer reads the end) and leaves no
    // descriptor of its own behind.
    server.reset();
    for (int fd : held) {
        EXPECT_EQ(ReadAll(fd), "");
        close(fd);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(KwStatsHttpServerTest, RefusesToStartWithTheReason) {
    std::string error;
    std::unique_ptr<KwStatsHttpServer> first =
        KwStatsHttpServer::Start(KwStatsHttpOptions(), error, FixedSource);
    ASSERT_NE(first, nullptr) << error;
    KwStatsHttpOptions taken;
    taken.port = first->Port();
    const std::string where = "127.0.0.1 port " + std::to_string(taken.port);

    auto refusal = [](KwStatsHttpOptions options) {
        std::string why;
        std::unique_ptr<KwStatsHttpServer> server =
            KwStatsHttpServer::Start(options, why, FixedSource);
        return server == nullptr ? why : "started";
    };
    std::string inUse = refusal(taken);
    EXPECT_EQ(inUse.compare(0, where.size() + 16, "cannot serve on " + where), 0) << inUse;
    EXPECT_NE(inUse.find("in use"), std::string::npos) << inUse;

    KwStatsHttpOptions options;
    for (const char* address :
         {"127.0.0.1:18087,0.0.0.0", "localhost", "[::1]", "", "127.0.0.1 "}) {
        options.bindAddress = address;
        EXPECT_EQ(refusal(options), "the bind address '" + std::string(address) +
                                        "' is not one IPv4 or IPv6 address");
    }
    options.bindAddress = "127.0.0.1";
    // Each limit just outside or at an end.
    const struct {
        int KwStatsHttpOptions::*option;
        int value;
        const char* result;
    } limits[] = {
        {&KwStatsHttpOptions::port, 65536, "the port 65536 is not within 0 to 65535"},
        {&KwStatsHttpOptions::port, -1, "the port -1 is not within 0 to 65535"},
        {&KwStatsHttpOptions::threads, 0, "threads 0: 1 to 2 are allowed"},
        {&KwStatsHttpOptions::threads, 3, "threads 3: 1 to 2 are allowed"},
        {&KwStatsHttpOptions::maxConnections, 4097, "connections 4097: 1 to 4096 are allowed"},
        {&KwStatsHttpOptions::maxConnectionsPerAddress, 65,
         "connections from one address 65: 1 to 64 are allowed"},
        {&KwStatsHttpOptions::maxConnectionsPerAddress, 0,
         "connections from one address 0: 1 to 64 are allowed"},
        {&KwStatsHttpOptions::idleTimeoutSeconds, 601,
         "an idle timeout (s) of 601: 1 to 600 are allowed"},
        {&KwStatsHttpOptions::maxRequestHeadBytes, 1023,
         "a request head (bytes) of 1023: 1024 to 65536 are allowed"},
        {&KwStatsHttpOptions::maxConnections, 0, "connections 0: 1 to 4096 are allowed"},
        {&KwStatsHttpOptions::idleTimeoutSeconds, 0,
         "an idle timeout (s) of 0: 1 to 600 are allowed"},
        {&KwStatsHttpOptions::maxRequestHeadBytes, 65537,
         "a request head (bytes) of 65537: 1024 to 65536 are allowed"},
        {&KwStatsHttpOptions::maxConnectionsPerAddress, 64, "started"},
        {&KwStatsHttpOptions::idleTimeoutSeconds, 600, "started"},
        {&KwStatsHttpOptions::threads, 1, "started"},
        {&KwStatsHttpOptions::maxRequestHeadBytes, 65536, "started"},
    };
    for (const auto& row : limits) {
        KwStatsHttpOptions edge;
        edge.*row.option = row.value;
        EXPECT_EQ(refusal(edge), row.result);
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
    options.bindAddress = "::1";
    EXPECT_EQ(refusal(options), "started");
}

// The web configuration: each refusal names the file's line and the reason.
TEST(KwStatsHttpServerTest, RefusesAWebConfigurationItCannotHonour) {
    const std::string tls = QEL_TEST_DATA "/tls/";
    const std::string file = testing::TempDir() + "web-config-test.yml";
    const std::string hash = "$2b$10$W4rXmUiDBOSFVVqwOQDah.gIGVOFLt/XxnQGbRIhX3g.43ZshhUlG";
    const std::string garbled = testing::TempDir() + "web-config-garbled.crt";
    std::ofstream(garbled) << "-----BEGIN CERTIFICATE-----\n%%%%\n-----END CERTIFICATE-----\n";
    const std::string certs = "tls_server_config:\n  cert_file: " + tls +
                              "server.crt\n  key_file: " + tls + "server.key\n";
    const struct {
        std::string text;
        std::string error;  // after "FILE:"
    } rows[] = {
        {"basic_auth_users:\n  prom: [1, 2]\n", "2: the hash of user 'prom' is not a single value"},
        {"basic_auth_users:\n  prom: plain\n", "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: " + hash.substr(0, 59) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  'a:b': " + hash + "\n",
         "2: the user name 'a:b' is empty or holds ':'"},
        {"basic_auth_users:\n  prom: $2b$03$" + hash.substr(7) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: $2b$32$" + hash.substr(7) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: '%" + hash.substr(1) + "'\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: $2x$" + hash.substr(4) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: $2b$1x$" + hash.substr(7) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"basic_auth_users:\n  prom: $2bb10$" + hash.substr(7) + "\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"tls_server_config:\n  cert_file: /\n", "2: cert_file '/': Is a directory"},
        {"basic_auth_users:\n  prom: " + hash.substr(0, 59) + "!\n",
         "2: the hash of user 'prom' is not a bcrypt hash"},
        {"tls_server_config: 5\n", "1: tls_server_config is not a mapping"},
        {"tls_server_config:\n  cert_file: ''\n", "2: cert_file is empty"},
        {certs + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: " + tls +
             "server.key\n",
         "5: client_ca_file: no certificate in it"},
        {certs + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: " + garbled +
             "\n",
         "5: client_ca_file: Base64 unexpected header error."},
        {"basic_auth_users: []\n", "1: basic_auth_users is not a mapping of user to bcrypt hash"},
        {"http_server_config:\n  http2: false\n", "1: 'http_server_config' is not supported"},
        {"tls_server_config:\n  cert_file: " + tls + "server.crt\n",
         "1: tls_server_config needs both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: server.crt\n",  // beside the file: none
         "2: cert_file 'server.crt': No such file or directory"},
        {"tls_server_config:\n  cert_file: /nonexistent.crt\n",
         "2: cert_file '/nonexistent.crt': No such file or directory"},
        {certs + "  client_auth_type: RequireAnyClientCert\n",
         "4: client_auth_type 'RequireAnyClientCert' is not supported: NoClientCert or "
         "RequireAndVerifyClientCert"},
        {certs + "  client_auth_type: RequireAndVerifyClientCert\n",
         "4: RequireAndVerifyClientCert needs client_ca_file"},
        {certs + "  min_version: TLS14\n", "4: min_version 'TLS14': TLS10, TLS11, TLS12 or TLS13"},
        {certs + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         "4: tls_server_config: 'cipher_suites' is not supported"},
        {"tls_server_config:\n  cert_file: " + tls + "server.crt\n  key_file: " + tls +
             "other.key\n",
         "2: cert_file and key_file: The certificate and the given key do not match."},
        {"basic_auth_users:\n  prom: a: b\n", "2: illegal map value"},
        {"- a list\n", "1: the file is not a mapping"},
    };
    for (const auto& row : rows) {
        std::ofstream(file) << row.text;
        KwStatsHttpOptions options;
        options.webConfigFile = file;
        std::string why;
        EXPECT_EQ(KwStatsHttpServer::Start(options, why, FixedSource), nullptr) << row.text;
        EXPECT_EQ(why, file + ":" + row.error) << row.text;
    }
    std::ofstream(file) << "basic_auth_users:\n  prom: $2b$31$" + hash.substr(7) + "\n";
    KwStatsHttpOptions highest;  // the highest cost bcrypt has: taken
    highest.webConfigFile = file;
    std::string whyNot;
    EXPECT_NE(KwStatsHttpServer::Start(highest, whyNot, FixedSource), nullptr) << whyNot;
    std::ofstream(file) << "";  // empty: plain HTTP, anyone
    KwStatsHttpOptions options;
    options.webConfigFile = file;
    std::string why;
    EXPECT_NE(KwStatsHttpServer::Start(options, why, FixedSource), nullptr) << why;
    options.webConfigFile = file + ".missing";
    EXPECT_EQ(KwStatsHttpServer::Start(options, why, FixedSource), nullptr);
    EXPECT_EQ(why, file + ".missing: No such file or directory");
}

struct Fetched {
    long status = 0;  // 0: no answer
    std::string error, headers, body;
};

// One GET over https with libcurl, as a scraper makes it.
Fetched FetchTls(int port, const std::string& path, const char* userPassword, const char* cert,
                 long maxTls = CURL_SSLVERSION_MAX_DEFAULT, const char* header = nullptr) {
    const std::string tls = QEL_TEST_DATA "/tls/";
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + path;
    const std::string certFile = tls + (cert != nullptr ? cert : "") + ".crt";
    const std::string keyFile = tls + (cert != nullptr ? cert : "") + ".key";
    Fetched fetched;
    CURL* curl = curl_easy_init();
    auto take = +[](char* data, size_t size, size_t count, void* text) {
        static_cast<std::string*>(text)->append(data, size * count);
        return size * count;
    };
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, (tls + "ca.crt").c_str());
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
        curl_easy_setopt(curl, CURLOPT_SSLCERT, certFile.c_str());
        curl_easy_setopt(curl, CURLOPT_SSLKEY, keyFile.c_str());
    }
    curl_slist* headers = header != nullptr ? curl_slist_append(nullptr, header) : nullptr;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
    }
    fetched.error = error;
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return fetched;
}

TEST(KwStatsHttpServerTest, TlsWithClientCertificatesAndBasicAuthAsExportersHaveThem) {
    KwStatsHttpOptions options;
    options.webConfigFile = QEL_TEST_DATA "/tls/web.yml";
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(options, error, FixedSource);
    ASSERT_NE(server, nullptr) << error;
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
    const std::string file = testing::TempDir() + "web-config-tls13.yml";
    std::ofstream(file) << "tls_server_config:\n  cert_file: " << tls
                        << "server.crt\n  key_file: " << tls
                        << "server.key\n  min_version: TLS13\n";
    KwStatsHttpOptions options;
    options.webConfigFile = file;
    std::string error;
    std::unique_ptr<KwStatsHttpServer> server =
        KwStatsHttpServer::Start(options, error, FixedSource);
    ASSERT_NE(server, nullptr) << error;
    Fetched newest = FetchTls(server->Port(), "/metrics", nullptr, nullptr);
    EXPECT_EQ(newest.status, 200) << newest.error;
    Fetched older =
        FetchTls(server->Port(), "/metrics", nullptr, nullptr, CURL_SSLVERSION_MAX_TLSv1_2);
    EXPECT_EQ(older.status, 0);
    EXPECT_NE(older.error, "");
}

// bcrypt once per set of good credentials, and a bounded number of times
// for a flood of wrong ones, from two threads at once.
TEST(KwBasicAuthTest, RemembersGoodCredentialsAndBoundsTheCostOfBadOnes) {
    KwBasicAuth auth(std::vector<std::pair<std::string, std::string>>{
        {"prom", "$2b$10$W4rXmUiDBOSFVVqwOQDah.gIGVOFLt/XxnQGbRIhX3g.43ZshhUlG"}});
    EXPECT_FALSE(auth.Check("nobody", "scrape-secret"));  // bcrypt all the same
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(auth.Check("prom", "scrape-secret"));
    }
    EXPECT_EQ(auth.BcryptRuns(), 2u);
    const auto started = KwBasicAuth::Clock::now();
    auto flood = [&auth] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_FALSE(auth.Check(i % 2 ? "prom" : "nobody", "wrong" + std::to_string(i)));
        }
    };
    std::thread other(flood);
    flood();
    other.join();
    const long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(KwBasicAuth::Clock::now() - started)
            .count();
    // At most kChecksPerSecond in each second begun, the first included.
    EXPECT_LE(auth.BcryptRuns(), 2u + KwBasicAuth::kChecksPerSecond * (seconds + 2));
    EXPECT_GE(auth.BcryptRuns(), 3u);
    EXPECT_TRUE(auth.Check("prom", "scrape-secret"));  // remembered still
    EXPECT_FALSE(auth.Check("prom", "scrape-secret\n"));
    // A hash that crypt cannot use refuses every password.
    KwBasicAuth broken(std::vector<std::pair<std::string, std::string>>{{"prom", "$2b$10$short"}});
    EXPECT_FALSE(broken.Check("prom", "scrape-secret"));
}
