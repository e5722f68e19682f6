// A remote-write receiver of the project's own for the live leg: it answers
// each request with the next status of its script (then 204), and prints one
// line per request: its number, the answer, when (ms of the steady clock),
// the samples it carried and the first time and value of qel_events_total.
//
//   push_test_receiver PORT_FILE SECONDS STATUS[:RETRY_AFTER],...
//
// It writes its port to PORT_FILE and serves for SECONDS.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestReceiver.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: push_test_receiver PORT_FILE SECONDS STATUS[:RETRY_AFTER],...\n");
        return 2;
    }
    std::vector<ScriptedAnswer> script;
    std::stringstream list(argv[3]);
    std::string item;
    while (std::getline(list, item, ',')) {
        size_t colon = item.find(':');
        ScriptedAnswer answer{atoi(item.c_str()), "scripted " + item.substr(0, colon), ""};
        if (colon != std::string::npos) {
            answer.retryAfter = item.substr(colon + 1);
        }
        script.push_back(answer);
    }
    TestReceiver receiver;
    if (receiver.Port() == 0) {
        fprintf(stderr, "push_test_receiver: cannot listen\n");
        return 1;
    }
    receiver.Script(script);
    std::ofstream(argv[1]) << receiver.Port() << "\n";
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(atoi(argv[2]));
    size_t printed = 0;
    while (std::chrono::steady_clock::now() < end) {
        receiver.WaitFor(printed + 1, 1);
        std::vector<ReceivedRequest> requests = receiver.Requests();
        for (; printed < requests.size(); ++printed) {
            const ReceivedRequest& request = requests[printed];
            size_t samples = 0;
            std::string first = "-";
            for (const DecodedSeries& series : request.series) {
                samples += series.samples.size();
                if (first == "-" && series.Label("__name__") == "qel_events_total" &&
                    !series.samples.empty()) {
                    first = std::to_string(series.samples[0].second) + "=" +
                            std::to_string(ValueOf(series.samples[0].first));
                }
            }
            long long ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(request.at - start).count();
            printf("request %zu status %d at %lld samples %zu first %s%s\n", printed + 1,
                   request.answered, ms, samples, first.c_str(),
                   request.decoded ? "" : " (not remote write)");
            fflush(stdout);
        }
    }
    return 0;
}
