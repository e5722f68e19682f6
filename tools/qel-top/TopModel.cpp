#include "TopModel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

// Each reader throws Refused with the member's name when it is missing or
// of another kind: the whole answer is then refused, never shown in part.
struct Refused {
    std::string what;
};

const json& Member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) {
        throw Refused{std::string("no \"") + key + "\""};
    }
    return *it;
}

template <class Whole>
Whole Integer(const json& object, const char* key) {
    const json& value = Member(object, key);
    if (!value.is_number_integer()) {
        throw Refused{std::string("\"") + key + "\" is not a whole number"};
    }
    // Read as the widest kind of its sign, then range-checked.
    if (value.is_number_unsigned()) {
        auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<Whole>::max())) {
            throw Refused{std::string("\"") + key + "\" is out of range"};
        }
        return static_cast<Whole>(number);
    }
    auto number = value.get<int64_t>();
    if (number < static_cast<int64_t>(std::numeric_limits<Whole>::min())) {
        throw Refused{std::string("\"") + key + "\" is out of range"};
    }
    return static_cast<Whole>(number);
}

std::vector<uint32_t> Counts(const json& history, const char* key) {
    const json& values = Member(history, key);
    if (!values.is_array()) {
        throw Refused{std::string("\"") + key + "\" is not an array"};
    }
    std::vector<uint32_t> counts;
    for (const json& value : values) {
        if (!value.is_number_unsigned() || value.get<uint64_t>() > UINT32_MAX) {
            throw Refused{std::string("\"") + key + "\" holds something not a count"};
        }
        counts.push_back(value.get<uint32_t>());
    }
    return counts;
}

TopEvent Event(const json& item) {
    if (!item.is_object()) {
        throw Refused{"an event is not an object"};
    }
    TopEvent event;
    event.id = Integer<int>(item, "id");
    const json& name = Member(item, "name");
    if (!name.is_string()) {
        throw Refused{"an event's \"name\" is not a string"};
    }
    event.name = name.get<std::string>();
    if (item.contains("total")) {
        event.counted = true;
        event.total = Integer<uint32_t>(item, "total");
        event.minute = Integer<uint32_t>(item, "minute");
        event.hour = Integer<uint32_t>(item, "hour");
        event.day = Integer<uint32_t>(item, "day");
        const json& history = Member(item, "history");
        if (!history.is_object()) {
            throw Refused{"\"history\" is not an object"};
        }
        event.seconds = Counts(history, "seconds");
        event.minutes = Counts(history, "minutes");
        event.hours = Counts(history, "hours");
    }
    if (item.contains("peak_per_second")) {
        const json& peak = Member(item, "peak_per_second");
        event.rated = true;
        event.peak = Integer<uint32_t>(peak, "value");
        event.peakTime = Integer<int64_t>(peak, "time");
    }
    for (const char* key : {"water_mark", "latency_max_ms"}) {
        if (item.contains(key)) {
            const json& mark = Member(item, key);
            const json& value = Member(mark, "value");
            if (!value.is_number()) {
                throw Refused{std::string("\"") + key + "\" has no number"};
            }
            event.mark = key[0] == 'w' ? TopEvent::WATER_MARK : TopEvent::LATENCY;
            event.markValue = value.get<double>();
            event.markTime = Integer<int64_t>(mark, "time");
        }
    }
    return event;
}

// The sum of an object's whole numbers ("samples_dropped", "requests_failed").
uint64_t Sum(const json& object, const char* key) {
    const json& member = Member(object, key);
    if (!member.is_object()) {
        throw Refused{std::string("\"") + key + "\" is not an object"};
    }
    uint64_t sum = 0;
    for (auto item = member.begin(); item != member.end(); ++item) {
        sum += Integer<uint64_t>(member, item.key().c_str());
    }
    return sum;
}

TopPush Push(const json& push) {
    TopPush figures;
    figures.present = true;
    const json& failing = Member(push, "failing");
    figures.failing = failing.is_boolean() && failing.get<bool>();
    figures.sent = Integer<uint64_t>(push, "samples_sent");
    figures.pending = Integer<uint64_t>(push, "samples_pending");
    figures.dropped = Sum(push, "samples_dropped");
    figures.failed = Sum(push, "requests_failed");
    figures.lastSuccess = Integer<int64_t>(push, "last_success");
    return figures;
}

}  // namespace

bool ParseTopStats(const std::string& text, TopStats& stats, std::string& error) {
    json document = json::parse(text, nullptr, false);
    if (document.is_discarded()) {
        error = "it is not JSON";
        return false;
    }
    try {
        if (!document.is_object()) {
            throw Refused{"it is not a JSON object"};
        }
        stats = TopStats();
        stats.takenAt = Integer<int64_t>(document, "taken_at");
        const json& state = Member(document, "state");
        if (!state.is_string()) {
            throw Refused{"\"state\" is not a string"};
        }
        stats.state = state.get<std::string>();
        const json& thread = Member(document, "collection_thread");
        if (!thread.is_boolean()) {
            throw Refused{"\"collection_thread\" is not true or false"};
        }
        stats.collectionThread = thread.get<bool>();
        stats.waitingBound = Integer<uint64_t>(document, "waiting_bound");
        stats.waiting = Integer<uint64_t>(document, "reports_waiting");
        const json& refused = Member(document, "reports_refused");
        stats.refusedNoThread = Integer<uint64_t>(refused, "no_collection_thread");
        stats.refusedFull = Integer<uint64_t>(refused, "waiting_list_full");
        stats.lastRollup = Integer<int64_t>(document, "last_rollup");
        const json& events = Member(document, "events");
        if (!events.is_array()) {
            throw Refused{"\"events\" is not an array"};
        }
        for (const json& item : events) {
            stats.events.push_back(Event(item));
        }
        if (document.contains("push")) {
            stats.push = Push(document["push"]);
        }
    } catch (const Refused& refused) {
        error = refused.what;
        return false;
    } catch (const json::exception& e) {  // a member of an array, say
        error = e.what();
        return false;
    }
    return true;
}

const char* TopSortName(TopSortKey key) {
    static const char* const kNames[kTopSortKeys] = {"minute", "hour", "day",     "total",
                                                     "peak",   "mark", "latency", "name"};
    return kNames[static_cast<int>(key)];
}

namespace {

// Where a row sorts by one key: first the events with a figure, largest
// first; then those whose figure is not a number (a hostile server's); then
// those without it. A strict order for any double, as std::stable_sort needs.
struct SortPlace {
    int rank;  // 0 a figure, 1 not a number, 2 none
    double value;
};

SortPlace Place(const TopEvent& event, TopSortKey key) {
    bool has = false;
    double value = 0;
    switch (key) {
        case TopSortKey::MINUTE:
            has = event.counted;
            value = event.minute;
            break;
        case TopSortKey::HOUR:
            has = event.counted;
            value = event.hour;
            break;
        case TopSortKey::DAY:
            has = event.counted;
            value = event.day;
            break;
        case TopSortKey::TOTAL:
            has = event.counted;
            value = event.total;
            break;
        case TopSortKey::PEAK:
            has = event.rated;
            value = event.peak;
            break;
        case TopSortKey::MARK:
        case TopSortKey::LATENCY:
            has =
                event.mark == (key == TopSortKey::MARK ? TopEvent::WATER_MARK : TopEvent::LATENCY);
            value = event.markValue;
            break;
        case TopSortKey::NAME:
            break;
    }
    if (!has) {
        return {2, 0};
    }
    return std::isnan(value) ? SortPlace{1, 0} : SortPlace{0, value};
}

bool Holds(const std::string& name, const std::string& filter) {
    if (filter.empty()) {
        return true;  // the empty name too
    }
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto equal = [&](char a, char b) { return lower(a) == lower(b); };
    return std::search(name.begin(), name.end(), filter.begin(), filter.end(), equal) != name.end();
}

}  // namespace

std::vector<const TopEvent*> TopRows(const TopStats& stats, TopSortKey key,
                                     const std::string& filter) {
    std::vector<const TopEvent*> rows;
    for (const TopEvent& event : stats.events) {
        if (Holds(event.name, filter)) {
            rows.push_back(&event);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [key](const TopEvent* a, const TopEvent* b) {
        if (key != TopSortKey::NAME) {
            SortPlace pa = Place(*a, key), pb = Place(*b, key);
            if (pa.rank != pb.rank) {
                return pa.rank < pb.rank;
            }
            if (pa.value != pb.value) {
                return pa.value > pb.value;
            }
        }
        if (a->name != b->name) {
            return a->name < b->name;
        }
        return a->id < b->id;
    });
    return rows;
}
