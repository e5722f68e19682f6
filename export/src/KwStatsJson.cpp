#include "KwStatsJson.h"

#include <nlohmann/json.hpp>
#include <type_traits>

#include "KwUtf8.h"

namespace {

// The document is written as text, member by member. nlohmann-json writes
// each string and floating-point number (escaping, shortest round-trip
// form, whatever the locale); it does not hold the document, because
// destroying a held array or object allocates, and a failed allocation
// there ends the process instead of throwing std::bad_alloc to the caller.
class JsonText {
public:
    JsonText& Open(char bracket) {
        Separate();
        m_text += bracket;
        m_first = true;
        return *this;
    }
    JsonText& Close(char bracket) {
        m_text += bracket;
        m_first = false;
        return *this;
    }
    JsonText& Key(const char* key) {
        Separate();
        m_text += '"';
        m_text += key;  // plain ASCII names only
        m_text += "\":";
        m_first = true;  // the value follows without a comma
        return *this;
    }
    JsonText& String(const std::string& value) {
        Separate();
        m_text += nlohmann::json(KwValidUtf8(value)).dump();
        return *this;
    }
    JsonText& Number(double value) {
        Separate();
        m_text += nlohmann::json(value).dump();
        return *this;
    }
    template <class Whole>
    JsonText& Integer(Whole value) {
        Separate();
        m_text += std::to_string(value);
        return *this;
    }
    JsonText& Bool(bool value) {
        Separate();
        m_text += value ? "true" : "false";
        return *this;
    }
    template <class Whole>
    JsonText& Array(const std::vector<Whole>& values) {
        Open('[');
        for (Whole value : values) {
            this->Integer(value);
        }
        return Close(']');
    }
    // {"value": v, "time": t}
    template <class Value>
    JsonText& Stamped(const char* key, Value value, KwLong32 time) {
        Key(key).Open('{').Key("value");
        if constexpr (std::is_floating_point<Value>::value) {
            Number(static_cast<double>(value));
        } else {
            Integer(static_cast<unsigned long long>(value));
        }
        return Key("time").Integer(time).Close('}');
    }
    std::string Take() { return std::move(m_text); }

private:
    void Separate() {
        if (!m_first) {
            m_text += ',';
        }
        m_first = false;
    }

    std::string m_text;
    bool m_first = true;
};

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

void Event(JsonText& json, const KwStatsEventSnapshot& event) {
    json.Open('{');
    json.Key("id").Integer(event.id).Key("name").String(event.name);
    json.Key("type").String(TypeName(event.type)).Key("flags").Integer(event.flags);
    if (event.counted) {
        json.Key("total").Integer(event.total).Key("minute").Integer(event.minute);
        json.Key("hour").Integer(event.hour).Key("day").Integer(event.day);
        json.Key("history").Open('{');
        json.Key("seconds").Array(event.seconds).Key("minutes").Array(event.minutes);
        json.Key("hours").Array(event.hours).Close('}');
    }
    if (event.rated) {
        json.Stamped("peak_per_second", event.peak, event.peakTime);
    }
    if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
        json.Stamped("water_mark", event.markValue, event.markTime);
    } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
        json.Stamped("latency_max_ms", event.markValue / 10.0, event.markTime);
    }
    json.Close('}');
}

// "push": the remote-write sender's figures, where present.
void Push(JsonText& json, const KwStatsPushFigures& push) {
    json.Key("push").Open('{');
    json.Key("failing").Bool(push.failing).Key("interval_seconds").Number(push.intervalSeconds);
    json.Key("samples_sent").Integer(push.samplesSent);
    json.Key("samples_pending").Integer(push.samplesPending);
    json.Key("samples_dropped").Open('{');
    json.Key("queue_full").Integer(push.droppedQueueFull);
    json.Key("rejected").Integer(push.droppedRejected);
    json.Key("spool_full").Integer(push.droppedSpoolFull);
    json.Key("stopped").Integer(push.droppedAtStop).Close('}');
    json.Key("requests_failed").Open('{');
    for (const auto& code : push.failedRequests) {
        std::string name = std::to_string(code.first);
        json.Key(name.c_str()).Integer(code.second);
    }
    json.Close('}');
    json.Key("last_success").Integer(push.lastSuccessAt);
    json.Key("spool_damaged").Integer(push.spoolDamaged);
    json.Key("spool_bytes").Integer(push.spoolBytes).Close('}');
}

}  // namespace

std::string KwStatsJson(const KwStatsSnapshot& snapshot) {
    JsonText json;
    json.Open('{');
    json.Key("taken_at").Integer(snapshot.takenAt);
    json.Key("state").String(StateName(snapshot.state));
    json.Key("collecting").Bool(snapshot.state == KwStatsStates::ST_COLLECTING);
    json.Key("collection_thread").Bool(snapshot.collectionThread);
    json.Key("waiting_bound").Integer(snapshot.waitingBound);
    json.Key("reports_refused").Open('{');
    json.Key("no_collection_thread").Integer(snapshot.refusedNoThread);
    json.Key("waiting_list_full").Integer(snapshot.refusedFull).Close('}');
    json.Key("reports_waiting").Integer(snapshot.waiting);
    json.Key("last_rollup").Integer(snapshot.lastRollupAt);
    if (snapshot.push.present) {
        Push(json, snapshot.push);
    }
    json.Key("events").Open('[');
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        Event(json, event);
    }
    json.Close(']').Close('}');
    return json.Take();
}
