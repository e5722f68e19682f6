// Every allocation that reading a push configuration makes fails in turn. The
// reading refuses with a reason, or, where the failure cannot matter, reads
// the same options as without it; no exception leaves it, nothing leaks (the
// sanitizer leg checks), and the next reading is whole again.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "FaultInjection.h"
#include "KwStatsPusher.h"
#include "ScratchFolder.h"

namespace {

// What a reading gave, as one text to compare.
std::string Described(bool read, const KwStatsPushOptions& o, const std::string& error) {
    if (!read) {
        return "refused";
    }
    std::string labels;
    for (const auto& label : o.externalLabels) {
        labels += label.first + "=" + label.second + ",";
    }
    return o.url + " " + std::to_string(o.intervalMs) + " " + labels + " " + o.username + " " +
           o.passwordFile + " " + o.caFile + " " + std::to_string(o.capacity) + " " +
           std::to_string(o.minBackoffMs) + " " + o.spoolDirectory + " " +
           std::to_string(o.spoolMaxBytes) + error;
}

TEST(PushConfigFaults, EveryAllocationOfAReadingFailsInTurn) {
    ScratchFolder scratch;
    const std::string folder = scratch.Path() + "push-config-faults";
    mkdir(folder.c_str(), 0700);
    std::ofstream(folder + "/secret") << "s3cret\n";
    std::ofstream(folder + "/ca.crt") << "not checked here\n";
    const std::string file = folder + "/push.yml";
    std::ofstream(file) << "url: https://rx:9090/api/v1/write\n"
                           "interval: 1m30s\n"
                           "external_labels: {instance: board7, site: lab}\n"
                           "basic_auth: {username: board7, password_file: secret}\n"
                           "tls_config: {ca_file: ca.crt, insecure_skip_verify: false}\n"
                           "queue_config:\n"
                           "  capacity: 500\n"
                           "  min_backoff: 10ms\n"
                           "  retry_on_http_429: true\n"
                           "spool: {directory: spool, max_bytes: 2MiB}\n";
    KwStatsPushOptions whole;
    std::string error;
    ASSERT_TRUE(KwStatsPushOptions::FromFile(file, whole, error)) << error;
    const std::string expected = Described(true, whole, "");
    unsigned long points = faults::ExpectEachFaultRefusedOrHarmless<KwStatsPushOptions>(
        [&](KwStatsPushOptions& options, std::string& why) {
            return KwStatsPushOptions::FromFile(file, options, why);
        },
        Described, expected);
    printf("fault points driven: %lu\n", points);
}

}  // namespace
