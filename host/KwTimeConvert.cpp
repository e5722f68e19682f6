#include "KwTimeConvert.h"

#include <stdio.h>
#include <time.h>

std::string KwTimeConvert::ConvertUtcTicksToStr(KwTimeZones& zone, long utcSeconds) {
    time_t seconds = static_cast<time_t>(utcSeconds);
    tm parts{};
    bool converted = zone == KW_TZ_LOCAL ? localtime_r(&seconds, &parts) != nullptr
                                         : gmtime_r(&seconds, &parts) != nullptr;
    if (!converted) {
        return "(invalid time)";
    }
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900,
             parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}
