#include "TopLayout.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <cwchar>

#include "KwTerminalText.h"

namespace {

struct Glyph {
    std::string bytes;
    int columns;
};

std::vector<Glyph> Glyphs(const std::string& text, bool utf8) {
    std::vector<Glyph> glyphs;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = at;
        long point = KwNextCodePoint(text, at);
        if (point < 0 || KwTerminalActsOn(point) || (!utf8 && point >= 0x80)) {
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

// Glyphs [from, to) cut to `width` columns with a mark at the cut, and
// padded to exactly that width; width 0 neither cuts nor pads.
std::string Fit(const std::vector<Glyph>& glyphs, size_t from, size_t to, int width, bool utf8) {
    int total = 0;
    for (size_t i = from; i < to; ++i) {
        total += glyphs[i].columns;
    }
    std::string fitted;
    int used = 0;
    if (width > 0 && total > width) {
        // Room for the mark at the cut; a wide character that straddles it
        // gives way to a space.
        for (size_t i = from; i < to && used + glyphs[i].columns <= width - 1; ++i) {
            fitted += glyphs[i].bytes;
            used += glyphs[i].columns;
        }
        fitted += utf8 ? "\u2026" : "~";
        ++used;
    } else {
        for (size_t i = from; i < to; ++i) {
            fitted += glyphs[i].bytes;
        }
        used = total;
    }
    if (width > used) {
        fitted.append(static_cast<size_t>(width - used), ' ');
    }
    return fitted;
}

}  // namespace

std::string TopFit(const std::string& text, int width, bool utf8) {
    std::vector<Glyph> glyphs = Glyphs(text, utf8);
    return Fit(glyphs, 0, glyphs.size(), width, utf8);
}

std::vector<std::string> TopWrap(const std::string& text, int width, bool utf8, int maxLines) {
    std::vector<Glyph> glyphs = Glyphs(text, utf8);
    if (width <= 0) {
        return {Fit(glyphs, 0, glyphs.size(), 0, utf8)};
    }
    auto space = [&](size_t i) { return glyphs[i].bytes == " "; };
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < glyphs.size() && space(at)) {
        ++at;
    }
    if (at == glyphs.size()) {
        return {Fit(glyphs, at, at, width, utf8)};
    }
    do {
        if (static_cast<int>(lines.size()) + 1 >= maxLines) {
            lines.push_back(Fit(glyphs, at, glyphs.size(), width, utf8));  // the last: cut
            break;
        }
        size_t end = at;
        for (int used = 0; end < glyphs.size() && used + glyphs[end].columns <= width; ++end) {
            used += glyphs[end].columns;
        }
        end = std::max(end, at + 1);  // one too wide for the line: cut to the mark
        // Break after the last space that fits; a word longer than the line
        // breaks where the line ends.
        size_t next = end;
        if (end < glyphs.size() && !space(end)) {
            size_t gap = end;
            while (gap > at && !space(gap - 1)) {
                --gap;
            }
            if (gap > at) {
                end = gap - 1;
                next = gap;
            }
        }
        lines.push_back(Fit(glyphs, at, end, width, utf8));
        for (at = next; at < glyphs.size() && space(at); ++at) {
        }
    } while (at < glyphs.size());
    return lines;
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

std::string TopFigure(double value, int decimals, int width) {
    if (std::isnan(value)) {
        return "?";
    }
    const double scale = decimals > 0 ? 10 : 1;
    // Rounded in units of the last place while a long long holds them
    // exactly; anything larger is too wide for any column.
    if (std::fabs(value) * scale < 9e15) {
        long long units = std::llround(std::fabs(value) * scale);
        std::string text = value < 0 && units != 0 ? "-" : "";
        text += std::to_string(decimals > 0 ? units / 10 : units);
        if (decimals > 0) {
            text += "." + std::to_string(units % 10);
        }
        if (static_cast<int>(text.size()) <= width) {
            return text;
        }
    }
    // The bound it passes, with a digit fewer than would fit: never a
    // figure it does not have.
    bool above = value > 0;
    int digits = width - (above ? 1 : 2) - (decimals > 0 ? 2 : 0);
    std::string bound = above ? ">" : "<-";
    if (digits > 0) {
        bound += std::string(static_cast<size_t>(digits), '9') + (decimals > 0 ? ".9" : "");
    }
    return bound;
}

const std::string& TopEventName(const TopEvent& event) {
    static const std::string kNoName = "(no name)";  // as the status page has it
    return event.name.empty() ? kNoName : event.name;
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
    int64_t age = 0;
    if (stats.lastRollup == 0) {
        second += "none yet";
    } else if (__builtin_sub_overflow(stats.takenAt, stats.lastRollup, &age)) {
        second += "?";  // times no host has
    } else {
        second += std::to_string(age) + " s before";
    }
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

// A count has at most 10 digits: it fits every count column.
std::string Count(bool has, uint32_t value) {
    return has ? std::to_string(value) : "-";
}

struct Column {
    const char* title;
    int width;
    int priority;  // 1 stays longest
    int sortKey;   // the TopSortKey of its figure, or -1
    std::string (*cell)(const TopEvent&, int width);
};

constexpr int Key(TopSortKey key) {
    return static_cast<int>(key);
}

const Column kColumns[] = {
    {"MINUTE", 10, 1, Key(TopSortKey::MINUTE),
     [](const TopEvent& e, int) { return Count(e.counted, e.minute); }},
    {"HOUR", 10, 5, Key(TopSortKey::HOUR),
     [](const TopEvent& e, int) { return Count(e.counted, e.hour); }},
    {"DAY", 10, 7, Key(TopSortKey::DAY),
     [](const TopEvent& e, int) { return Count(e.counted, e.day); }},
    {"TOTAL", 10, 6, Key(TopSortKey::TOTAL),
     [](const TopEvent& e, int) { return Count(e.counted, e.total); }},
    {"PEAK/S", 10, 2, Key(TopSortKey::PEAK),
     [](const TopEvent& e, int) { return Count(e.rated, e.peak); }},
    {"PEAK AT", 8, 8, -1,
     [](const TopEvent& e, int) { return e.rated ? TopTime(e.peakTime) : std::string("-"); }},
    {"HIGH MARK", 10, 4, Key(TopSortKey::MARK),
     [](const TopEvent& e, int width) {
         return e.mark == TopEvent::WATER_MARK ? TopFigure(e.markValue, 0, width)
                                               : std::string("-");
     }},
    {"LATENCY ms", 11, 3, Key(TopSortKey::LATENCY),
     [](const TopEvent& e, int width) {
         return e.mark == TopEvent::LATENCY ? TopFigure(e.markValue, 1, width) : std::string("-");
     }},
    {"MARK AT", 8, 9, -1,
     [](const TopEvent& e, int) {
         return e.mark != TopEvent::NO_MARK ? TopTime(e.markTime) : std::string("-");
     }},
};
constexpr int kNameMinimum = 16;
// What the name keeps for the sorted column on a narrow terminal.
constexpr int kNameSqueezed = 8;
// Wider, a name would push the figures away from it across the screen.
constexpr int kNameMaximum = 40;

// The sorted column's title carries the direction: largest first, names A
// to Z. A terminal that is not UTF-8 gets a star.
std::string Title(const char* title, bool sorted, bool ascending, bool utf8) {
    if (!sorted) {
        return title;
    }
    return std::string(!utf8 ? "*" : ascending ? "\u25B2" : "\u25BC") + title;
}

std::string RightAligned(const std::string& text, int width, bool utf8) {
    return std::string(static_cast<size_t>(std::max(0, width - Columns(text, utf8))), ' ') + text;
}

}  // namespace

std::vector<std::string> TopTable(const std::vector<const TopEvent*>& rows, TopSortKey sort,
                                  int width, bool utf8) {
    std::vector<const Column*> shown;
    std::string nameTitle = Title("EVENT", sort == TopSortKey::NAME, true, utf8);
    int nameWidth = 0, rest = 0;
    if (width == 0) {
        for (const Column& column : kColumns) {
            shown.push_back(&column);
        }
        nameWidth = Columns(nameTitle, utf8);
        for (const TopEvent* row : rows) {
            nameWidth = std::max(nameWidth, Columns(TopEventName(*row), utf8));
        }
    } else {
        // The sorted column first, whatever its priority: the table shows
        // what it is sorted by.
        std::vector<const Column*> byPriority;
        for (const Column& column : kColumns) {
            byPriority.push_back(&column);
        }
        auto rank = [sort](const Column* c) {
            return std::make_pair(c->sortKey != Key(sort), c->priority);
        };
        std::sort(byPriority.begin(), byPriority.end(),
                  [&](const Column* a, const Column* b) { return rank(a) < rank(b); });
        int figures = 0;
        for (const Column* column : byPriority) {
            int name = column->sortKey == Key(sort) ? kNameSqueezed : kNameMinimum;
            if (std::min(name, width) + figures + 1 + column->width <= width) {
                shown.push_back(column);
                figures += 1 + column->width;
            }
        }
        // Back to the table's order, which is that of kColumns.
        std::sort(shown.begin(), shown.end());
        nameWidth = std::min(kNameMaximum, width - figures);
        rest = width - figures - nameWidth;
    }
    std::string titles = TopFit(nameTitle, nameWidth, utf8);
    for (const Column* column : shown) {
        titles +=
            " " + RightAligned(Title(column->title, column->sortKey == Key(sort), false, utf8),
                               column->width, utf8);
    }
    std::vector<std::string> lines{titles};
    for (const TopEvent* row : rows) {
        std::string line = TopFit(TopEventName(*row), nameWidth, utf8);
        for (const Column* column : shown) {
            line += " " + RightAligned(column->cell(*row, column->width), column->width, utf8);
        }
        lines.push_back(line);
    }
    for (std::string& line : lines) {
        line.append(static_cast<size_t>(rest), ' ');
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
        std::string line = RightAligned(scale, scaleWidth - 1, false) + " |";
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
    // Marks in up to 20 characters, as a column would show them.
    const int kMarkWidth = 20;
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
        figures += "high mark " + TopFigure(event.markValue, 0, kMarkWidth) + " at " +
                   TopTime(event.markTime) + " UTC";
    } else if (event.mark == TopEvent::LATENCY) {
        figures += "longest latency " + TopFigure(event.markValue, 1, kMarkWidth) + " ms at " +
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
