// Every allocation that reading a web configuration makes fails in turn: the
// reading refuses with a reason or reads the same configuration; no exception
// leaves it, nothing leaks (the sanitizer leg checks).
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <string>

#include "FaultInjection.h"
#include "KwWebConfig.h"
#include "ScratchFolder.h"

namespace {

const std::string kTls = QEL_TEST_DATA "/tls/";

// What a reading gave, as one text to compare.
std::string Described(bool read, const KwWebConfig& c) {
    if (!read) {
        return "refused";
    }
    std::string users;
    for (const auto& user : c.users) {
        users += user.first + "=" + user.second + ",";
    }
    return std::to_string(c.tls) + std::to_string(c.verifyClients) +
           std::to_string(c.minTlsVersion) + " " + std::to_string(c.certPem.size()) + " " +
           std::to_string(c.clientCaPem.size()) + " " + users + " " + c.fingerprint;
}

TEST(WebConfigFaults, EveryAllocationOfAReadingFailsInTurn) {
    ScratchFolder scratch;
    const std::string file = scratch.Path() + "web-config-faults.yml";
    std::ofstream(file)
        << "tls_server_config:\n"
           "  cert_file: " +
               kTls +
               "server.crt\n"
               "  key_file: " +
               kTls +
               "server.key\n"
               "  client_auth_type: RequireAndVerifyClientCert\n"
               "  client_ca_file: " +
               kTls +
               "ca.crt\n"
               "  min_version: TLS13\n"
               "basic_auth_users:\n"
               "  prom: $2b$10$W4rXmUiDBOSFVVqwOQDah.gIGVOFLt/XxnQGbRIhX3g.43ZshhUlG\n";
    KwWebConfig whole;
    std::string error;
    ASSERT_TRUE(KwReadWebConfig(file, whole, error)) << error;
    const std::string expected = Described(true, whole);
    unsigned long points = faults::ExpectEachFaultRefusedOrHarmless<KwWebConfig>(
        [&](KwWebConfig& config, std::string& why) { return KwReadWebConfig(file, config, why); },
        [](bool read, const KwWebConfig& config, const std::string&) {
            return Described(read, config);
        },
        expected);
    printf("fault points driven: %lu\n", points);
}

}  // namespace
