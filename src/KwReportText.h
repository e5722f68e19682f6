// The statistics report's three lines, built record by record, and the
// report of a snapshot (KwStatsReportText, declared in KwStatsSnapshot.h),
// which is what the collector's GetStatsReport() returns: so both produce
// the same text.
#ifndef KW_REPORT_TEXT_H
#define KW_REPORT_TEXT_H

#include <string>

#include "KwDiagTypes.h"

// "<value>, <time text>" for a value, "0,-" for 0.
std::string KwValueWithStampText(KwUlong32 value, KwLong32 timeTicks);

class KwReportText {
public:
    KwReportText();

    void AddCounts(const char* name, KwUlong32 minute, KwUlong32 hour, KwUlong32 day,
                   KwUlong32 total);
    void AddRate(const char* name, const std::string& valueWithStamp) {
        AddValue(m_rates, name, valueWithStamp);
    }
    void AddWaterMark(const char* name, const std::string& valueWithStamp) {
        AddValue(m_marks, name, valueWithStamp);
    }
    // `tenths` of a millisecond, shown as whole milliseconds.
    void AddLatency(const char* name, KwUlong32 tenths, KwLong32 timeTicks);

    // The three lines, each without its last character, joined by "\n".
    std::string Assemble();

private:
    void AddValue(std::string& line, const char* name, const std::string& valueWithStamp);

    std::string m_counts;
    std::string m_rates;
    std::string m_marks;
    // snprintf cuts a record at 511 characters; what it reports as the full
    // length is not used.
    char m_record[512];
};

#endif  // KW_REPORT_TEXT_H
