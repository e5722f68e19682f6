#include "KwStatsCounterTable.h"

#include "KwSrvrStatsCount.h"

KwStatsCounterTable::KwStatsCounterTable() : m_cells(), m_slots() {}

KwStatsCounterTable::~KwStatsCounterTable() {
    for (KwStatsCounterCells* cells : m_cells) {
        delete cells;
    }
}

KwStatsCounterCells* KwStatsCounterTable::CellsOf(int eventId, unsigned int countSlot, bool open,
                                                  std::unique_ptr<KwStatsCounterCells>& made) {
    KwStatsCounterCells*& cells = m_cells[eventId];
    if (cells == nullptr) {
        cells = made.release();
        cells->open.store(open);
        m_slots[eventId] = countSlot;
    }
    return cells;
}

void KwStatsCounterTable::Gather(size_t events, KwSrvrStatsCount& counts) {
    for (size_t id = 0; id < events; ++id) {
        if (m_cells[id] != nullptr) {
            counts[m_slots[id]] += m_cells[id]->Drain();
        }
    }
}

void KwStatsCounterTable::Open(bool open) {
    for (KwStatsCounterCells* cells : m_cells) {
        if (cells != nullptr) {
            cells->open.store(open);
        }
    }
}

KwUlong32 KwStatsCounterTable::Refused() const {
    KwUlong32 refused = 0;
    for (const KwStatsCounterCells* cells : m_cells) {
        if (cells != nullptr) {
            refused += cells->refused.load(std::memory_order_relaxed);
        }
    }
    return refused;
}
