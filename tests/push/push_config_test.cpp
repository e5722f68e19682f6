// The configuration file, in the shape of a Prometheus remote_write entry:
// what it takes, and every refusal with its line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "KwPushConfig.h"
#include "KwStatsPusher.h"
#include "PushTestFolder.h"

namespace {

class PushConfig : public PushTestFolder {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PushTestFolder::SetUp());
        Write("secret", "s3cret\nignored\n");
        Write("ca.crt", "pem");
    }

    // The error for a file of `text`, without its path; "" if taken (into
    // `taken`, where given).
    std::string Refusal(const std::string& text, KwStatsPushOptions* taken = nullptr) {
        std::string path = Write("push.yml", text), error;
        KwStatsPushOptions options;
        if (KwStatsPushOptions::FromFile(path, taken != nullptr ? *taken : options, error)) {
            return "";
        }
        EXPECT_EQ(error.compare(0, path.size(), path), 0) << error;
        return error.substr(path.size());
    }
};

TEST_F(PushConfig, EverythingItTakes) {
    KwStatsPushOptions o;
    ASSERT_EQ(Refusal("url: https://rx:9090/api/v1/write\n"
                      "name: fleet\n"
                      "interval: 1m30s\n"
                      "remote_timeout: 200ms\n"
                      "flush_deadline: 0\n"
                      "external_labels: {instance: board7, site: lab}\n"
                      "basic_auth: {username: board7, password_file: secret}\n"
                      "tls_config:\n"
                      "  ca_file: ca.crt\n"
                      "  cert_file: ca.crt\n"
                      "  key_file: /" +
                          m_folder.substr(1) +
                          "/secret\n"
                          "  insecure_skip_verify: true\n"
                          "queue_config:\n"
                          "  capacity: 500\n"
                          "  max_samples_per_send: 100\n"
                          "  batch_send_deadline: 2s\n"
                          "  min_backoff: 10ms\n"
                          "  max_backoff: 1h\n"
                          "  retry_on_http_429: true\n"
                          "spool: {directory: spool, max_bytes: 2MiB}\n",
                      &o),
              "");
    EXPECT_EQ(o.url, "https://rx:9090/api/v1/write");
    EXPECT_EQ(o.intervalMs, 90000);
    EXPECT_EQ(o.remoteTimeoutMs, 200);
    EXPECT_EQ(o.flushDeadlineMs, 0);
    ASSERT_EQ(o.externalLabels.size(), 2u);
    EXPECT_EQ(o.externalLabels[1].first + "=" + o.externalLabels[1].second, "site=lab");
    EXPECT_EQ(o.username, "board7");
    EXPECT_EQ(o.passwordFile, m_folder + "/secret");
    EXPECT_EQ(o.password, "");  // read at Start, never kept from here
    EXPECT_EQ(o.caFile, m_folder + "/ca.crt");
    EXPECT_EQ(o.keyFile, m_folder + "/secret");
    EXPECT_TRUE(o.insecureSkipVerify);
    EXPECT_EQ(o.capacity, 500);
    EXPECT_EQ(o.maxSamplesPerSend, 100);
    EXPECT_EQ(o.batchSendDeadlineMs, 2000);
    EXPECT_EQ(o.minBackoffMs, 10);
    EXPECT_EQ(o.maxBackoffMs, 3600000);
    EXPECT_TRUE(o.retryOnHttp429);
    EXPECT_EQ(o.spoolDirectory, m_folder + "/spool");
    EXPECT_EQ(o.spoolMaxBytes, 2 << 20);
    std::string error;
    EXPECT_TRUE(KwCheckPushOptions(o, error)) << error;
}

TEST_F(PushConfig, Refusals) {
    const std::string duration = " is not a duration of 10 ms .. ";
    const std::string examples = " ms (as 15s, 200ms, 1m30s)";
    const std::string size = " is not a size of 65536 bytes .. 2147483647 bytes (as 16MiB)";
    const std::string capacity = " is not a whole number of 1 .. 100000000";
    struct Row {
        std::string text;
        std::string error;
    };
    // Whole files.
    const Row files[] = {
        {"", ":1: url is missing"},
        {"~\n", ":1: url is missing"},
        {"# nothing but a comment\n", ":1: url is missing"},
        {"just text\n", ":1: the file is not a mapping (a remote_write entry)"},
        {"url: http://rx\nurl: [\n", ":3: end of sequence flow not found"},
        {"interval: 1s\n", ":1: url is missing"},
        {"- url: http://rx\n", ":1: the file is not a mapping (a remote_write entry)"},
        {"url: ftp://rx\n", ":1: url 'ftp://rx' is not http:// or https://"},
        {"url: [http://rx]\n", ":1: url is not a single value"},
        {"? [a]\n: b\n", ":1: a key is not a single value"},
    };
    for (const auto& row : files) {
        EXPECT_EQ(Refusal(row.text), row.error) << row.text;
    }
    // What follows a good url.
    const Row rows[] = {
        {"url: http://other\n", ":2: 'url' is given twice"},
        {"scrape_interval: 1s\n", ":2: 'scrape_interval' is not supported"},
        {"interval: 15\n", ":2: interval '15'" + duration + "86400000" + examples},
        {"interval: 5ms\n", ":2: interval '5ms'" + duration + "86400000" + examples},
        {"interval: 2d\n", ":2: interval '2d'" + duration + "86400000" + examples},
        {"remote_timeout: 11m\n", ":2: remote_timeout '11m'" + duration + "600000" + examples},
        {"interval: 23h61m\n", ":2: interval '23h61m'" + duration + "86400000" + examples},
        {"flush_deadline: 1ms1s\n",
         ":2: flush_deadline '1ms1s' is not a duration of 0 ms .. 600000" + examples},
        {"external_labels: {'': x}\n", ":2: external_labels: '' is not a label name"},
        {"external_labels: [a]\n", ":2: external_labels is not a mapping"},
        {"external_labels: {__x: y}\n", ":2: external_labels: '__x' is not a label name"},
        {"external_labels:\n  9lives: y\n", ":3: external_labels: '9lives' is not a label name"},
        {"external_labels: {site: ''}\n", ":2: external_labels: site is empty"},
        {"external_labels: {\"caf\xc3\xa9\": x}\n",
         ":2: external_labels: 'caf\xc3\xa9' is not a label name"},
        {"basic_auth: {password: x}\n", ":2: basic_auth needs a username"},
        {"basic_auth: {username: u, password: x, password_file: secret}\n",
         ":2: basic_auth: password and password_file are not to be given together"},
        {"basic_auth:\n  username: u\n  password_file: nothing\n",
         ":4: password_file 'nothing': No such file or directory"},
        {"basic_auth:\n  username: u\n  password_file: .\n",
         ":4: password_file '.': Is a directory"},
        {"basic_auth: {username: u, password_file: ''}\n", ":2: password_file is empty"},
        {"basic_auth: {username: u, token: x}\n", ":2: basic_auth: 'token' is not supported"},
        {"basic_auth: {username: a, username: b}\n", ":2: basic_auth: 'username' is given twice"},
        {"authorization: {type: Bearer}\n",
         ":2: authorization needs credentials or credentials_file (one of them)"},
        {"authorization: {type: 'Be arer', credentials: x}\n",
         ":2: authorization: type 'Be arer' is not a single word"},
        {"basic_auth: {username: u}\nauthorization: {credentials: x}\n",
         ":1: basic_auth and authorization are not to be given together"},
        {"basic_auth: {username: u}\nauthorization: {credentials_file: secret}\n",
         ":1: basic_auth and authorization are not to be given together"},
        {"authorization: {credentials: x, credentials_file: secret}\n",
         ":2: authorization needs credentials or credentials_file (one of them)"},
        {"authorization: {credentials: x, scheme: y}\n",
         ":2: authorization: 'scheme' is not supported"},
        {"authorization:\n  credentials_file: none\n",
         ":3: credentials_file 'none': No such file or directory"},
        {"tls_config: {key_file: ca.crt}\n",
         ":2: tls_config needs both cert_file and key_file, or neither"},
        {"tls_config: {ca_file: ''}\n", ":2: ca_file is empty"},
        {"tls_config:\n  cert_file: none.crt\n",
         ":3: cert_file 'none.crt': No such file or directory"},
        {"tls_config: {cert_file: ca.crt}\n",
         ":2: tls_config needs both cert_file and key_file, or neither"},
        {"tls_config: {insecure_skip_verify: yes}\n",
         ":2: insecure_skip_verify 'yes' is not true or false"},
        {"tls_config: {server_name: x}\n", ":2: tls_config: 'server_name' is not supported"},
        {"queue_config: {capacity: 0}\n", ":2: capacity '0'" + capacity},
        {"queue_config: {capacity: -5}\n", ":2: capacity '-5'" + capacity},
        {"queue_config: {capacity: ''}\n", ":2: capacity ''" + capacity},
        {"queue_config: {capacity: 1234567890123}\n", ":2: capacity '1234567890123'" + capacity},
        {"queue_config: {capacity: [1\n", ":3: end of sequence flow not found"},
        {"queue_config: {batch_send_deadline: 0}\n",
         ":2: batch_send_deadline '0' is not a duration of 1 ms .. 3600000" + examples},
        {"queue_config: {min_backoff: 2h}\n",
         ":2: min_backoff '2h' is not a duration of 1 ms .. 3600000" + examples},
        {"queue_config: {max_backoff: 1y}\n",
         ":2: max_backoff '1y' is not a duration of 1 ms .. 3600000" + examples},
        {"queue_config: {max_samples_per_send: 1e3}\n",
         ":2: max_samples_per_send '1e3' is not a whole number of 1 .. 1000000"},
        {"queue_config: {min_backoff: 2s, max_backoff: 1s}\n",
         ":2: queue_config: min_backoff is above max_backoff"},
        {"queue_config: {retry_on_http_429: 1}\n",
         ":2: retry_on_http_429 '1' is not true or false"},
        {"queue_config: {shards: 1}\n", ":2: queue_config: 'shards' is not supported"},
        {"spool: {max_bytes: 1MiB}\n", ":2: spool needs a directory"},
        {"spool: {directory: ''}\n", ":2: spool: directory is empty"},
        {"spool: {directory: s, max_bytes: 1KiB}\n", ":2: max_bytes '1KiB'" + size},
        {"spool: {directory: s, max_bytes: 3GiB}\n", ":2: max_bytes '3GiB'" + size},
        {"spool: {directory: s, max_bytes: 16mb}\n", ":2: max_bytes '16mb'" + size},
        {"spool: {directory: '/abs', max_bytes: B}\n", ":2: max_bytes 'B'" + size},
        {"spool: {directory: s, max_bytes: 9999999999999}\n",
         ":2: max_bytes '9999999999999'" + size},
        {"spool: {directory: s, size: 1}\n", ":2: spool: 'size' is not supported"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Refusal("url: http://rx/w\n" + row.text), row.error) << row.text;
    }
}

TEST_F(PushConfig, EveryValueMustBeASingleValueAndEverySectionAMapping) {
    const char* u = "url: http://rx/w\n";
    for (const char* key : {"name", "interval", "remote_timeout", "flush_deadline"}) {
        EXPECT_EQ(Refusal(std::string(u) + key + ": [1]\n"),
                  std::string(":2: ") + key + " is not a single value");
    }
    const struct {
        std::string section;
        std::vector<std::string> keys;
    } sections[] = {
        {"basic_auth", {"username", "password", "password_file"}},
        {"authorization", {"type", "credentials", "credentials_file"}},
        {"tls_config", {"ca_file", "cert_file", "key_file", "insecure_skip_verify"}},
        {"queue_config",
         {"capacity", "max_samples_per_send", "batch_send_deadline", "min_backoff", "max_backoff",
          "retry_on_http_429"}},
        {"spool", {"directory", "max_bytes"}},
        {"external_labels", {"site"}},
    };
    for (const auto& row : sections) {
        EXPECT_EQ(Refusal(u + row.section + ": x\n"), ":2: " + row.section + " is not a mapping");
        std::string prefix = row.section == "external_labels" ? "external_labels: " : "";
        for (const std::string& key : row.keys) {
            EXPECT_EQ(Refusal(u + row.section + ":\n  " + key + ": {a: 1}\n"),
                      ":3: " + prefix + key + " is not a single value")
                << row.section << " " << key;
        }
    }
}

TEST_F(PushConfig, AuthorizationFromAFileAndSizesInEachUnit) {
    KwStatsPushOptions o;
    ASSERT_EQ(Refusal("url: http://rx/w\n"
                      "authorization: {type: Token, credentials_file: secret}\n"
                      "tls_config: {insecure_skip_verify: false}\n"
                      "spool: {directory: /var/spool/qel, max_bytes: 64KB}\n",
                      &o),
              "");
    EXPECT_EQ(o.authorizationType, "Token");
    EXPECT_FALSE(o.insecureSkipVerify);
    EXPECT_EQ(o.credentialsFile, m_folder + "/secret");
    EXPECT_EQ(o.spoolDirectory, "/var/spool/qel");
    EXPECT_EQ(o.spoolMaxBytes, 64 * 1024);
    ASSERT_EQ(Refusal("url: http://rx/w\nbasic_auth: {username: u, password: p}\n", &o), "");
    EXPECT_EQ(o.username + ":" + o.password, "u:p");
    const struct {
        std::string text;
        long long bytes;
    } sizes[] = {{"65536", 65536},  {"65536B", 65536},  {"64KiB", 65536},   {"1MB", 1 << 20},
                 {"1MiB", 1 << 20}, {"1GB", 1LL << 30}, {"1GiB", 1LL << 30}};
    for (const auto& size : sizes) {
        EXPECT_EQ(
            Refusal("url: http://rx/w\nspool: {directory: s, max_bytes: " + size.text + "}\n", &o),
            "");
        EXPECT_EQ(o.spoolMaxBytes, size.bytes) << size.text;
    }
}

TEST_F(PushConfig, FilesThatAreNotReadWhole) {
    std::string error;
    KwStatsPushOptions options;
    EXPECT_FALSE(KwStatsPushOptions::FromFile(m_folder, options, error));
    EXPECT_EQ(error, m_folder + ": Is a directory");
    std::string fifo = m_folder + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(KwStatsPushOptions::FromFile(fifo, options, error));  // does not block
    EXPECT_EQ(error, fifo + ": not a regular file");
    std::string big = Write("big.yml", "url: http://rx/w\n#" + std::string(70000, 'x') + "\n");
    EXPECT_FALSE(KwStatsPushOptions::FromFile(big, options, error));
    EXPECT_EQ(error, big + ": larger than 65536 bytes");
    EXPECT_FALSE(KwStatsPushOptions::FromFile(m_folder + "/none.yml", options, error));
    EXPECT_EQ(error, m_folder + "/none.yml: No such file or directory");
}

TEST(PushDurations, AsPrometheusWritesThem) {
    const struct {
        const char* text;
        long long ms;  // -1: refused
    } rows[] = {
        {"15s", 15000},     {"200ms", 200},    {"1m30s", 90000},      {"1h", 3600000}, {"0", 0},
        {"1d2h", 93600000}, {"1w", 604800000}, {"1y", 31536000000},   {"1s1m", -1},    {"15", -1},
        {"s", -1},          {"1.5s", -1},      {"-1s", -1},           {"1ss", -1},     {"", -1},
        {"1s ", -1},        {"1x", -1},        {"9999999999999s", -1}};
    for (const auto& row : rows) {
        long long ms = -1;
        bool taken = KwParseDuration(row.text, 100LL * 365 * 24 * 3600 * 1000, ms);
        EXPECT_EQ(taken ? ms : -1, row.ms) << row.text;
    }
    long long ms;
    EXPECT_FALSE(KwParseDuration("2h", 3600000, ms));
    EXPECT_TRUE(KwParseDuration("1h", 3600000, ms));
}

using Options = KwStatsPushOptions;

// A change of one field of the options.
template <class Field, class Value>
std::function<void(Options&)> Set(Field Options::*field, Value value) {
    return [field, value](Options& options) { options.*field = value; };
}

TEST(PushOptions, CheckedAtStart) {
    using Labels = std::vector<std::pair<std::string, std::string>>;
    const std::string notALabel = " is not a label name with a value";
    const struct {
        std::function<void(Options&)> change;
        std::string error;
    } rows[] = {
        {Set(&Options::intervalMs, 0), "interval 0 is outside 10 ms .. 86400000 ms"},
        {Set(&Options::capacity, 0), "capacity 0 is outside 1 .. 100000000"},
        {Set(&Options::spoolMaxBytes, 1),
         "spool max_bytes 1 is outside 65536 bytes .. 2147483647 bytes"},
        {Set(&Options::url, "rx:9090"), "url 'rx:9090' is not http:// or https://"},
        {Set(&Options::minBackoffMs, 10000), "min_backoff is above max_backoff"},
        {Set(&Options::externalLabels, Labels{{"a-b", "x"}}), "external label 'a-b'" + notALabel},
        {Set(&Options::externalLabels, Labels{{"a", ""}}), "external label 'a'" + notALabel},
        {Set(&Options::externalLabels, Labels{{"__a", "x"}}), "external label '__a'" + notALabel},
        {Set(&Options::remoteTimeoutMs, 600001),
         "remote_timeout 600001 is outside 10 ms .. 600000 ms"},
        {Set(&Options::flushDeadlineMs, -1), "flush_deadline -1 is outside 0 ms .. 600000 ms"},
        {Set(&Options::maxSamplesPerSend, 0), "max_samples_per_send 0 is outside 1 .. 1000000"},
        {Set(&Options::batchSendDeadlineMs, 0),
         "batch_send_deadline 0 is outside 1 ms .. 3600000 ms"},
        {Set(&Options::minBackoffMs, 0), "min_backoff 0 is outside 1 ms .. 3600000 ms"},
        {Set(&Options::maxBackoffMs, 3600001), "max_backoff 3600001 is outside 1 ms .. 3600000 ms"},
        {Set(&Options::url, "https:"), "url 'https:' is not http:// or https://"},
    };
    for (const auto& row : rows) {
        Options options;
        options.url = "http://rx/w";
        row.change(options);
        std::string error;
        EXPECT_FALSE(KwCheckPushOptions(options, error));
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(KwStatsPusher::Start(options, error), nullptr);
        EXPECT_EQ(error, row.error);
    }
}

}  // namespace
