// StatusServer: the demo's HTTP side, on civetweb.
//   /metrics     the statistics in Prometheus's text format
//   /stats.json  the statistics as JSON
//   /            a status page that charts them and refreshes itself
#ifndef QEL_DEMO_STATUS_SERVER_H
#define QEL_DEMO_STATUS_SERVER_H

#include <memory>
#include <string>

class KwSrvrStatsCollector;

class StatusServer {
public:
    // Serves on `bind`:`port` until destroyed. Returns null, with the reason
    // in `error`, when the port cannot be had.
    static std::unique_ptr<StatusServer> Start(const KwSrvrStatsCollector& collector,
                                               const std::string& bind, int port,
                                               std::string& error);
    virtual ~StatusServer() = default;

protected:
    StatusServer() = default;
};

#endif  // QEL_DEMO_STATUS_SERVER_H
