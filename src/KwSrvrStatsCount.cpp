#include "KwSrvrStatsCount.h"

#include <stddef.h>

#include "dlog.h"

namespace {

const char kFile[] = "KwSrvrStatsCount.cpp";

// Stands in for a counter of an array of dimension 0 (see the header).
KwUlong32& ScratchCounter() {
    thread_local KwUlong32 scratch;
    scratch = 0;
    return scratch;
}

}  // namespace

KwSrvrStatsCount::KwSrvrStatsCount(unsigned int dimension) : m_counts(dimension, 0) {}

KwSrvrStatsCount::KwSrvrStatsCount(const KwSrvrStatsCount& other) : m_counts(other.m_counts) {}

KwSrvrStatsCount::~KwSrvrStatsCount() {}

KwSrvrStatsCount& KwSrvrStatsCount::operator=(const KwSrvrStatsCount& other) {
    if (this != &other) {
        m_counts = other.m_counts;
    }
    return *this;
}

unsigned int KwSrvrStatsCount::Size() const {
    return static_cast<unsigned int>(m_counts.size());
}

void KwSrvrStatsCount::Reset() {
    for (KwUlong32& count : m_counts) {
        count = 0;
    }
}

const KwUlong32& KwSrvrStatsCount::operator[](unsigned int index) const {
    unsigned int size = Size();
    if (index < size) {
        return m_counts[index];
    }
    if (size == 0) {
        __dlog_printf(DLOG_WARNING, kFile,
                      "%s: attempt to ro access an array of size 0, index %d ignored.",
                      "operator[]", static_cast<int>(index));
        return ScratchCounter();
    }
    __dlog_printf(DLOG_WARNING, kFile,
                  "%s: attempt to ro access arrays outside allowed size, %d will be modulated to "
                  "%d.",
                  "operator[]", static_cast<int>(index), static_cast<int>(index % size));
    return m_counts[index % size];
}

KwUlong32& KwSrvrStatsCount::operator[](unsigned int index) {
    unsigned int size = Size();
    if (index < size) {
        return m_counts[index];
    }
    if (size == 0) {
        __dlog_printf(DLOG_WARNING, kFile,
                      "%s: attempt to rw access an array of size 0, index %d ignored.",
                      "operator[]", static_cast<int>(index));
        return ScratchCounter();
    }
    __dlog_printf(DLOG_WARNING, kFile,
                  "%s: attempt to rw access arrays outside allowed size, %d will be modulated to "
                  "%d.",
                  "operator[]", static_cast<int>(index), static_cast<int>(index % size));
    return m_counts[index % size];
}

KwSrvrStatsCount& KwSrvrStatsCount::operator+=(const KwSrvrStatsCount& item) {
    if (Size() > item.Size()) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: attempt to operate on arrays with different dimensions (add Item[%d] "
                      "to this[%d]).",
                      "operator+=", static_cast<int>(item.Size()), static_cast<int>(Size()));
        return *this;
    }
    for (size_t i = 0; i < m_counts.size(); ++i) {
        m_counts[i] = static_cast<KwUlong32>(m_counts[i] + item.m_counts[i]);
    }
    return *this;
}

KwSrvrStatsCount& KwSrvrStatsCount::operator-=(const KwSrvrStatsCount& item) {
    if (Size() > item.Size()) {
        __dlog_printf(DLOG_ERR, kFile,
                      "%s: attempt to operate on arrays with different dimensions.", "operator-=");
        return *this;
    }
    for (size_t i = 0; i < m_counts.size(); ++i) {
        m_counts[i] = static_cast<KwUlong32>(m_counts[i] - item.m_counts[i]);
    }
    return *this;
}
