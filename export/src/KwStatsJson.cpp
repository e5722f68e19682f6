#include "KwStatsJson.h"

#include <nlohmann/json.hpp>

#include "KwSrvrStatsCollector.h"

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

}  // namespace

std::string KwStatsJson(const KwStatsSnapshot& snapshot, bool collecting) {
    nlohmann::json events = nlohmann::json::array();
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        nlohmann::json entry = {{"id", event.id},
                                {"name", event.name},
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
                               {"collecting", collecting},
                               {"reports_waiting", snapshot.waiting},
                               {"events", std::move(events)}};
    // Event names are the host's bytes: anything that is not UTF-8 is
    // replaced rather than thrown over.
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
