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
// the operator relies on is never silently dropped; so is a key given twice
// (a user listed twice among them). Every file is read as hostile input
// (KwBoundedFile.h): regular files only, within the bounds below.
#ifndef KW_WEB_CONFIG_H
#define KW_WEB_CONFIG_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The bounds. The file holds users and paths, a few KiB; 256 KiB leaves
// room for a thousand users with comments, and keeps a YAML parse short on
// a board. A PEM file of 1 MiB holds a CA bundle of several hundred
// certificates. A thousand users is far beyond what a status server needs
// and takes milliseconds to read; 200,000 took seconds and 237 MB.
constexpr size_t kWebConfigMaxBytes = 256 * 1024;
constexpr size_t kWebConfigMaxPemBytes = 1024 * 1024;
constexpr size_t kWebConfigMaxUsers = 1000;

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
    // The files it names (cert, key, client CA, as given), resolved.
    std::vector<std::string> namedFiles;
    // Of the bytes of the file and of those it names (KwWebConfigFingerprint).
    std::string fingerprint;
};

// Reads `path` into `config`. Returns false with "FILE:LINE: reason" (or
// "FILE: reason" for the file itself) in `error` for a file that cannot be
// read or is out of bounds, is not YAML, holds a key or value outside the
// subset or a key twice, names more users than allowed, or names
// certificate files that cannot be read. Throws nothing.
bool KwReadWebConfig(const std::string& path, KwWebConfig& config, std::string& error);

// A digest of the bytes of `path` and of `namedFiles` as they are now (a
// file that cannot be read counts with its reason): equal to
// config.fingerprint while nothing changed. Throws nothing; empty when
// memory runs out.
std::string KwWebConfigFingerprint(const std::string& path,
                                   const std::vector<std::string>& namedFiles);

#endif  // KW_WEB_CONFIG_H
