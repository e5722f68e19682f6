#include "KwStatsSnapshot.h"

#include "KwReportText.h"
#include "KwSrvrStatsCollector.h"

bool KwTakeStatsSnapshot(KwStatsSnapshot& out) {
    return KwSrvrStatsCollector::GetInstance().GetStatsSnapshot(out);
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
