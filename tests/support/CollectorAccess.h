// Reaches the collector's private members from tests and benchmarks, with no
// hook of any kind in the shipped header or library.
//
// An explicit instantiation may name private members (access checking does
// not apply to the names it uses), and the friend function that the
// instantiated template defines hands the member pointer out. So the tests
// run against the very library a host loads.
#ifndef QEL_TEST_COLLECTOR_ACCESS_H
#define QEL_TEST_COLLECTOR_ACCESS_H

#include <type_traits>

#include "KwSrvrStatsCollector.h"

namespace collector_access {

template <class Tag, auto Member>
struct Expose {
    friend auto Get(Tag) { return Member; }
};

// QEL_EXPOSE(tag, member): Get(tag()) returns &KwSrvrStatsCollector::member.
#define QEL_EXPOSE(tag, member) \
    struct tag {                \
        friend auto Get(tag);   \
    };                          \
    template struct Expose<tag, &KwSrvrStatsCollector::member>

QEL_EXPOSE(State, m_state);
QEL_EXPOSE(TimerExpired, s_statsTimerExpired);
QEL_EXPOSE(TimerId, m_timerId);
QEL_EXPOSE(QueueLock, m_queueLock);
QEL_EXPOSE(WaitingList, m_waitingList);
QEL_EXPOSE(Queue, m_queue);
QEL_EXPOSE(Counters, m_counters);
QEL_EXPOSE(DataLock, m_dataLock);
QEL_EXPOSE(Events, m_events);
QEL_EXPOSE(NumCountSlots, m_numCountSlots);
QEL_EXPOSE(NumRateSlots, m_numRateSlots);
QEL_EXPOSE(NumWaterMarkSlots, m_numWaterMarkSlots);
QEL_EXPOSE(SecondsInMinute, m_secondsInMinute);
QEL_EXPOSE(MinutesInHour, m_minutesInHour);
QEL_EXPOSE(MaxRates, m_maxRates);
QEL_EXPOSE(WaterMarks, m_waterMarks);
QEL_EXPOSE(CurrentCounts, m_currentCounts);
QEL_EXPOSE(LastRollupCounts, m_lastRollupCounts);
QEL_EXPOSE(MinuteRing, m_minuteRing);
QEL_EXPOSE(HourRing, m_hourRing);
QEL_EXPOSE(DayRing, m_dayRing);
QEL_EXPOSE(Process, Process);
QEL_EXPOSE(RollUp, RollUp);

#undef QEL_EXPOSE

// The member `tag` names, on collector `c`.
template <class Tag>
auto& Member(const KwSrvrStatsCollector& c) {
    return const_cast<KwSrvrStatsCollector&>(c).*Get(Tag());
}

// The queued report's type, read off Process()'s first parameter.
template <class R, class K, class A, class... Rest>
A FirstParameter(R (K::*)(A, Rest...));
typedef std::remove_const_t<std::remove_reference_t<decltype(FirstParameter(Get(Process())))>>
    Message;

}  // namespace collector_access

#endif  // QEL_TEST_COLLECTOR_ACCESS_H
