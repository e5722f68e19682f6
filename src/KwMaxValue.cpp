#include "KwMaxValue.h"

#include <time.h>

#include "KwReportText.h"

KwMaxValue::KwMaxValue() {
    Reset();
}

KwMaxValue::~KwMaxValue() {}

void KwMaxValue::Reset() {
    m_timeTicks = 0;
    m_value = 0;
}

bool KwMaxValue::UpdateIfLarger(KwUlong32 value) {
    if (m_value >= value) {
        return false;
    }
    m_value = value;
    timespec now;
    // Should the wall clock be unreadable, the stamp is the epoch itself:
    // the report then shows 1970-01-01, which no real peak can carry.
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        now.tv_sec = 0;
    }
    m_timeTicks = static_cast<KwLong32>(now.tv_sec);
    return true;
}

KwUlong32 KwMaxValue::GetValue() const {
    return m_value;
}

KwLong32 KwMaxValue::GetTimeTicks() const {
    return m_timeTicks;
}

std::string KwMaxValue::GetValueWithStamp() const {
    return KwValueWithStampText(m_value, m_timeTicks);
}
