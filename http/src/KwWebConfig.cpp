#include "KwWebConfig.h"

#include <gnutls/crypto.h>
#include <yaml-cpp/yaml.h>

#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "KwBoundedFile.h"

namespace {

// A refusal at a node: its line (1-based) and why.
struct Refusal {
    int line;
    std::string reason;
};

[[noreturn]] void Refuse(const YAML::Node& node, const std::string& reason) {
    throw Refusal{node.Mark().line + 1, reason};
}

int Line(const YAML::Node& node) {
    return node.Mark().line + 1;
}

std::string Scalar(const YAML::Node& node, const std::string& key) {
    if (!node.IsScalar()) {
        Refuse(node, key + " is not a single value");
    }
    return node.Scalar();
}

// The keys of one mapping, each once.
class KeysOnce {
public:
    explicit KeysOnce(std::string what) : m_what(std::move(what)) {}
    void Take(const YAML::Node& key, const std::string& name) {
        auto first = m_lines.emplace(name, Line(key));
        if (!first.second) {
            Refuse(key, m_what + " '" + name + "' is given twice (first on line " +
                            std::to_string(first.first->second) + ")");
        }
    }

private:
    std::string m_what;
    std::map<std::string, int> m_lines;
};

std::string Resolve(const std::string& name, const std::string& folder) {
    return name[0] == '/' ? name : folder + name;
}

// A file's bytes, or why it could not be read, in the text a fingerprint is
// taken of: length first, so that no two sets of files give the same text.
void Record(std::string& all, const std::string& path, bool read, const std::string& part) {
    all += path + '\0' + (read ? "+" : "-") + std::to_string(part.size()) + '\0';
    all += part;
}

std::string Sha256(const std::string& text) {
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest) != 0) {
        return std::string();
    }
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// What one reading of the files gathers besides the configuration.
struct Reading {
    std::string folder;
    std::string all;  // every byte read, for the fingerprint
};

// A file named in the configuration, relative to the configuration's folder.
std::string ReadNamed(const YAML::Node& node, const std::string& key, Reading& reading,
                      KwWebConfig& config) {
    std::string name = Scalar(node, key);
    if (name.empty()) {
        Refuse(node, key + " is empty");
    }
    std::string path = Resolve(name, reading.folder);
    config.namedFiles.push_back(path);
    std::string text, reason;
    if (!KwReadBoundedFile(path, kWebConfigMaxPemBytes, text, reason)) {
        Refuse(node, key + " '" + name + "': " + reason);
    }
    Record(reading.all, path, true, text);
    return text;
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

void ReadTls(const YAML::Node& section, const YAML::Node& tls, Reading& reading,
             KwWebConfig& config) {
    if (!tls.IsMap()) {
        Refuse(section, "tls_server_config is not a mapping");
    }
    config.tls = true;
    bool cert = false, key = false, ca = false;
    std::string clientAuth = "NoClientCert";
    YAML::Node clientAuthNode;
    KeysOnce keys("tls_server_config:");
    for (const auto& entry : tls) {
        std::string name = Scalar(entry.first, "a key");
        keys.Take(entry.first, name);
        const YAML::Node& value = entry.second;
        if (name == "cert_file") {
            config.certPem = ReadNamed(value, name, reading, config);
            config.certLine = Line(value);
            cert = true;
        } else if (name == "key_file") {
            config.keyPem = ReadNamed(value, name, reading, config);
            key = true;
        } else if (name == "client_ca_file") {
            config.clientCaPem = ReadNamed(value, name, reading, config);
            config.caLine = Line(value);
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
    KeysOnce names("the user");
    for (const auto& entry : users) {
        std::string name = Scalar(entry.first, "a user");
        std::string hash = Scalar(entry.second, "the hash of user '" + name + "'");
        if (name.empty() || name.find(':') != std::string::npos) {
            Refuse(entry.first, "the user name '" + name + "' is empty or holds ':'");
        }
        names.Take(entry.first, name);
        if (!IsBcrypt(hash)) {
            Refuse(entry.second, "the hash of user '" + name + "' is not a bcrypt hash");
        }
        if (config.users.size() == kWebConfigMaxUsers) {
            Refuse(entry.first, "more than " + std::to_string(kWebConfigMaxUsers) + " users");
        }
        config.users.emplace_back(name, hash);
    }
}

}  // namespace

bool KwReadWebConfig(const std::string& path, KwWebConfig& config, std::string& error) {
    try {
        config = KwWebConfig();
        Reading reading;
        reading.folder = path.substr(0, path.rfind('/') + 1);
        std::string text, reason;
        if (!KwReadBoundedFile(path, kWebConfigMaxBytes, text, reason)) {
            error = path + ": " + reason;
            return false;
        }
        Record(reading.all, path, true, text);
        try {
            YAML::Node root = YAML::Load(text);
            if (!root.IsNull()) {  // empty: plain HTTP, no auth
                if (!root.IsMap()) {
                    Refuse(root, "the file is not a mapping");
                }
                KeysOnce keys("the key");
                for (const auto& entry : root) {
                    std::string name = Scalar(entry.first, "a key");
                    keys.Take(entry.first, name);
                    if (name == "tls_server_config") {
                        ReadTls(entry.first, entry.second, reading, config);
                    } else if (name == "basic_auth_users") {
                        ReadUsers(entry.first, entry.second, config);
                    } else {
                        Refuse(entry.first, "'" + name + "' is not supported");
                    }
                }
            }
        } catch (const YAML::Exception& e) {
            error = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
            return false;
        } catch (const Refusal& refusal) {
            error = path + ":" + std::to_string(refusal.line) + ": " + refusal.reason;
            return false;
        }
        // Of the bytes parsed, not read again: a change in between shows.
        config.fingerprint = Sha256(reading.all);
        return true;
    } catch (const std::exception& e) {  // out of memory, in the parser or here
        config = KwWebConfig();
        error = path + ": " + e.what();
        return false;
    }
}

std::string KwWebConfigFingerprint(const std::string& path,
                                   const std::vector<std::string>& namedFiles) {
    try {
        std::string all, text, reason;
        bool read = KwReadBoundedFile(path, kWebConfigMaxBytes, text, reason);
        Record(all, path, read, read ? text : reason);
        for (const std::string& named : namedFiles) {
            read = KwReadBoundedFile(named, kWebConfigMaxPemBytes, text, reason);
            Record(all, named, read, read ? text : reason);
        }
        return Sha256(all);
    } catch (const std::exception&) {
        return std::string();
    }
}
