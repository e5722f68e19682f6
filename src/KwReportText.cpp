#include "KwReportText.h"

#include <stdio.h>

#include "KwStatsSnapshot.h"
#include "KwTimeConvert.h"

namespace {

std::string TimeText(KwLong32 timeTicks) {
    KwTimeConvert::KwTimeZones zone = static_cast<KwTimeConvert::KwTimeZones>(0);
    return KwTimeConvert::ConvertUtcTicksToStr(zone, timeTicks);
}

}  // namespace

std::string KwValueWithStampText(KwUlong32 value, KwLong32 timeTicks) {
    if (value == 0) {
        return "0,-";
    }
    std::string when = TimeText(timeTicks);
    char text[512];
    snprintf(text, sizeof text, "%lu, %s", static_cast<unsigned long>(value), when.c_str());
    return text;
}

KwReportText::KwReportText()
    : m_counts("Statistics Event Counts: min, hour, day, total;"),
      m_rates("Maximum Events Per Second: cnts, stamp;"),
      m_marks("High-Water-Mark Values: value, stamp;") {}

void KwReportText::AddCounts(const char* name, KwUlong32 minute, KwUlong32 hour, KwUlong32 day,
                             KwUlong32 total) {
    snprintf(m_record, sizeof m_record, "%s: %lu, %lu, %lu, %lu%s", name,
             static_cast<unsigned long>(minute), static_cast<unsigned long>(hour),
             static_cast<unsigned long>(day), static_cast<unsigned long>(total), ";");
    m_counts += m_record;
}

void KwReportText::AddValue(std::string& line, const char* name,
                            const std::string& valueWithStamp) {
    snprintf(m_record, sizeof m_record, "%s: %s%s", name, valueWithStamp.c_str(), ";");
    line += m_record;
}

void KwReportText::AddLatency(const char* name, KwUlong32 tenths, KwLong32 timeTicks) {
    if (tenths == 0) {
        snprintf(m_record, sizeof m_record, "%s Latency (ms): 0.0, -%s", name, ";");
    } else {
        // Whole milliseconds: the tenths are dropped before the conversion
        // to float, and "%.1f" of such a float is its integer value and
        // ".0". Written as an integer, the text is the same under every
        // locale: "%.1f" would give "79,0" under a German one, and the comma
        // is the record's own separator.
        float millis = static_cast<float>(tenths / 10u);
        std::string when = TimeText(timeTicks);
        snprintf(m_record, sizeof m_record, "%s Latency (ms): %llu.0,%s%s", name,
                 static_cast<unsigned long long>(millis), when.c_str(), ";");
    }
    m_marks += m_record;
}

std::string KwReportText::Assemble() {
    m_counts.pop_back();
    m_rates.pop_back();
    m_marks.pop_back();
    return m_counts + "\n" + m_rates + "\n" + m_marks;
}

std::string KwStatsReportText(const KwStatsSnapshot& snapshot) {
    if (snapshot.state != KwStatsStates::ST_COLLECTING) {
        return std::string();
    }
    KwReportText text;
    for (const KwStatsEventSnapshot& event : snapshot.events) {
        const char* name = event.name.c_str();
        if (event.counted) {
            text.AddCounts(name, event.minute, event.hour, event.day, event.total);
        }
        if (event.rated) {
            text.AddRate(name, KwValueWithStampText(event.peak, event.peakTime));
        }
        if (event.mark == KwStatsEventSnapshot::WATER_MARK) {
            text.AddWaterMark(name, KwValueWithStampText(event.markValue, event.markTime));
        } else if (event.mark == KwStatsEventSnapshot::LATENCY) {
            text.AddLatency(name, event.markValue, event.markTime);
        }
    }
    return text.Assemble();
}
