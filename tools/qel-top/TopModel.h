// qel-top's model: the status server's /stats.json read into plain values,
// and the rows the view shows (filtered and sorted). No terminal here.
#ifndef QEL_TOP_MODEL_H
#define QEL_TOP_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

struct TopEvent {
    enum Mark { NO_MARK, WATER_MARK, LATENCY };

    int id = 0;
    std::string name;  // valid UTF-8 (the server guarantees it), any code points
    bool counted = false;
    uint32_t minute = 0, hour = 0, day = 0, total = 0;
    std::vector<uint32_t> seconds, minutes, hours;  // oldest first
    bool rated = false;
    uint32_t peak = 0;
    int64_t peakTime = 0;
    Mark mark = NO_MARK;
    double markValue = 0;  // the water mark, or the latency in ms
    int64_t markTime = 0;
};

// A remote-write sender's figures, where the host pushes ("push").
struct TopPush {
    bool present = false;
    bool failing = false;
    uint64_t sent = 0;
    uint64_t pending = 0;
    uint64_t dropped = 0;  // for any reason
    uint64_t failed = 0;   // requests, for any status
    int64_t lastSuccess = 0;
};

struct TopStats {
    int64_t takenAt = 0;
    std::string state;  // "init", "collecting", "stopped"
    bool collectionThread = false;
    uint64_t waitingBound = 0;
    uint64_t waiting = 0;
    uint64_t refusedNoThread = 0;
    uint64_t refusedFull = 0;
    int64_t lastRollup = 0;
    std::vector<TopEvent> events;
    TopPush push;
};

// Reads the status server's JSON. Returns false, with what is wrong in
// `error`, for text that is not that document (HTML, another JSON, a cut
// answer); `stats` is then unspecified.
bool ParseTopStats(const std::string& text, TopStats& stats, std::string& error);

enum class TopSortKey { MINUTE, HOUR, DAY, TOTAL, PEAK, MARK, LATENCY, NAME };
constexpr int kTopSortKeys = 8;
const char* TopSortName(TopSortKey key);

// The events to show: those whose name holds `filter` (ASCII letters in
// either case), sorted by `key`, largest first (names A to Z), then those
// whose figure is not a number, then those without it; ties by name and then
// id. Pointers into `stats`.
std::vector<const TopEvent*> TopRows(const TopStats& stats, TopSortKey key,
                                     const std::string& filter);

#endif  // QEL_TOP_MODEL_H
