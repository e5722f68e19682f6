#include "StatusServer.h"

#include <CivetServer.h>

#include <sstream>
#include <vector>

#include "KwSrvrStatsCollector.h"
#include "KwStatsJson.h"
#include "KwStatsPrometheus.h"
#include "prometheus/text_serializer.h"

extern const char kStatusPage[];  // status_page.html, built in

namespace {

bool Send(mg_connection* conn, const char* mime, const std::string& body) {
    mg_send_http_ok(conn, mime, static_cast<long long>(body.size()));
    mg_write(conn, body.data(), body.size());
    return true;
}

class MetricsHandler : public CivetHandler {
public:
    explicit MetricsHandler(const KwSrvrStatsCollector& collector) : m_stats(collector) {}
    bool handleGet(CivetServer*, mg_connection* conn) override {
        std::ostringstream text;
        prometheus::TextSerializer().Serialize(text, m_stats.Collect());
        return Send(conn, "text/plain; version=0.0.4; charset=utf-8", text.str());
    }

private:
    KwStatsPrometheus m_stats;
};

class JsonHandler : public CivetHandler {
public:
    explicit JsonHandler(const KwSrvrStatsCollector& collector) : m_collector(collector) {}
    bool handleGet(CivetServer*, mg_connection* conn) override {
        KwStatsSnapshot snapshot;
        bool collecting = m_collector.GetStatsSnapshot(snapshot);
        return Send(conn, "application/json", KwStatsJson(snapshot, collecting));
    }

private:
    const KwSrvrStatsCollector& m_collector;
};

class PageHandler : public CivetHandler {
public:
    bool handleGet(CivetServer*, mg_connection* conn) override {
        const mg_request_info* request = mg_get_request_info(conn);
        if (std::string(request->local_uri) != "/") {
            mg_send_http_error(conn, 404, "%s", "not found");
            return true;
        }
        return Send(conn, "text/html; charset=utf-8", kStatusPage);
    }
};

class CivetStatusServer : public StatusServer {
public:
    CivetStatusServer(const KwSrvrStatsCollector& collector,
                      const std::vector<std::string>& options)
        : m_server(options), m_metrics(collector), m_json(collector) {
        m_server.addHandler("/metrics", m_metrics);
        m_server.addHandler("/stats.json", m_json);
        m_server.addHandler("/", m_page);
    }
    ~CivetStatusServer() override { m_server.close(); }

private:
    CivetServer m_server;
    MetricsHandler m_metrics;
    JsonHandler m_json;
    PageHandler m_page;
};

}  // namespace

std::unique_ptr<StatusServer> StatusServer::Start(const KwSrvrStatsCollector& collector,
                                                  const std::string& bind, int port,
                                                  std::string& error) {
    std::vector<std::string> options = {"listening_ports", bind + ":" + std::to_string(port),
                                        "num_threads", "4"};
    try {
        return std::unique_ptr<StatusServer>(new CivetStatusServer(collector, options));
    } catch (const CivetException& e) {
        error = e.what();
        return nullptr;
    }
}
