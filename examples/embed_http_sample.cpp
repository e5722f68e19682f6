// The status server in a host (the README quotes it): /metrics, /stats.json
// and the status page, here on 127.0.0.1 and the port given (0: any free).
#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "KwStatsHttpServer.h"

int main(int argc, char** argv) {
    KwStatsHttpOptions options;  // bindAddress "127.0.0.1", 2 threads, 64 connections
    options.port = argc > 1 ? atoi(argv[1]) : 8080;
    std::string error;
    std::unique_ptr<KwStatsHttpServer> http = KwStatsHttpServer::Start(options, error);
    if (!http) {
        fprintf(stderr, "no status server: %s\n", error.c_str());
        return 1;
    }
    printf("status server on port %d\n", http->Port());
    return 0;  // destroying `http` stops it
}
