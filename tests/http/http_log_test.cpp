// The log under pressure: at most one line a second for each kind of
// trouble, with what was held back told (KwLogThrottle, on a clock the test
// moves).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KwLogThrottle.h"
#include "LogCapture.h"

namespace {

typedef KwLogThrottle::Clock Clock;

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

Clock::time_point At(double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

const char kRefused[] = "connections refused";
const char kSlow[] = "slow connections closed";

std::vector<std::string> Lines(const LogCapture& log) {
    std::vector<std::string> lines;
    for (const LogEntry& entry : log.Entries()) {
        lines.push_back(std::to_string(entry.level) + " " + entry.file + " " + entry.text);
    }
    return lines;
}

}  // namespace

TEST(KwLogThrottleTest, OneLineASecondForEachKindWithWhatWasHeldBack) {
    LogCapture log;
    KwLogThrottle throttle("f.cpp");
    const struct {
        double at;
        const char* kind;  // null: Flush()
        const char* text;
    } steps[] = {
        {0.0, kRefused, "a"}, {0.1, kRefused, "b"}, {0.2, kSlow, "c"},    {0.9, kRefused, "d"},
        {1.0, kRefused, "e"}, {1.5, nullptr, ""},   {1.9, kRefused, "f"}, {2.0, nullptr, ""},
        {2.1, kRefused, "g"}, {2.2, kSlow, "h"},    {2.3, kSlow, "i"},    {3.3, nullptr, ""},
        {3.3, nullptr, ""},
    };
    for (const auto& step : steps) {
        if (step.kind == nullptr) {
            throttle.Flush(At(step.at));
        } else {
            throttle.Log(step.kind, step.kind, step.kind == kSlow ? 6 : 4, step.text, At(step.at));
        }
    }
    EXPECT_EQ(Lines(log),
              (std::vector<std::string>{
                  "4 f.cpp KwStatsHttpServer: connections refused: a",
                  "6 f.cpp KwStatsHttpServer: slow connections closed: c",
                  "4 f.cpp KwStatsHttpServer: connections refused: e (2 more held back)",
                  "4 f.cpp KwStatsHttpServer: connections refused: 1 more held back",
                  "6 f.cpp KwStatsHttpServer: slow connections closed: h",
                  "4 f.cpp KwStatsHttpServer: connections refused: 1 more held back",
                  "6 f.cpp KwStatsHttpServer: slow connections closed: 1 more held back",
              }));
}
