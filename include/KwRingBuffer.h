// KwRingBuffer<T>: a fixed-depth ring that keeps the most recent pushes in
// order of age.
//
// A push into a full ring replaces the oldest element when the ring was built
// to overwrite, and is refused (level-4 log line, result false) otherwise.
// Every slot always holds a constructed element; slots not held are never
// read. T needs a constructor from unsigned int, copy construction, copy
// assignment and operator+= (for GetSum).
//
// A ring of depth 0 has no slot: every push is refused as into a full ring
// and GetSum() leaves its argument alone.
//
// Ownership: owns its elements; pushes store copies. Thread safety: none;
// the owner serialises access.
#ifndef KW_RING_BUFFER_H
#define KW_RING_BUFFER_H

#include <vector>

#include "dlog.h"

template <class T>
class KwRingBuffer {
public:
    // `depth` slots, each a copy of T(dimension).
    KwRingBuffer(unsigned int depth, unsigned int dimension, bool overwrite)
        : m_buffer(depth, T(dimension)), m_overwrite(overwrite), m_head(0), m_tail(0), m_count(0) {}

    ~KwRingBuffer() {}

    // Appends a copy of `item` as the newest element; false when refused.
    bool PushHead(T& item) {
        unsigned int depth = Capacity();
        if ((!m_overwrite || depth == 0) && m_count >= depth) {
            __dlog_printf(DLOG_WARNING, "KwRingBuffer.h", "%s: buffer full, data not saved.",
                          "PushHead");
            return false;
        }
        m_buffer[m_head] = item;
        m_head = (m_head + 1) % depth;
        if (m_count >= depth) {
            m_tail = (m_tail + 1) % depth;
        } else {
            ++m_count;
        }
        return true;
    }

    // Assigns the oldest element to `result` and adds the others to it,
    // oldest first; leaves `result` unchanged when the ring is empty.
    void GetSum(T& result) const {
        if (m_count == 0) {
            return;
        }
        unsigned int depth = Capacity();
        result = m_buffer[m_tail];
        for (unsigned int p = 1; p < m_count; ++p) {
            result += m_buffer[(m_tail + p) % depth];
        }
    }

    // Empties the ring; elements stay in their slots until overwritten.
    void Reset() {
        m_count = 0;
        m_head = 0;
        m_tail = 0;
    }

    unsigned int Capacity() const { return static_cast<unsigned int>(m_buffer.size()); }
    unsigned int Count() const { return m_count; }
    // Slot of the oldest held element.
    unsigned int Tail() const { return m_tail; }
    // Slot that the next push writes.
    unsigned int Head() const { return m_head; }
    // Element at `position` (0 = oldest); `position` must be below Count().
    const T& At(unsigned int position) const { return m_buffer[(m_tail + position) % Capacity()]; }
    // The element pushed last, to amend in place; null when empty.
    T* Newest() {
        return m_count == 0 ? nullptr : &m_buffer[(m_head + Capacity() - 1) % Capacity()];
    }

private:
    std::vector<T> m_buffer;
    bool m_overwrite;
    unsigned int m_head;
    unsigned int m_tail;
    unsigned int m_count;
};

#endif  // KW_RING_BUFFER_H
