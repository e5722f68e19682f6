#include "KwConnectionSlots.h"

#include <sys/socket.h>

#include <exception>

namespace {

// Whether a whole message the client sent waits unread: a request head, or
// for TLS a whole record (a ClientHello, or a Finished with the request).
// Half of one, which is all a holder sends, does not count.
bool WholeMessageUnread(int fd, bool tls) {
    thread_local char buffer[8192];
    ssize_t size = recv(fd, buffer, sizeof buffer, MSG_PEEK | MSG_DONTWAIT);
    if (size <= 0) {
        return false;
    }
    size_t length = static_cast<size_t>(size);
    if (tls) {
        return length >= 5 && 5 + (static_cast<size_t>(static_cast<unsigned char>(buffer[3])) << 8 |
                                   static_cast<unsigned char>(buffer[4])) <=
                                  length;
    }
    for (size_t i = 0; i + 1 < length; ++i) {
        if (buffer[i] == '\n' &&
            (buffer[i + 1] == '\n' ||
             (buffer[i + 1] == '\r' && i + 2 < length && buffer[i + 2] == '\n'))) {
            return true;
        }
    }
    return false;
}

}  // namespace

constexpr std::chrono::seconds KwConnectionSlots::kSuspectFor;
constexpr std::chrono::seconds KwConnectionSlots::kHeldIdle;

uint64_t KwConnectionSlots::Admit(const std::string& address, Clock::time_point now,
                                  std::vector<Event>& events) {
    KwStdGuard guard(m_lock);
    auto known = m_addresses.find(address);
    size_t fromAddress = known != m_addresses.end() ? known->second.open : 0;
    bool addressFull = fromAddress >= m_limits.perAddress;
    if (addressFull || m_slots.size() >= m_limits.connections) {
        uint64_t victim = 0;
        bool suspect = false;
        if (addressFull) {
            victim = Oldest(known->second.waiting, false, now);  // its own, whatever it is
        } else if (!(suspect = IsSuspect(address, now))) {
            victim = Oldest(m_waiting, true, now);
            if (victim == 0) {
                victim = Oldest(m_waiting, false, now);
            }
        }
        if (victim == 0) {
            events.push_back(Event{Event::REFUSED, address, addressFull, false, suspect});
            return 0;
        }
        const Slot& slot = m_slots.at(victim);
        events.push_back(Event{Event::GAVE_WAY, slot.address, addressFull, false, false});
        Release(victim, true, now);
    }
    uint64_t id = m_nextId++;
    Slot& slot = m_slots[id];
    slot.address = address;
    slot.opened = slot.since = now;
    Address& source = m_addresses[address];
    ++source.open;
    source.waiting.insert(Key(now, id));
    m_waiting.insert(Key(now, id));
    return id;
}

void KwConnectionSlots::Opened(uint64_t id, int fd) {
    KwStdGuard guard(m_lock);
    auto found = m_slots.find(id);
    if (found != m_slots.end()) {
        found->second.fd = fd;
    }
}

void KwConnectionSlots::HeadArrived(uint64_t id, Clock::time_point now) {
    KwStdGuard guard(m_lock);
    auto found = m_slots.find(id);
    if (found == m_slots.end() || found->second.busy) {
        return;
    }
    Slot& slot = found->second;
    m_waiting.erase(Key(slot.since, id));
    m_addresses[slot.address].waiting.erase(Key(slot.since, id));
    slot.busy = true;
    slot.since = now;
    m_busy.insert(Key(now, id));
}

void KwConnectionSlots::AnswerSent(uint64_t id, Clock::time_point now) {
    KwStdGuard guard(m_lock);
    auto found = m_slots.find(id);
    if (found == m_slots.end() || !found->second.busy) {
        return;
    }
    Slot& slot = found->second;
    m_busy.erase(Key(slot.since, id));
    slot.busy = false;
    slot.answered = true;
    slot.since = now;
    m_waiting.insert(Key(now, id));
    m_addresses[slot.address].waiting.insert(Key(now, id));
}

void KwConnectionSlots::Closed(uint64_t id, Clock::time_point now) {
    KwStdGuard guard(m_lock);
    if (m_slots.count(id) != 0) {
        Release(id, false, now);
    }
}

KwConnectionSlots::Clock::time_point KwConnectionSlots::Sweep(Clock::time_point now,
                                                              std::vector<Event>& events) {
    KwStdGuard guard(m_lock);
    for (std::set<Key>* phase : {&m_waiting, &m_busy}) {
        while (!phase->empty() && phase->begin()->first + m_limits.requestTimeout <= now) {
            uint64_t id = phase->begin()->second;
            const Slot& slot = m_slots.at(id);
            if (slot.fd >= 0) {
                events.push_back(Event{Event::TIMED_OUT, slot.address, false, slot.busy, false});
            }
            Release(id, true, now);
        }
    }
    for (auto suspect = m_suspects.begin(); suspect != m_suspects.end();) {
        suspect = suspect->second <= now ? m_suspects.erase(suspect) : std::next(suspect);
    }
    Clock::time_point next = now + m_limits.requestTimeout;
    for (const std::set<Key>* phase : {&m_waiting, &m_busy}) {
        if (!phase->empty() && phase->begin()->first + m_limits.requestTimeout < next) {
            next = phase->begin()->first + m_limits.requestTimeout;
        }
    }
    return next;
}

uint64_t KwConnectionSlots::Oldest(const std::set<Key>& waiting, bool suspectOnly,
                                   Clock::time_point now) const {
    for (const Key& key : waiting) {
        const Slot& slot = m_slots.at(key.second);
        // An answered connection (kept alive) has had its turn: what it
        // sent since does not hold its place.
        if (slot.fd >= 0 && (!suspectOnly || IsSuspect(slot.address, now)) &&
            (slot.answered || !WholeMessageUnread(slot.fd, m_limits.tls))) {
            return key.second;
        }
    }
    return 0;
}

bool KwConnectionSlots::IsSuspect(const std::string& address, Clock::time_point now) const {
    auto found = m_suspects.find(address);
    return found != m_suspects.end() && found->second > now;
}

void KwConnectionSlots::MarkSuspect(const std::string& address, Clock::time_point now) {
    if (m_suspects.size() >= kSuspects && m_suspects.count(address) == 0) {
        auto soonest = m_suspects.begin();
        for (auto entry = m_suspects.begin(); entry != m_suspects.end(); ++entry) {
            if (entry->second < soonest->second) {
                soonest = entry;
            }
        }
        m_suspects.erase(soonest);
    }
    m_suspects[address] = now + kSuspectFor;
}

void KwConnectionSlots::Release(uint64_t id, bool shutDown, Clock::time_point now) {
    auto found = m_slots.find(id);
    Slot& slot = found->second;
    Key key(slot.since, id);
    (slot.busy ? m_busy : m_waiting).erase(key);
    auto from = m_addresses.find(slot.address);
    from->second.waiting.erase(key);
    if (--from->second.open == 0) {
        m_addresses.erase(from);
    }
    // Never answered, and either pushed out or held for a while: a holder.
    if (slot.fd >= 0 && !slot.answered && !slot.busy &&
        (shutDown || now - slot.opened >= kHeldIdle)) {
        try {
            MarkSuspect(slot.address, now);
        } catch (const std::exception&) {  // out of memory: it goes unmarked
        }
    }
    if (shutDown && slot.fd >= 0) {
        shutdown(slot.fd, SHUT_RDWR);  // the server's loop sees the end and closes it
    }
    m_slots.erase(found);
}
