// KwStatsHttpServer: the collector's statistics over HTTP, for a host to
// embed in a few lines:
//
//   KwStatsHttpOptions options;
//   options.port = 8080;                       // bindAddress: 127.0.0.1
//   std::string error;
//   std::unique_ptr<KwStatsHttpServer> http = KwStatsHttpServer::Start(options, error);
//   if (!http) fprintf(stderr, "no status server: %s\n", error.c_str());
//   ...                                        // serves until destroyed
//
// Routes, for GET and HEAD; any other method on them gets 405 with an
// "Allow: GET, HEAD" header, any other path 404, and nothing is ever served
// from disk. Paths match exactly and with their case (a query string is
// ignored; percent-escapes are not decoded).
//   /metrics     the Prometheus text exposition (KwStatsPrometheus)
//   /stats.json  the snapshot as JSON (KwStatsJson)
//   /            a status page that shows them and refreshes itself; it
//                loads nothing from anywhere else
//
// Connections: each request is served by one of `workerThreads` threads
// (civetweb), without keep-alive. A client that has not sent its whole
// request head within `requestTimeoutMs` is dropped, so a connection that
// stays idle or trickles holds a worker for at most that long: up to
// workerThreads - 1 of them leave the routes answering at once.
//
// Ownership: the server keeps a copy of its snapshot source. Destroying it
// stops serving: it waits for the requests in progress, then releases its
// threads and sockets. Start() and the destructor are to be called from one
// thread at a time; the source is called from the worker threads, several at
// once (KwTakeStatsSnapshot allows that).
//
// Refusals: Start() returns null, with the reason in `error` (which it
// empties on success), when an option is out of range, the bind address is
// not exactly one IPv4 or IPv6 address, or the port cannot be had (in use,
// or not permitted).
#ifndef KW_STATS_HTTP_SERVER_H
#define KW_STATS_HTTP_SERVER_H

#include <memory>
#include <string>

#include "KwStatsSnapshot.h"

struct mg_connection;
struct mg_context;

struct KwStatsHttpOptions {
    // One IPv4 or IPv6 address, without brackets or port: "127.0.0.1",
    // "0.0.0.0" (every IPv4 interface), "::1".
    std::string bindAddress = "127.0.0.1";
    // 1 to 65535, or 0 for any free port (Port() tells which).
    int port = 0;
    // 1 to 256.
    int workerThreads = 32;
    // Time a client has to send its request head, 100 to 600000 ms.
    int requestTimeoutMs = 2000;
};

class KW_DIAG_EXPORT KwStatsHttpServer {
public:
    static std::unique_ptr<KwStatsHttpServer> Start(const KwStatsHttpOptions& options,
                                                    std::string& error,
                                                    KwStatsSource source = KwTakeStatsSnapshot);
    ~KwStatsHttpServer();

    KwStatsHttpServer(const KwStatsHttpServer&) = delete;
    KwStatsHttpServer& operator=(const KwStatsHttpServer&) = delete;

    // The port it listens on.
    int Port() const { return m_port; }

private:
    explicit KwStatsHttpServer(KwStatsSource source);
    // civetweb's callback for every request: answers it in full.
    static int Answer(mg_connection* connection);

    KwStatsSource m_source;
    mg_context* m_context = nullptr;
    int m_port = 0;
};

#endif  // KW_STATS_HTTP_SERVER_H
