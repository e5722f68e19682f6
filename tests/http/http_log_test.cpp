// The log under pressure: at most one line a second for each kind of
// trouble, with what was held back told (KwLogThrottle, on a clock the test
// moves); and with the process out of descriptors, a server that cannot
// accept logs a line a second, not thousands.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HttpTestClient.h"
#include "KwLogThrottle.h"
#include "KwStatsHttpServer.h"
#include "LogCapture.h"
#include "TestTime.h"

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

// libmicrohttpd retries accept() in a loop while the process has no
// descriptor left; its message comes out once a second, with the count.
TEST(KwLogThrottleTest, OutOfDescriptorsTheServerLogsALineASecond) {
    LogCapture log;
    std::unique_ptr<KwStatsHttpServer> server = Serve();
    ASSERT_NE(server, nullptr);
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    }
    // Every descriptor below the limit taken.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(0)) >= 0 && filler.size() < 100000;) {
        filler.push_back(fd);
    }
    rlimit limit = before;
    limit.rlim_cur = static_cast<rlim_t>(filler.back() + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    for (int fd : clients) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server->Port()));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(send(fd, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 35, 0), 35);
    }
    const std::string prefix = "KwStatsHttpServer: descriptors exhausted: ";
    const Clock::time_point started = Clock::now();
    EXPECT_TRUE(WaitUntil([&] { return log.CountContaining(" more held back") >= 2; }));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    for (int fd : filler) {
        close(fd);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
    size_t lines = log.CountContaining(prefix);
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, 2 * static_cast<size_t>(seconds + 2));  // two kinds of message at most
    EXPECT_EQ(log.Entries().size(), lines);
    // With descriptors again, the clients are served.
    for (int fd : clients) {
        EXPECT_EQ(Answers(ReadAnswers(fd, 1)).front(), "HTTP/1.1 200 OK|") << fd;
        close(fd);
    }
}
