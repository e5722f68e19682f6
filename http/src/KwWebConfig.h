// The web configuration file that Prometheus exporters read
// (--web.config.file): TLS and basic auth for the status server. The
// subset supported:
//
//   tls_server_config:
//     cert_file: server.crt          # PEM; paths relative to this file
//     key_file: server.key
//     client_auth_type: RequireAndVerifyClientCert   # or NoClientCert
//     client_ca_file: ca.crt         # needed to verify clients
//     min_version: TLS12             # TLS10 .. TLS13; TLS12 if not given
//   basic_auth_users:
//     prom: $2b$10$...               # bcrypt
//
// Anything else in it is refused rather than ignored, so that a setting
// the operator relies on is never silently dropped.
#ifndef KW_WEB_CONFIG_H
#define KW_WEB_CONFIG_H

#include <string>
#include <utility>
#include <vector>

struct KwWebConfig {
    bool tls = false;
    std::string certPem;  // the files' contents
    std::string keyPem;
    bool verifyClients = false;
    std::string clientCaPem;
    int minTlsVersion = 12;  // 10 .. 13
    int certLine = 0;        // where cert_file and client_ca_file were given
    int caLine = 0;
    std::vector<std::pair<std::string, std::string>> users;  // name, bcrypt hash
};

// Reads `path` into `config`. Returns false with "FILE:LINE: reason" in
// `error` for a file that cannot be read, is not YAML, holds a key or value
// outside the subset, or names certificate files that cannot be read.
bool KwReadWebConfig(const std::string& path, KwWebConfig& config, std::string& error);

#endif  // KW_WEB_CONFIG_H
