#include "KwStatsJson.h"

#include <nlohmann/json.hpp>

#include "KwUtf8.h"

namespace {

nlohmann::json Stamped(nlohmann::json value, KwLong32 time) {
    return {{"value", std::move(value)}, {"time", time}};
}

const char* TypeName(int type) {
    switch (type) {
        case STATS_DATA_COUNT:
            return "count";
        case STATS_DATA_WATER_MARK:
            return "water_mark";
        default:
            return "other";
    }
}

const char* StateName(int state) {
    switch (state) {
        case KwStatsStates::ST_INIT:
            return "init";
        case KwStatsStates::ST_COLLECTING:
            return "collecting";
        default:
            return "stopped";
    }
}

}  // namespace

std::string KwStatsJson(const KwStatsSnapshot& snapshot) {
    nlohmann::json events = nlohmann::json::array();
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        nlohmann::json entry = {{"id", event.id},
                                {"name", KwValidUtf8(event.name)},
                                {"type", TypeName(event.type)},
                                {"flags", event.flags}};
        if (event.counted) {
            entry["total"] = event.total;
            entry["minute"] = event.minute;
            entry["hour"] = event.hour;
            entry["day"] = event.day;
            entry["history"] = {
                {"seconds", event.seconds}, {"minutes", event.minutes}, {"hours", event.hours}};
        }
        if (event.rated) {
            entry["peak_per_second"] = Stamped(event.peak, event.peakTime);
        }
        if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
            entry["water_mark"] = Stamped(event.markValue, event.markTime);
        } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
            entry["latency_max_ms"] = Stamped(event.markValue / 10.0, event.markTime);
        }
        events.push_back(std::move(entry));
    }
    nlohmann::json document = {{"taken_at", snapshot.takenAt},
                               {"state", StateName(snapshot.state)},
                               {"collecting", snapshot.state == KwStatsStates::ST_COLLECTING},
                               {"reports_waiting", snapshot.waiting},
                               {"events", std::move(events)}};
    return document.dump();
}
