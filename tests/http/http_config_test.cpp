// The web configuration as hostile input: odd files named anywhere in it
// (each refused with the file and the reason, nothing blocks, nothing is
// read without bound, nothing escapes Start), keys given twice, what the
// server cannot honour, the bound on users; and its rotation while
// serving, as the exporters have it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "HttpTestClient.h"
#include "KwHttpSettingsWatch.h"
#include "KwStatsHttpServer.h"
#include "KwWebConfig.h"
#include "LogCapture.h"
#include "ScratchFolder.h"
#include "TestTime.h"

namespace {

const char kFile[] = "KwStatsHttpServer.cpp";
const std::string kTls = QEL_TEST_DATA "/tls/";
const std::string kHash = "$2b$10$W4rXmUiDBOSFVVqwOQDah.gIGVOFLt/XxnQGbRIhX3g.43ZshhUlG";

std::string Slurp(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Writes `text` to `path` at once, as a rotation by script does (a new
// file renamed over the old).
void Replace(const std::string& path, const std::string& text) {
    std::ofstream(path + ".new", std::ios::binary) << text;
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0) << path;
}

// Why Start() refuses the configuration in `file`, or "started".
std::string StartWith(const std::string& file) {
    return Refusal(WithConfig(file));
}

}  // namespace

// Each refusal names the file, the line and the reason.
TEST(KwWebConfigTest, OddFilesAndWhatCannotBeHonouredAreRefusedWithTheFileAndTheReason) {
    ScratchFolder scratch;
    const std::string dir = scratch.Path() + "web-config-odd/";
    mkdir(dir.c_str(), 0700);
    const std::string fifo = dir + "fifo", link = dir + "zero-link", file = dir + "web.yml";
    const std::string big = dir + "big.crt", large = dir + "large.yml", edge = dir + "edge.yml";
    const std::string garbled = dir + "garbled.crt";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unlink(link.c_str());
    ASSERT_EQ(symlink("/dev/zero", link.c_str()), 0);
    std::ofstream(big) << std::string(kWebConfigMaxPemBytes + 1, 'a');
    std::ofstream(large) << std::string(kWebConfigMaxBytes + 1, '#');
    std::ofstream(garbled) << "-----BEGIN CERTIFICATE-----\n%%%%\n-----END CERTIFICATE-----\n";
    // Exactly the bound: taken.
    std::string atBound = "basic_auth_users:\n  prom: " + kHash + "\n#";
    std::ofstream(edge) << atBound + std::string(kWebConfigMaxBytes - atBound.size(), '#');
    EXPECT_EQ(StartWith(edge), "started");
    const std::string key = "  key_file: " + kTls + "server.key\n";
    const std::string cert = "tls_server_config:\n  cert_file: " + kTls + "server.crt\n";
    const std::string verify = cert + key + "  client_auth_type: RequireAndVerifyClientCert\n";
    std::string users = "basic_auth_users:\n";  // as many as are taken
    for (size_t n = 0; n < kWebConfigMaxUsers; ++n) {
        users += "  user" + std::to_string(n) + ": " + kHash + "\n";
    }
    const struct {
        std::string config;  // the file's text, or a path to start with as it is
        bool path;
        std::string error;  // after the path
    } rows[] = {
        // the configuration itself
        {dir, true, ": Is a directory"},
        {"/proc/self/mem", true, ": Input/output error"},
        {fifo, true, ": not a regular file"},
        {"/dev/zero", true, ": not a regular file"},
        {link, true, ": not a regular file"},
        {large, true, ": larger than 262144 bytes"},
        {file + ".missing", true, ": No such file or directory"},
        // what it names
        {"tls_server_config:\n  cert_file: /dev/zero\n", false,
         ":2: cert_file '/dev/zero': not a regular file"},
        {"tls_server_config:\n  cert_file: zero-link\n", false,
         ":2: cert_file 'zero-link': not a regular file"},
        {"tls_server_config:\n  cert_file: /proc/self/mem\n", false,
         ":2: cert_file '/proc/self/mem': Input/output error"},
        {"tls_server_config:\n  cert_file: " + dir + "\n", false,
         ":2: cert_file '" + dir + "': Is a directory"},
        {"tls_server_config:\n  cert_file: /\n", false, ":2: cert_file '/': Is a directory"},
        {"tls_server_config:\n  cert_file: big.crt\n", false,
         ":2: cert_file 'big.crt': larger than 1048576 bytes"},
        {cert + "  key_file: fifo\n", false, ":3: key_file 'fifo': not a regular file"},
        {verify + "  client_ca_file: /dev/null\n", false,
         ":5: client_ca_file '/dev/null': not a regular file"},
        {"tls_server_config:\n  cert_file: server.crt\n", false,  // beside the file: none
         ":2: cert_file 'server.crt': No such file or directory"},
        {"tls_server_config:\n  cert_file: /nonexistent.crt\n", false,
         ":2: cert_file '/nonexistent.crt': No such file or directory"},
        {verify + "  client_ca_file: " + kTls + "server.key\n", false,
         ":5: client_ca_file: no certificate in it"},
        {verify + "  client_ca_file: " + garbled + "\n", false,
         ":5: client_ca_file: Base64 unexpected header error."},
        {cert + "  key_file: " + kTls + "other.key\n", false,
         ":2: cert_file and key_file: The certificate and the given key do not match."},
        // keys twice
        {"basic_auth_users:\n  prom: " + kHash + "\n  prom: " + kHash + "\n", false,
         ":3: the user 'prom' is given twice (first on line 2)"},
        {cert + key + "  cert_file: " + kTls + "server.crt\n", false,
         ":4: tls_server_config: 'cert_file' is given twice (first on line 2)"},
        {"basic_auth_users: {}\nbasic_auth_users: {}\n", false,
         ":2: the key 'basic_auth_users' is given twice (first on line 1)"},
        // what the server does not do, or the file does not say well
        {"basic_auth_users:\n  prom: [1, 2]\n", false,
         ":2: the hash of user 'prom' is not a single value"},
        {"basic_auth_users:\n  'a:b': " + kHash + "\n", false,
         ":2: the user name 'a:b' is empty or holds ':'"},
        {"basic_auth_users: []\n", false,
         ":1: basic_auth_users is not a mapping of user to bcrypt hash"},
        {"basic_auth_users:\n  prom: a: b\n", false, ":2: illegal map value"},
        {users + "  one-more: " + kHash + "\n", false, ":1002: more than 1000 users"},
        {"- a list\n", false, ":1: the file is not a mapping"},
        {"http_server_config:\n  http2: false\n", false,
         ":1: 'http_server_config' is not supported"},
        {"tls_server_config: 5\n", false, ":1: tls_server_config is not a mapping"},
        {"tls_server_config:\n  cert_file: ''\n", false, ":2: cert_file is empty"},
        {cert, false, ":1: tls_server_config needs both cert_file and key_file"},
        {cert + key + "  client_auth_type: RequireAnyClientCert\n", false,
         ":4: client_auth_type 'RequireAnyClientCert' is not supported: NoClientCert or "
         "RequireAndVerifyClientCert"},
        {verify, false, ":4: RequireAndVerifyClientCert needs client_ca_file"},
        {cert + key + "  min_version: TLS14\n", false,
         ":4: min_version 'TLS14': TLS10, TLS11, TLS12 or TLS13"},
        {cert + key + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n", false,
         ":4: tls_server_config: 'cipher_suites' is not supported"},
        {"tls_server_config:\n" + key, false,
         ":1: tls_server_config needs both cert_file and key_file"},
        {cert + key + "  min_version: TLS1\n", false,
         ":4: min_version 'TLS1': TLS10, TLS11, TLS12 or TLS13"},
        {cert + key + "  min_version: SSL30\n", false,
         ":4: min_version 'SSL30': TLS10, TLS11, TLS12 or TLS13"},
        {cert + key + "  min_version: TLS1/\n", false,
         ":4: min_version 'TLS1/': TLS10, TLS11, TLS12 or TLS13"},
        {cert + key + "  min_version: [TLS12]\n", false, ":4: min_version is not a single value"},
        {"tls_server_config:\n  cert_file: [a]\n", false, ":2: cert_file is not a single value"},
        {"basic_auth_users:\n  '': " + kHash + "\n", false,
         ":2: the user name '' is empty or holds ':'"},
        {"basic_auth_users:\n  [a]: " + kHash + "\n", false, ":2: a user is not a single value"},
        {"? [a, b]\n: 1\n", false, ":1: a key is not a single value"},
    };
    for (const auto& row : rows) {
        if (!row.path) {
            std::ofstream(file) << row.config;
        }
        const std::string& where = row.path ? row.config : file;
        EXPECT_EQ(StartWith(where), where + row.error) << row.config.substr(0, 120);
    }
    // Not a bcrypt hash: plain, cut, another kind, a cost bcrypt has not.
    for (const std::string& hash :
         {std::string("plain"), kHash.substr(0, 59), kHash.substr(0, 59) + "!",
          "'%" + kHash.substr(1) + "'", "$2x$" + kHash.substr(4), "$2b$03$" + kHash.substr(7),
          "$2b$32$" + kHash.substr(7), "$2b$1x$" + kHash.substr(7), "$2bb10$" + kHash.substr(7),
          "$3b$" + kHash.substr(4), "$2b$x0$" + kHash.substr(7), "$2b$10x" + kHash.substr(7)}) {
        std::ofstream(file) << "basic_auth_users:\n  prom: " + hash + "\n";
        EXPECT_EQ(StartWith(file), file + ":2: the hash of user 'prom' is not a bcrypt hash")
            << hash;
    }
    // Taken: the highest cost bcrypt has, and its other kinds; an empty file
    // (plain HTTP, anyone); a thousand users; TLS without client
    // certificates, from its oldest version.
    for (const std::string& text :
         {"basic_auth_users:\n  prom: $2b$31$" + kHash.substr(7) + "\n",
          "basic_auth_users:\n  a: $2a$" + kHash.substr(4) + "\n  y: $2y$" + kHash.substr(4) + "\n",
          std::string(), users,
          cert + key + "  client_auth_type: NoClientCert\n  min_version: TLS10\n"}) {
        std::ofstream(file) << text;
        EXPECT_EQ(StartWith(file), "started") << text.substr(0, 80);
    }
    unlink(fifo.c_str());
    unlink(link.c_str());
}

// A change is taken when good; a refused one keeps what is in use and is
// logged once for each reason.
TEST(KwWebConfigTest, TheWatchTakesGoodChangesAndLogsEachRefusalOnce) {
    LogCapture log;
    ScratchFolder scratch;
    const std::string file = scratch.Path() + "web-config-watch.yml";
    std::ofstream(file) << "basic_auth_users:\n  prom: " + kHash + "\n";
    std::string error;
    std::shared_ptr<const KwHttpSettings> first = KwHttpSettings::Load(file, error);
    ASSERT_NE(first, nullptr) << error;
    KwHttpSettingsWatch watch(first, "test.cpp");
    EXPECT_FALSE(watch.Check());  // unchanged
    const std::string refusedA = "KwStatsHttpServer: " + file +
                                 ":2: the hash of user 'prom' is not a bcrypt hash; the "
                                 "configuration in use stays";
    const std::string refusedB = "KwStatsHttpServer: " + file +
                                 ":1: 'users' is not supported; the configuration in use stays";
    const std::string reloaded = "KwStatsHttpServer: " + file + ": reloaded";
    Replace(file, "basic_auth_users:\n  prom: plain\n");
    for (int check = 0; check < 3; ++check) {
        EXPECT_FALSE(watch.Check());
    }
    Replace(file, "users: {}\n");
    EXPECT_FALSE(watch.Check());
    EXPECT_FALSE(watch.Check());
    EXPECT_EQ(watch.Current(), first);
    Replace(file, "basic_auth_users:\n  prom: " + kHash + "\n  other: " + kHash + "\n");
    EXPECT_TRUE(watch.Check());
    EXPECT_FALSE(watch.Check());
    ASSERT_NE(watch.Current()->HashOf("other"), nullptr);
    EXPECT_EQ(*watch.Current()->HashOf("other"), kHash);
    Replace(file, "basic_auth_users:\n  prom: plain\n");
    EXPECT_FALSE(watch.Check());
    EXPECT_EQ(log.Count(DLOG_ERR, "test.cpp", refusedA), 2u);  // again after a good one
    EXPECT_EQ(log.Count(DLOG_ERR, "test.cpp", refusedB), 1u);
    EXPECT_EQ(log.Count(DLOG_INFO, "test.cpp", reloaded), 1u);
    EXPECT_EQ(log.Entries().size(), 4u);
}

// Without a file there is nothing to watch; a file or a named file gone,
// and TLS turned on, are refused like any bad change.
TEST(KwWebConfigTest, TheWatchRefusesFilesGoneAndTlsTurnedOn) {
    LogCapture log;
    std::string error;
    KwHttpSettingsWatch none(KwHttpSettings::Load("", error), "test.cpp");
    EXPECT_FALSE(none.Check());
    ScratchFolder scratch;
    const std::string dir = scratch.Path() + "web-config-gone/";
    mkdir(dir.c_str(), 0700);
    const std::string file = dir + "web.yml", tlsFile = dir + "tls.yml";
    const std::string users = "basic_auth_users:\n  prom: " + kHash + "\n";
    const std::string tls =
        "tls_server_config:\n  cert_file: " + kTls + "server.crt\n  key_file: server.key\n";
    std::ofstream(file) << users;
    std::ofstream(tlsFile) << tls;
    std::ofstream(dir + "server.key") << Slurp(kTls + "server.key");
    std::shared_ptr<const KwHttpSettings> plain = KwHttpSettings::Load(file, error);
    std::shared_ptr<const KwHttpSettings> secure = KwHttpSettings::Load(tlsFile, error);
    ASSERT_NE(plain, nullptr) << error;
    ASSERT_NE(secure, nullptr) << error;
    KwHttpSettingsWatch watchPlain(plain, "test.cpp"), watchTls(secure, "test.cpp");
    const std::string stays = "; the configuration in use stays";
    const std::string gone = "KwStatsHttpServer: " + file + ": No such file or directory" + stays;
    const std::string turnedOn = "KwStatsHttpServer: " + file +
                                 ": TLS turned on while serving: that takes a restart" + stays;
    const std::string keyGone = "KwStatsHttpServer: " + tlsFile +
                                ":3: key_file 'server.key': No such file or directory" + stays;
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_FALSE(watchPlain.Check());
    Replace(file, tls);
    EXPECT_FALSE(watchPlain.Check());
    EXPECT_EQ(watchPlain.Current(), plain);
    // The key gone, back as it was (nothing to take), and gone again.
    ASSERT_EQ(rename((dir + "server.key").c_str(), (dir + "key.away").c_str()), 0);
    EXPECT_FALSE(watchTls.Check());
    ASSERT_EQ(rename((dir + "key.away").c_str(), (dir + "server.key").c_str()), 0);
    EXPECT_FALSE(watchTls.Check());
    ASSERT_EQ(unlink((dir + "server.key").c_str()), 0);
    EXPECT_FALSE(watchTls.Check());
    EXPECT_EQ(watchTls.Current(), secure);
    EXPECT_EQ(log.Count(DLOG_ERR, "test.cpp", gone), 1u);
    EXPECT_EQ(log.Count(DLOG_ERR, "test.cpp", turnedOn), 1u);
    EXPECT_EQ(log.Count(DLOG_ERR, "test.cpp", keyGone), 2u);
    EXPECT_EQ(log.Entries().size(), 4u);
}

TEST(KwWebConfigTest, ACertificateKeyOrClientCaRotatedServesNewConnections) {
    LogCapture log;
    ScratchFolder scratch;
    const std::string dir = scratch.Path() + "web-config-rotation/";
    mkdir(dir.c_str(), 0700);
    for (const char* name : {"server.crt", "server.key", "ca.crt"}) {
        std::ofstream(dir + name) << Slurp(kTls + name);
    }
    const std::string file = dir + "web.yml";
    const std::string tls =
        "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
        "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n";
    std::ofstream(file) << tls + "basic_auth_users:\n  prom: " + kHash + "\n";
    std::unique_ptr<KwStatsHttpServer> server = Serve(WithConfig(file));
    ASSERT_NE(server, nullptr);
    const int port = server->Port();
    // As a scraper that does not check the server's certificate sees it.
    auto fetch = [port](const char* userPassword, const char* cert) {
        return FetchTls(port, "/metrics", userPassword, cert, CURL_SSLVERSION_MAX_DEFAULT, nullptr,
                        false);
    };
    EXPECT_EQ(fetch(nullptr, "client").subject, "CN=localhost");
    // The certificate and its key, replaced one after the other: between
    // the two they do not match, which is refused, and logged.
    Replace(dir + "server.crt", Slurp(kTls + "other.crt"));
    const std::string mismatch = "KwStatsHttpServer: " + file +
                                 ":2: cert_file and key_file: The certificate and the given key "
                                 "do not match.; the configuration in use stays";
    EXPECT_TRUE(WaitUntil([&] { return log.Count(DLOG_ERR, kFile, mismatch) == 1; }));
    EXPECT_EQ(fetch(nullptr, "client").subject, "CN=localhost");
    Replace(dir + "server.key", Slurp(kTls + "other.key"));
    EXPECT_TRUE(WaitUntil([&] { return fetch(nullptr, "client").subject == "CN=stranger"; }));
    // Users come and go; the client CA changes who may come in.
    Replace(file, tls + "basic_auth_users:\n  other: " + kHash + "\n");
    EXPECT_TRUE(WaitUntil([&] { return fetch("prom:scrape-secret", "client").status == 401; }));
    EXPECT_EQ(fetch("other:scrape-secret", "client").status, 200);
    Replace(dir + "ca.crt", Slurp(kTls + "other.crt"));
    EXPECT_TRUE(WaitUntil([&] { return fetch("other:scrape-secret", "client").status == 403; }));
    EXPECT_EQ(fetch("other:scrape-secret", "other").status, 200);
    // TLS cannot be turned off while serving.
    Replace(file, "basic_auth_users:\n  other: " + kHash + "\n");
    EXPECT_TRUE(WaitUntil([&] {
        return log.Count(DLOG_ERR, kFile,
                         "KwStatsHttpServer: " + file +
                             ": TLS turned off while serving: that takes a restart; the "
                             "configuration in use stays") == 1;
    }));
    EXPECT_EQ(fetch(nullptr, "client").subject, "CN=stranger");
    EXPECT_EQ(log.CountContaining("reloaded"), 3u);
}
