#include "KwWebConfig.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// A refusal at a node: its line (1-based) and why.
struct Refusal {
    int line;
    std::string reason;
};

[[noreturn]] void Refuse(const YAML::Node& node, const std::string& reason) {
    throw Refusal{node.Mark().line + 1, reason};
}

std::string Scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) {
        Refuse(node, key + " is not a single value");
    }
    return node.Scalar();
}

// A file named in the configuration, relative to the configuration's folder.
std::string ReadNamed(const YAML::Node& node, const std::string& key, const std::string& folder) {
    std::string name = Scalar(node, key);
    if (name.empty()) {
        Refuse(node, key + " is empty");
    }
    std::string path = name[0] == '/' ? name : folder + name;
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        Refuse(node, key + " '" + name + "': " + strerror(errno != 0 ? errno : EIO));
    }
    return text.str();
}

// "$2b$10$" and 53 characters of bcrypt's alphabet.
bool IsBcrypt(const std::string& hash) {
    if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' ||
        std::string("aby").find(hash[2]) == std::string::npos || hash[3] != '$' ||
        !isdigit(static_cast<unsigned char>(hash[4])) ||
        !isdigit(static_cast<unsigned char>(hash[5])) || hash[6] != '$') {
        return false;
    }
    int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31) {
        return false;
    }
    for (size_t i = 7; i < hash.size(); ++i) {
        char c = hash[i];
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '/') {
            return false;
        }
    }
    return true;
}

void ReadTls(const YAML::Node& section, const YAML::Node& tls, const std::string& folder,
             KwWebConfig& config) {
    if (!tls.IsMap()) {
        Refuse(section, "tls_server_config is not a mapping");
    }
    config.tls = true;
    bool cert = false, key = false, ca = false;
    std::string clientAuth = "NoClientCert";
    YAML::Node clientAuthNode;
    for (const auto& entry : tls) {
        std::string name = Scalar(entry.first, "a key");
        const YAML::Node& value = entry.second;
        if (name == "cert_file") {
            config.certPem = ReadNamed(value, name, folder);
            config.certLine = value.Mark().line + 1;
            cert = true;
        } else if (name == "key_file") {
            config.keyPem = ReadNamed(value, name, folder);
            key = true;
        } else if (name == "client_ca_file") {
            config.clientCaPem = ReadNamed(value, name, folder);
            config.caLine = value.Mark().line + 1;
            ca = true;
        } else if (name == "client_auth_type") {
            clientAuth = Scalar(value, name);
            clientAuthNode = value;
            if (clientAuth != "NoClientCert" && clientAuth != "RequireAndVerifyClientCert") {
                Refuse(value, "client_auth_type '" + clientAuth +
                                  "' is not supported: NoClientCert or RequireAndVerifyClientCert");
            }
        } else if (name == "min_version") {
            std::string version = Scalar(value, name);
            if (version.size() != 5 || version.compare(0, 4, "TLS1") != 0 || version[4] < '0' ||
                version[4] > '3') {
                Refuse(value, "min_version '" + version + "': TLS10, TLS11, TLS12 or TLS13");
            }
            config.minTlsVersion = 10 + (version[4] - '0');
        } else {
            Refuse(entry.first, "tls_server_config: '" + name + "' is not supported");
        }
    }
    if (!cert || !key) {
        Refuse(section, "tls_server_config needs both cert_file and key_file");
    }
    config.verifyClients = clientAuth == "RequireAndVerifyClientCert";
    if (config.verifyClients && !ca) {
        Refuse(clientAuthNode, "RequireAndVerifyClientCert needs client_ca_file");
    }
}

void ReadUsers(const YAML::Node& key, const YAML::Node& users, KwWebConfig& config) {
    if (!users.IsMap()) {
        Refuse(key, "basic_auth_users is not a mapping of user to bcrypt hash");
    }
    for (const auto& entry : users) {
        std::string name = Scalar(entry.first, "a user");
        std::string hash = Scalar(entry.second, "the hash of user '" + name + "'");
        if (name.empty() || name.find(':') != std::string::npos) {
            Refuse(entry.first, "the user name '" + name + "' is empty or holds ':'");
        }
        if (!IsBcrypt(hash)) {
            Refuse(entry.second, "the hash of user '" + name + "' is not a bcrypt hash");
        }
        config.users.emplace_back(name, hash);
    }
}

}  // namespace

bool KwReadWebConfig(const std::string& path, KwWebConfig& config, std::string& error) {
    config = KwWebConfig();
    std::string folder = path.substr(0, path.rfind('/') + 1);
    std::ifstream file(path);
    if (!file) {
        error = path + ": " + strerror(errno);
        return false;
    }
    try {
        YAML::Node root = YAML::Load(file);
        if (root.IsNull()) {
            return true;  // an empty file: plain HTTP, no auth
        }
        if (!root.IsMap()) {
            Refuse(root, "the file is not a mapping");
        }
        for (const auto& entry : root) {
            std::string name = Scalar(entry.first, "a key");
            if (name == "tls_server_config") {
                ReadTls(entry.first, entry.second, folder, config);
            } else if (name == "basic_auth_users") {
                ReadUsers(entry.first, entry.second, config);
            } else {
                Refuse(entry.first, "'" + name + "' is not supported");
            }
        }
    } catch (const YAML::Exception& e) {
        error = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return false;
    } catch (const Refusal& refusal) {
        error = path + ":" + std::to_string(refusal.line) + ": " + refusal.reason;
        return false;
    }
    return true;
}
