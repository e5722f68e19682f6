// Remote write from a host (docs/push.md quotes it): the statistics pushed
// to the receiver a configuration file names, until the host ends.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "KwStatsPusher.h"

int main(int argc, char** argv) {
    const char* file = argc > 1 ? argv[1] : "/etc/qel/push.yml";
    KwStatsPushOptions options;
    std::string error;
    std::unique_ptr<KwStatsPusher> pusher;
    if (KwStatsPushOptions::FromFile(file, options, error)) {
        pusher = KwStatsPusher::Start(options, error);
    }
    if (!pusher) {
        fprintf(stderr, "no pusher: %s\n", error.c_str());
        return 1;
    }
    printf("pushing to %s\n", options.url.c_str());
    fflush(stdout);
    // With the status server too, /metrics, /stats.json and the page show the
    // pusher's own figures: KwStatsHttpServer::Start(httpOptions, error,
    // pusher->Source()).
    sleep(argc > 2 ? static_cast<unsigned>(atoi(argv[2])) : 60);
    return 0;  // destroying `pusher` sends what waits, marks its series stale, stops
}
