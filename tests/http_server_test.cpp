// The status server over a fixed snapshot: exact routes, methods and
// headers as an HTTP client sees them, and its refusals to start.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>

#include "KwStatsHttpServer.h"
#include "KwStatsJson.h"
#include "civetweb.h"

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
    std::string status;  // "HTTP/1.1 200 OK"
    std::map<std::string, std::string> headers;
    std::string body;
};

// Sends `request` as it stands, with civetweb's client, and reads the
// answer to the end (the server closes every connection).
Response Exchange(int port, const std::string& request) {
    char error[256] = "";
    Response response;
    mg_connection* connection =
        mg_download("127.0.0.1", port, 0, error, sizeof error, "%s", request.c_str());
    if (connection == nullptr) {
        response.status = error;
        return response;
    }
    const mg_response_info* info = mg_get_response_info(connection);
    response.status = "HTTP/" + std::string(info->http_version) + " " +
                      std::to_string(info->status_code) + " " + info->status_text;
    for (int i = 0; i < info->num_headers; ++i) {
        response.headers[info->http_headers[i].name] = info->http_headers[i].value;
    }
    char buffer[4096];
    for (int n; (n = mg_read(connection, buffer, sizeof buffer)) > 0;) {
        response.body.append(buffer, static_cast<size_t>(n));
    }
    mg_close_connection(connection);
    return response;
}

Response Ask(int port, const std::string& method, const std::string& target) {
    return Exchange(port, method + " " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
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

    // TRACE and made-up methods are unknown to civetweb, which would say 400.
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
    EXPECT_EQ(Exchange(port, "GET /metrics\r\n\r\n").status, "HTTP/1.0 400 Bad Request");
    Response missing = Ask(port, "GET", "/nothing");
    EXPECT_EQ(missing.headers["Content-Type"] + "|" + missing.body,
              "text/plain; charset=utf-8|not found\n");
    Response head404 = Ask(port, "HEAD", "/nothing");
    EXPECT_EQ(head404.status + "|" + head404.body, "HTTP/1.1 404 Not Found|");
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
    // Port, worker threads and request timeout, each just outside or at an end.
    const struct {
        int port, threads, timeoutMs;
        const char* result;
    } limits[] = {{65536, 1, 100, "the port 65536 is not within 0 to 65535"},
                  {0, 0, 100, "0 worker threads: 1 to 256 are allowed"},
                  {0, 257, 100, "257 worker threads: 1 to 256 are allowed"},
                  {0, 1, 99, "a request timeout of 99 ms: 100 to 600000 are allowed"},
                  {0, 1, 600001, "a request timeout of 600001 ms: 100 to 600000 are allowed"},
                  {0, 256, 600000, "started"},
                  {0, 1, 100, "started"}};
    for (const auto& row : limits) {
        options.port = row.port;
        options.workerThreads = row.threads;
        options.requestTimeoutMs = row.timeoutMs;
        EXPECT_EQ(refusal(options), row.result);
    }
    KwStatsHttpOptions topPort = options;  // the top port is one: it starts, or is taken
    topPort.port = 65535;
    std::string top = refusal(topPort);
    EXPECT_TRUE(top == "started" ||
                top.compare(0, 37, "cannot serve on 127.0.0.1 port 65535:") == 0)
        << top;
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
    // An IPv6 address is one; Debian's civetweb is built without IPv6.
    options.bindAddress = "::1";
    std::string v6 = refusal(options);
    EXPECT_TRUE(v6 == "started" || v6 == "cannot serve on ::1 port 0: this civetweb has no IPv6")
        << v6;
}
