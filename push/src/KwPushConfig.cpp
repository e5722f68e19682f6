#include "KwPushConfig.h"

#include <yaml-cpp/yaml.h>

#include <cctype>
#include <exception>
#include <functional>
#include <initializer_list>
#include <set>
#include <string_view>

#include "KwBoundedFile.h"

namespace {

// One text from its parts, built once (a "+" a part would make a temporary,
// and a path out of each, for every message).
std::string Concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) {
        text.append(part.data(), part.size());
    }
    return text;
}

const size_t kMaxConfigBytes = 64 * 1024;
const long long kHourMs = 3600LL * 1000;

// The ranges, shared by the file's refusals and KwCheckPushOptions.
struct Range {
    long long low, high;
};
const Range kInterval = {10, 24 * kHourMs};
const Range kRemoteTimeout = {10, 10 * 60 * 1000};
const Range kFlushDeadline = {0, 10 * 60 * 1000};
const Range kCapacity = {1, 100000000};
const Range kMaxPerSend = {1, 1000000};
const Range kBatchDeadline = {1, kHourMs};
const Range kBackoff = {1, kHourMs};
const Range kSpoolBytes = {64 * 1024, (1LL << 31) - 1};

std::string RangeText(const Range& range, const char* unit) {
    return Concat({std::to_string(range.low), unit, " .. ", std::to_string(range.high), unit});
}

bool Within(long long value, const Range& range) {
    return value >= range.low && value <= range.high;
}

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
        Refuse(node, Concat({key, " is not a single value"}));
    }
    return node.Scalar();
}

long long Duration(const YAML::Node& node, const std::string& key, const Range& range) {
    std::string text = Scalar(node, key);
    long long ms = 0;
    if (!KwParseDuration(text, range.high, ms) || ms < range.low) {
        Refuse(node, Concat({key, " '", text, "' is not a duration of ", RangeText(range, " ms"),
                             " (as 15s, 200ms, 1m30s)"}));
    }
    return ms;
}

long long Integer(const YAML::Node& node, const std::string& key, const Range& range) {
    std::string text = Scalar(node, key);
    long long value = 0;
    bool digits = !text.empty() && text.size() <= 12;
    for (char c : text) {
        digits = digits && isdigit(static_cast<unsigned char>(c));
    }
    if (digits) {
        value = std::stoll(text);
    }
    if (!digits || !Within(value, range)) {
        Refuse(node,
               Concat({key, " '", text, "' is not a whole number of ", RangeText(range, "")}));
    }
    return value;
}

// Bytes: a whole number, or one with B, KiB, MiB, GiB (or KB, MB, GB, taken
// as powers of 1024, as Prometheus does).
long long Bytes(const YAML::Node& node, const std::string& key, const Range& range) {
    std::string text = Scalar(node, key);
    size_t digits = 0;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    std::string unit = text.substr(digits);
    static const std::pair<const char*, int> kUnits[] = {{"", 0},     {"B", 0},   {"KB", 10},
                                                         {"KiB", 10}, {"MB", 20}, {"MiB", 20},
                                                         {"GB", 30},  {"GiB", 30}};
    int shift = -1;
    for (const auto& candidate : kUnits) {
        if (unit == candidate.first) {
            shift = candidate.second;
        }
    }
    long long value = -1;
    if (digits > 0 && digits <= 12 && shift >= 0) {
        value = std::stoll(text.substr(0, digits));
        value = value > (range.high >> shift) ? -1 : value << shift;
    }
    if (!Within(value, range)) {
        Refuse(node, Concat({key, " '", text, "' is not a size of ", RangeText(range, " bytes"),
                             " (as 16MiB)"}));
    }
    return value;
}

bool Bool(const YAML::Node& node, const std::string& key) {
    std::string text = Scalar(node, key);
    if (text == "true") {
        return true;
    }
    if (text != "false") {
        Refuse(node, Concat({key, " '", text, "' is not true or false"}));
    }
    return false;
}

// The entries of a mapping, each key once. (One function for every
// section, not a template for each.)
typedef std::function<void(const std::string&, const YAML::Node&, const YAML::Node&)> Visit;
void Entries(const YAML::Node& key, const YAML::Node& map, const std::string& name,
             const Visit& visit) {
    if (!map.IsMap()) {
        Refuse(key, Concat({name, " is not a mapping"}));
    }
    std::set<std::string> seen;
    for (const auto& entry : map) {
        std::string entryName = Scalar(entry.first, "a key");
        if (!seen.insert(entryName).second) {
            Refuse(entry.first,
                   Concat({name, name.empty() ? "" : ": ", "'", entryName, "' is given twice"}));
        }
        visit(entryName, entry.first, entry.second);
    }
}

[[noreturn]] void Unsupported(const YAML::Node& key, const std::string& section,
                              const std::string& name) {
    Refuse(key, Concat({section, section.empty() ? "" : ": ", "'", name, "' is not supported"}));
}

// A file the configuration names: relative to its folder, and readable.
std::string NamedFile(const YAML::Node& node, const std::string& key, const std::string& folder) {
    std::string name = Scalar(node, key);
    if (name.empty()) {
        Refuse(node, Concat({key, " is empty"}));
    }
    std::string path = name[0] == '/' ? name : folder + name;
    std::string content, error;
    if (!KwReadBoundedFile(path, 1 << 20, content, error)) {
        Refuse(node, Concat({key, " '", name, "': ", error}));
    }
    return path;
}

class Reader {
public:
    Reader(const std::string& folder, KwStatsPushOptions& options)
        : m_folder(folder), m_options(options) {}

    void Root(const YAML::Node& root) {
        if (!root.IsMap()) {
            Refuse(root, "the file is not a mapping (a remote_write entry)");
        }
        bool url = false;
        Entries(root, root, "",
                [&](const std::string& name, const YAML::Node& key, const YAML::Node& value) {
                    if (name == "url") {
                        m_options.url = Scalar(value, name);
                        if (m_options.url.compare(0, 7, "http://") != 0 &&
                            m_options.url.compare(0, 8, "https://") != 0) {
                            Refuse(value, Concat({"url '", m_options.url,
                                                  "' is not http:// or https://"}));
                        }
                        url = true;
                    } else if (name == "name") {
                        Scalar(value, name);  // the receiver's name in Prometheus; not used here
                    } else if (name == "interval") {
                        m_options.intervalMs = static_cast<int>(Duration(value, name, kInterval));
                    } else if (name == "remote_timeout") {
                        m_options.remoteTimeoutMs =
                            static_cast<int>(Duration(value, name, kRemoteTimeout));
                    } else if (name == "flush_deadline") {
                        m_options.flushDeadlineMs =
                            static_cast<int>(Duration(value, name, kFlushDeadline));
                    } else if (name == "external_labels") {
                        ExternalLabels(key, value);
                    } else if (name == "basic_auth") {
                        BasicAuth(key, value);
                    } else if (name == "authorization") {
                        Authorization(key, value);
                    } else if (name == "tls_config") {
                        Tls(key, value);
                    } else if (name == "queue_config") {
                        Queue(key, value);
                    } else if (name == "spool") {
                        Spool(key, value);
                    } else {
                        Unsupported(key, "", name);
                    }
                });
        if (!url) {
            Refuse(root, "url is missing");
        }
        if (!m_options.username.empty() &&
            (!m_options.credentials.empty() || !m_options.credentialsFile.empty())) {
            Refuse(root, "basic_auth and authorization are not to be given together");
        }
    }

private:
    void ExternalLabels(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "external_labels",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (!KwIsLabelName(name) || name.compare(0, 2, "__") == 0) {
                        Refuse(k, Concat({"external_labels: '", name, "' is not a label name"}));
                    }
                    std::string text = Scalar(value, "external_labels: " + name);
                    if (text.empty()) {
                        Refuse(value, Concat({"external_labels: ", name, " is empty"}));
                    }
                    m_options.externalLabels.emplace_back(name, text);
                });
    }

    void BasicAuth(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "basic_auth",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (name == "username") {
                        m_options.username = Scalar(value, name);
                    } else if (name == "password") {
                        m_options.password = Scalar(value, name);
                    } else if (name == "password_file") {
                        m_options.passwordFile = NamedFile(value, name, m_folder);
                    } else {
                        Unsupported(k, "basic_auth", name);
                    }
                });
        if (m_options.username.empty()) {
            Refuse(key, "basic_auth needs a username");
        }
        if (!m_options.password.empty() && !m_options.passwordFile.empty()) {
            Refuse(key, "basic_auth: password and password_file are not to be given together");
        }
    }

    void Authorization(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "authorization",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (name == "type") {
                        m_options.authorizationType = Scalar(value, name);
                        if (!KwIsLabelName(m_options.authorizationType)) {
                            Refuse(value,
                                   Concat({"authorization: type '", m_options.authorizationType,
                                           "' is not a single word"}));
                        }
                    } else if (name == "credentials") {
                        m_options.credentials = Scalar(value, name);
                    } else if (name == "credentials_file") {
                        m_options.credentialsFile = NamedFile(value, name, m_folder);
                    } else {
                        Unsupported(k, "authorization", name);
                    }
                });
        if (m_options.credentials.empty() == m_options.credentialsFile.empty()) {
            Refuse(key, "authorization needs credentials or credentials_file (one of them)");
        }
    }

    void Tls(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "tls_config",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (name == "ca_file") {
                        m_options.caFile = NamedFile(value, name, m_folder);
                    } else if (name == "cert_file") {
                        m_options.certFile = NamedFile(value, name, m_folder);
                    } else if (name == "key_file") {
                        m_options.keyFile = NamedFile(value, name, m_folder);
                    } else if (name == "insecure_skip_verify") {
                        m_options.insecureSkipVerify = Bool(value, name);
                    } else {
                        Unsupported(k, "tls_config", name);
                    }
                });
        if (m_options.certFile.empty() != m_options.keyFile.empty()) {
            Refuse(key, "tls_config needs both cert_file and key_file, or neither");
        }
    }

    void Queue(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "queue_config",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (name == "capacity") {
                        m_options.capacity = static_cast<long>(Integer(value, name, kCapacity));
                    } else if (name == "max_samples_per_send") {
                        m_options.maxSamplesPerSend =
                            static_cast<int>(Integer(value, name, kMaxPerSend));
                    } else if (name == "batch_send_deadline") {
                        m_options.batchSendDeadlineMs =
                            static_cast<int>(Duration(value, name, kBatchDeadline));
                    } else if (name == "min_backoff") {
                        m_options.minBackoffMs = static_cast<int>(Duration(value, name, kBackoff));
                    } else if (name == "max_backoff") {
                        m_options.maxBackoffMs = static_cast<int>(Duration(value, name, kBackoff));
                    } else if (name == "retry_on_http_429") {
                        m_options.retryOnHttp429 = Bool(value, name);
                    } else {
                        Unsupported(k, "queue_config", name);
                    }
                });
        if (m_options.minBackoffMs > m_options.maxBackoffMs) {
            Refuse(key, "queue_config: min_backoff is above max_backoff");
        }
    }

    void Spool(const YAML::Node& key, const YAML::Node& map) {
        Entries(key, map, "spool",
                [&](const std::string& name, const YAML::Node& k, const YAML::Node& value) {
                    if (name == "directory") {
                        std::string directory = Scalar(value, name);
                        if (directory.empty()) {
                            Refuse(value, "spool: directory is empty");
                        }
                        m_options.spoolDirectory =
                            directory[0] == '/' ? directory : m_folder + directory;
                    } else if (name == "max_bytes") {
                        m_options.spoolMaxBytes = Bytes(value, name, kSpoolBytes);
                    } else {
                        Unsupported(k, "spool", name);
                    }
                });
        if (m_options.spoolDirectory.empty()) {
            Refuse(key, "spool needs a directory");
        }
    }

    std::string m_folder;
    KwStatsPushOptions& m_options;
};

}  // namespace

bool KwIsLabelName(const std::string& name) {
    if (name.empty() || isdigit(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    for (char c : name) {
        if (!(isascii(static_cast<unsigned char>(c)) &&
              (isalnum(static_cast<unsigned char>(c)) || c == '_'))) {
            return false;
        }
    }
    return true;
}

bool KwParseDuration(const std::string& text, long long maxMs, long long& ms) {
    static const std::pair<const char*, long long> kUnits[] = {{"y", 365 * 24 * kHourMs},
                                                               {"w", 7 * 24 * kHourMs},
                                                               {"d", 24 * kHourMs},
                                                               {"h", kHourMs},
                                                               {"m", 60 * 1000},
                                                               {"s", 1000},
                                                               {"ms", 1}};
    if (text == "0") {
        ms = 0;
        return true;
    }
    ms = 0;
    size_t at = 0;
    size_t next = 0;  // units go from largest to smallest, each at most once
    const size_t units = sizeof kUnits / sizeof kUnits[0];
    while (at < text.size()) {
        size_t digits = at;
        while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) {
            ++digits;
        }
        if (digits == at || digits - at > 12) {
            return false;
        }
        long long count = std::stoll(text.substr(at, digits - at));
        size_t end = digits;
        while (end < text.size() && isalpha(static_cast<unsigned char>(text[end]))) {
            ++end;
        }
        std::string unit = text.substr(digits, end - digits);
        size_t found = next;
        while (found < units && unit != kUnits[found].first) {
            ++found;
        }
        if (found == units || count > maxMs / kUnits[found].second) {
            return false;
        }
        ms += count * kUnits[found].second;
        if (ms > maxMs) {
            return false;
        }
        next = found + 1;
        at = end;
    }
    return !text.empty();
}

bool KwCheckPushOptions(const KwStatsPushOptions& o, std::string& error) {
    struct Check {
        long long value;
        const Range& range;
        const char* name;
        const char* unit;
    };
    const Check checks[] = {{o.intervalMs, kInterval, "interval", " ms"},
                            {o.remoteTimeoutMs, kRemoteTimeout, "remote_timeout", " ms"},
                            {o.flushDeadlineMs, kFlushDeadline, "flush_deadline", " ms"},
                            {o.capacity, kCapacity, "capacity", ""},
                            {o.maxSamplesPerSend, kMaxPerSend, "max_samples_per_send", ""},
                            {o.batchSendDeadlineMs, kBatchDeadline, "batch_send_deadline", " ms"},
                            {o.minBackoffMs, kBackoff, "min_backoff", " ms"},
                            {o.maxBackoffMs, kBackoff, "max_backoff", " ms"},
                            {o.spoolMaxBytes, kSpoolBytes, "spool max_bytes", " bytes"}};
    for (const Check& check : checks) {
        if (!Within(check.value, check.range)) {
            error = Concat({check.name, " ", std::to_string(check.value), " is outside ",
                            RangeText(check.range, check.unit)});
            return false;
        }
    }
    if (o.url.compare(0, 7, "http://") != 0 && o.url.compare(0, 8, "https://") != 0) {
        error = Concat({"url '", o.url, "' is not http:// or https://"});
        return false;
    }
    if (o.minBackoffMs > o.maxBackoffMs) {
        error = "min_backoff is above max_backoff";
        return false;
    }
    for (const auto& label : o.externalLabels) {
        if (!KwIsLabelName(label.first) || label.first.compare(0, 2, "__") == 0 ||
            label.second.empty()) {
            error = Concat({"external label '", label.first, "' is not a label name with a value"});
            return false;
        }
    }
    return true;
}

bool KwStatsPushOptions::FromFile(const std::string& path, KwStatsPushOptions& options,
                                  std::string& error) {
    options = KwStatsPushOptions();
    std::string text, reason;
    if (!KwReadBoundedFile(path, kMaxConfigBytes, text, reason)) {
        error = Concat({path, ": ", reason});
        return false;
    }
    try {
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) {
            error = path + ":1: url is missing";
            return false;
        }
        Reader(path.substr(0, path.rfind('/') + 1), options).Root(root);
    } catch (const YAML::Exception& e) {
        error = Concat({path, ":", std::to_string(e.mark.line + 1), ": ", e.msg});
        return false;
    } catch (const Refusal& refusal) {
        error = Concat({path, ":", std::to_string(refusal.line), ": ", refusal.reason});
        return false;
    } catch (const std::exception& e) {
        error = Concat({path, ": ", e.what()});
        return false;
    }
    return true;
}
