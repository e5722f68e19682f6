// KwTimeConvert: the host's time-to-text conversion.
//
// Stateless and thread-safe.
#ifndef KW_TIME_CONVERT_H
#define KW_TIME_CONVERT_H

#include <string>

class KwTimeConvert {
public:
    enum KwTimeZones {
        KW_TZ_UTC = 0,   // "YYYY-MM-DD HH:MM:SS", universal time
        KW_TZ_LOCAL = 1  // the same layout in the process's local time zone
    };

    // Text of a wall-clock time given in whole seconds since the epoch.
    // An unknown zone value is treated as UTC.
    static std::string ConvertUtcTicksToStr(KwTimeZones& zone, long utcSeconds);
};

#endif  // KW_TIME_CONVERT_H
