// KwMaxValue: the largest value seen, with the wall-clock second it was stored.
//
// The value 0 can never be stored, so a value of 0 means "nothing stored
// since construction or the last Reset()".
//
// Ownership: owns nothing. Thread safety: none; the owner serialises access.
// Refusals: UpdateIfLarger() returns false for a value not strictly larger
// than the one held; it logs nothing.
#ifndef KW_MAX_VALUE_H
#define KW_MAX_VALUE_H

#include <string>

#include "KwDiagTypes.h"

class KW_DIAG_EXPORT KwMaxValue {
public:
    KwMaxValue();
    virtual ~KwMaxValue();

    // Back to empty: value and time 0.
    void Reset();

    // Stores `value` with the current CLOCK_REALTIME second if it is larger
    // than the value held; returns whether it did.
    bool UpdateIfLarger(KwUlong32 value);

    KwUlong32 GetValue() const;
    // Seconds since the epoch (UTC) of the last store, 0 when empty.
    KwLong32 GetTimeTicks() const;

    // "<value>, <time text>" for a held value, "0,-" when empty.
    std::string GetValueWithStamp() const;

private:
    KwLong32 m_timeTicks;
    KwUlong32 m_value;
};

#endif  // KW_MAX_VALUE_H
