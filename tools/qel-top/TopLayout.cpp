#include "TopLayout.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cwchar>

namespace {

// The next code point of `text` from `at`, or -1 for a byte that does not
// start a well-formed sequence (the server sends valid UTF-8; a proxy may
// not).
long NextCodePoint(const std::string& text, size_t& at) {
    unsigned char lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    int more = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (more < 0 || lead > 0xF4 || at + more > text.size()) {
        return -1;
    }
    long point = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        point = (point << 6) | (next & 0x3F);
        ++at;
    }
    return point;
}

bool IsControl(long point) {
    return point < 0x20 || (point >= 0x7F && point < 0xA0) || point == 0x2028 || point == 0x2029;
}

// Marks that reorder what follows them on the line.
bool IsBidiControl(long point) {
    return point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

struct Glyph {
    std::string bytes;
    int columns;
};

std::vector<Glyph> Glyphs(const std::string& text, bool utf8) {
    std::vector<Glyph> glyphs;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = at;
        long point = NextCodePoint(text, at);
        if (point < 0 || IsControl(point) || IsBidiControl(point) || (!utf8 && point >= 0x80)) {
            glyphs.push_back({"?", 1});
            continue;
        }
        int columns = point < 0x80 ? 1 : wcwidth(static_cast<wchar_t>(point));
        if (columns < 0 || (columns == 0 && glyphs.empty())) {
            glyphs.push_back({"?", 1});  // unprintable, or a mark with no base
        } else {
            glyphs.push_back({text.substr(start, at - start), columns});
        }
    }
    return glyphs;
}

int Columns(const std::string& text, bool utf8) {
    int columns = 0;
    for (const Glyph& glyph : Glyphs(text, utf8)) {
        columns += glyph.columns;
    }
    return columns;
}

}  // namespace

std::string TopFit(const std::string& text, int width, bool utf8) {
    std::vector<Glyph> glyphs = Glyphs(text, utf8);
    int total = 0;
    for (const Glyph& glyph : glyphs) {
        total += glyph.columns;
    }
    std::string fitted;
    int used = 0;
    if (width > 0 && total > width) {
        // Room for the mark at the cut; a wide character that straddles it
        // gives way to a space.
        for (const Glyph& glyph : glyphs) {
            if (used + glyph.columns > width - 1) {
                break;
            }
            fitted += glyph.bytes;
            used += glyph.columns;
        }
        fitted += utf8 ? "\u2026" : "~";
        ++used;
    } else {
        for (const Glyph& glyph : glyphs) {
            fitted += glyph.bytes;
        }
        used = total;
    }
    if (width > used) {
        fitted.append(static_cast<size_t>(width - used), ' ');
    }
    return fitted;
}

std::string TopTime(int64_t seconds) {
    if (seconds == 0) {
        return "-";
    }
    time_t when = static_cast<time_t>(seconds);
    struct tm utc;
    // A time the platform's time_t cannot hold, or gmtime cannot render.
    if (static_cast<int64_t>(when) != seconds || gmtime_r(&when, &utc) == nullptr) {
        return "?";
    }
    char text[16];
    snprintf(text, sizeof text, "%02d:%02d:%02d", utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::vector<std::string> TopHeader(const TopStats& stats, const std::string& where, bool stale,
                                   int width, bool utf8) {
    std::string first = where + "  " + (stale ? "STALE: " : "") + "figures of " +
                        TopTime(stats.takenAt) + " UTC  state " + stats.state + "  thread " +
                        (stats.collectionThread ? "running" : "stopped");
    std::string second = "waiting " + std::to_string(stats.waiting);
    if (stats.waitingBound != 0) {
        second += " of " + std::to_string(stats.waitingBound);
    }
    second += "  refused " + std::to_string(stats.refusedNoThread) + " (no thread), " +
              std::to_string(stats.refusedFull) + " (full)  last roll-up ";
    second += stats.lastRollup == 0
                  ? std::string("none yet")
                  : std::to_string(stats.takenAt - stats.lastRollup) + " s before";
    std::vector<std::string> lines = {TopFit(first, width, utf8), TopFit(second, width, utf8)};
    if (stats.push.present) {
        const TopPush& push = stats.push;
        lines.push_back(TopFit(std::string("push ") + (push.failing ? "FAILING" : "sending") +
                                   "  sent " + std::to_string(push.sent) + "  pending " +
                                   std::to_string(push.pending) + "  dropped " +
                                   std::to_string(push.dropped) + "  failed requests " +
                                   std::to_string(push.failed) + "  last success " +
                                   (push.lastSuccess == 0 ? std::string("none yet")
                                                          : TopTime(push.lastSuccess) + " UTC"),
                               width, utf8));
    }
    return lines;
}

namespace {

std::string Count(bool has, uint32_t value) {
    return has ? std::to_string(value) : "-";
}

// Tenths, rounded, without the locale's decimal mark.
std::string Tenths(double value) {
    long long tenths = std::llround(value * 10);
    return std::to_string(tenths / 10) + "." + std::to_string(std::llabs(tenths % 10));
}

struct Column {
    const char* title;
    int width;
    int priority;  // 1 stays longest
    std::string (*cell)(const TopEvent&);
};

const Column kColumns[] = {
    {"MINUTE", 10, 1, [](const TopEvent& e) { return Count(e.counted, e.minute); }},
    {"HOUR", 10, 5, [](const TopEvent& e) { return Count(e.counted, e.hour); }},
    {"DAY", 10, 7, [](const TopEvent& e) { return Count(e.counted, e.day); }},
    {"TOTAL", 10, 6, [](const TopEvent& e) { return Count(e.counted, e.total); }},
    {"PEAK/S", 10, 2, [](const TopEvent& e) { return Count(e.rated, e.peak); }},
    {"PEAK AT", 8, 8,
     [](const TopEvent& e) { return e.rated ? TopTime(e.peakTime) : std::string("-"); }},
    {"HIGH MARK", 10, 4,
     [](const TopEvent& e) {
         return e.mark == TopEvent::WATER_MARK ? std::to_string(std::llround(e.markValue))
                                               : std::string("-");
     }},
    {"LATENCY ms", 11, 3,
     [](const TopEvent& e) {
         return e.mark == TopEvent::LATENCY ? Tenths(e.markValue) : std::string("-");
     }},
    {"MARK AT", 8, 9,
     [](const TopEvent& e) {
         return e.mark != TopEvent::NO_MARK ? TopTime(e.markTime) : std::string("-");
     }},
};
constexpr int kNameMinimum = 16;

std::string RightAligned(const std::string& text, int width) {
    return std::string(static_cast<size_t>(std::max(0, width - static_cast<int>(text.size()))),
                       ' ') +
           text;
}

}  // namespace

std::vector<std::string> TopTable(const std::vector<const TopEvent*>& rows, int width, bool utf8) {
    std::vector<const Column*> shown;
    int nameWidth = 0;
    if (width == 0) {
        for (const Column& column : kColumns) {
            shown.push_back(&column);
        }
        nameWidth = 5;
        for (const TopEvent* row : rows) {
            nameWidth = std::max(nameWidth, Columns(row->name, utf8));
        }
    } else {
        std::vector<const Column*> byPriority;
        for (const Column& column : kColumns) {
            byPriority.push_back(&column);
        }
        std::sort(byPriority.begin(), byPriority.end(),
                  [](const Column* a, const Column* b) { return a->priority < b->priority; });
        int used = std::min(kNameMinimum, width);
        for (const Column* column : byPriority) {
            if (used + 1 + column->width <= width) {
                shown.push_back(column);
                used += 1 + column->width;
            }
        }
        // Back to the table's order, which is that of kColumns.
        std::sort(shown.begin(), shown.end());
        nameWidth = width - (used - std::min(kNameMinimum, width));
    }
    std::string titles = TopFit("EVENT", nameWidth, utf8);
    for (const Column* column : shown) {
        titles += " " + RightAligned(column->title, column->width);
    }
    std::vector<std::string> lines{titles};
    for (const TopEvent* row : rows) {
        std::string line = TopFit(row->name, nameWidth, utf8);
        for (const Column* column : shown) {
            line += " " + RightAligned(column->cell(*row), column->width);
        }
        lines.push_back(line);
    }
    return lines;
}

namespace {

struct Chart {
    const char* title;  // "Last 60 s, a column a second"
    const char* unit;   // "s", "min", "h": the axis and where the largest was
    const std::vector<uint32_t>* values;
};

// The title, `barRows` rows of bars under a scale, and the axis. Values
// that do not fit the width drop out oldest first.
void DrawChart(const Chart& chart, int width, int barRows, bool utf8,
               std::vector<std::string>& lines) {
    const int scaleWidth = 11;  // "4294967295 |"
    std::vector<uint32_t> values = *chart.values;
    size_t room = static_cast<size_t>(std::max(1, width - scaleWidth - 1));
    if (width > 0 && values.size() > room) {
        values.erase(values.begin(), values.end() - static_cast<long>(room));
    }
    uint32_t largest = 0;
    size_t largestAt = 0;
    unsigned long long sum = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        sum += values[i];
        if (values[i] > largest) {
            largest = values[i];
            largestAt = i;
        }
    }
    std::string title = std::string(chart.title) + ": sum " + std::to_string(sum);
    if (largest > 0) {
        title += ", most " + std::to_string(largest) + ", " +
                 std::to_string(values.size() - 1 - largestAt) + " " + chart.unit + " ago";
    }
    lines.push_back(TopFit(title, width, utf8));
    if (values.empty()) {
        lines.push_back(TopFit("(nothing rolled up yet)", width, utf8));
        return;
    }
    for (int row = barRows; row >= 1; --row) {
        std::string scale = row == 1                        ? "0"
                            : row == barRows && largest > 0 ? std::to_string(largest)
                                                            : "";
        std::string line = RightAligned(scale, scaleWidth - 1) + " |";
        for (uint32_t value : values) {
            // A bar's height, rounded up: any occurrence shows.
            unsigned long long height =
                largest == 0
                    ? 0
                    : (static_cast<unsigned long long>(value) * barRows + largest - 1) / largest;
            line += height >= static_cast<unsigned long long>(row) ? '#' : ' ';
        }
        lines.push_back(TopFit(line, width, utf8));
    }
    std::string oldest = "-" + std::to_string(values.size()) + " " + chart.unit;
    std::string axis = std::string(static_cast<size_t>(scaleWidth + 1), ' ') + oldest;
    int gap = static_cast<int>(values.size()) - static_cast<int>(oldest.size()) - 3;
    axis += std::string(static_cast<size_t>(std::max(1, gap)), ' ') + "now";
    lines.push_back(TopFit(axis, width, utf8));
}

}  // namespace

std::vector<std::string> TopHistory(const TopEvent& event, int64_t lastRollup, int width,
                                    int barRows, bool utf8) {
    std::string figures;
    if (event.counted) {
        figures += "minute " + std::to_string(event.minute) + "  hour " +
                   std::to_string(event.hour) + "  day " + std::to_string(event.day) + "  total " +
                   std::to_string(event.total) + "  ";
    }
    if (event.rated) {
        figures +=
            "peak " + std::to_string(event.peak) + "/s at " + TopTime(event.peakTime) + " UTC  ";
    }
    if (event.mark == TopEvent::WATER_MARK) {
        figures += "high mark " + std::to_string(std::llround(event.markValue)) + " at " +
                   TopTime(event.markTime) + " UTC";
    } else if (event.mark == TopEvent::LATENCY) {
        figures += "longest latency " + Tenths(event.markValue) + " ms at " +
                   TopTime(event.markTime) + " UTC";
    }
    std::vector<std::string> lines{TopFit(figures, width, utf8)};
    if (!event.counted) {
        lines.push_back(TopFit("(not counted: no history)", width, utf8));
        return lines;
    }
    std::string newest = "Last 60 s up to " + TopTime(lastRollup) + " UTC, a column a second";
    const Chart charts[] = {{newest.c_str(), "s", &event.seconds},
                            {"Last 60 min, a column a minute", "min", &event.minutes},
                            {"Last 24 h, a column an hour", "h", &event.hours}};
    for (const Chart& chart : charts) {
        DrawChart(chart, width, std::max(1, barRows), utf8, lines);
    }
    return lines;
}
