// The status server's connection places, and who gives one up.
//
// A slow client must not keep a place from a prompt one, whatever the mix of
// addresses. So:
//  - a connection has `requestTimeout` for each request head (a TLS
//    handshake included), from when it opens or its last answer went out,
//    and again from a whole head until its answer has gone out: past that,
//    it is shut down, however steadily it trickles;
//  - when the address of a new connection is at its limit, the connection of
//    that address that has waited longest for a head gives way to the new
//    one: a prompt client sends its head at once and stops waiting, a slow
//    one waits longest;
//  - when the server is at its limit, the connection that has waited
//    longest for a head gives way likewise, one of a suspect address first.
//    An address is suspect for a minute after one of its connections, which
//    never had a request answered, gave way, ran out of time, or closed
//    after a second or more: its new connections take free places only,
//    and take none from others. Without that, each connection that gave way
//    would come back at once and push out another, round and round, faster
//    than a prompt client completes a TLS handshake;
//  - a new connection with a whole message the server has not read yet (a
//    request head, or a whole TLS record) does not give way: the server,
//    not the client, is behind. (One kept alive after an answer has had its
//    turn: it gives way like any.) Nor does one busy with a request. When
//    none can give way, the new connection is refused.
// Connections that give way leave the counts at once; their descriptors are
// shut down here (SHUT_RDWR) and closed by the server's loop, so memory
// stays bounded by the limit and the few on their way out.
//
// Descriptors: one is shut down only while registered, under the lock, and
// the server calls Closed() before it closes one (libmicrohttpd notifies
// the close before it closes the socket), so a descriptor that has been
// closed, and maybe reused, is never touched.
//
// Thread safety: every call may come from any thread.
#ifndef KW_CONNECTION_SLOTS_H
#define KW_CONNECTION_SLOTS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KwStdMutex.h"

class KwConnectionSlots {
public:
    typedef std::chrono::steady_clock Clock;

    struct Limits {
        size_t connections = 64;  // open at once
        size_t perAddress = 16;   // from one address
        Clock::duration requestTimeout = std::chrono::seconds(10);
        bool tls = false;  // what the connections speak, for what they sent unread
    };

    // What Admit() and Sweep() did, for the log.
    struct Event {
        enum Kind { GAVE_WAY, TIMED_OUT, REFUSED } kind;
        std::string address;  // of the connection closed or refused
        bool atAddressLimit;  // REFUSED or GAVE_WAY: the address's limit, not the server's
        bool busy;            // TIMED_OUT with a head, before its answer went out
        bool suspect;         // REFUSED: the address is suspect (none was busy)
    };

    // How long an address stays suspect (a minute: longer than a holder's
    // loop of coming back, short for an address that a good client shares
    // with a holder), and how many are remembered (the one whose minute
    // ends first is forgotten first).
    static constexpr std::chrono::seconds kSuspectFor{60};
    static constexpr size_t kSuspects = 1024;
    // A connection open this long without a request, when it closes, makes
    // its address suspect: an idle holder closed by the idle timeout.
    static constexpr std::chrono::seconds kHeldIdle{1};

    explicit KwConnectionSlots(const Limits& limits) : m_limits(limits) {}

    // A connection from `address` is about to open: returns the id of the
    // place it takes (making another give way when needed), or 0 when it is
    // refused. Adds what it did to `events`.
    uint64_t Admit(const std::string& address, Clock::time_point now, std::vector<Event>& events)
        KW_EXCLUDES(m_lock);
    // The admitted connection `id` opened with `fd`.
    void Opened(uint64_t id, int fd) KW_EXCLUDES(m_lock);
    // Its whole request head arrived: it is busy until AnswerSent().
    void HeadArrived(uint64_t id, Clock::time_point now) KW_EXCLUDES(m_lock);
    // Its answer went out: it waits for its next head.
    void AnswerSent(uint64_t id, Clock::time_point now) KW_EXCLUDES(m_lock);
    // It is about to close (or never opened): its place is free.
    void Closed(uint64_t id, Clock::time_point now) KW_EXCLUDES(m_lock);
    // Shuts down the connections past their deadline, adding them to
    // `events`; returns when the next deadline falls (now + the timeout
    // when none is open). An admitted connection that never opened is
    // forgotten at its deadline.
    Clock::time_point Sweep(Clock::time_point now, std::vector<Event>& events) KW_EXCLUDES(m_lock);

private:
    typedef std::pair<Clock::time_point, uint64_t> Key;  // since, id: oldest first
    struct Slot {
        std::string address;
        int fd = -1;  // -1: admitted, not opened yet
        bool busy = false;
        bool answered = false;  // a request of it was answered
        Clock::time_point opened, since;
    };
    struct Address {
        size_t open = 0;
        std::set<Key> waiting;
    };

    // The oldest waiting connection of `waiting` that may give way (of a
    // suspect address, when `suspectOnly`): 0 if none.
    uint64_t Oldest(const std::set<Key>& waiting, bool suspectOnly, Clock::time_point now) const
        KW_REQUIRES(m_lock);
    bool IsSuspect(const std::string& address, Clock::time_point now) const KW_REQUIRES(m_lock);
    void MarkSuspect(const std::string& address, Clock::time_point now) KW_REQUIRES(m_lock);
    // Takes `id` out of the counts, and shuts its descriptor down when
    // `shutDown`; an address that lost a connection without a request
    // becomes suspect.
    void Release(uint64_t id, bool shutDown, Clock::time_point now) KW_REQUIRES(m_lock);

    const Limits m_limits;
    mutable KwStdMutex m_lock;
    uint64_t m_nextId KW_GUARDED_BY(m_lock) = 1;
    std::unordered_map<uint64_t, Slot> m_slots KW_GUARDED_BY(m_lock);  // holding a place
    std::map<std::string, Address> m_addresses KW_GUARDED_BY(m_lock);
    std::set<Key> m_waiting KW_GUARDED_BY(m_lock);
    std::set<Key> m_busy KW_GUARDED_BY(m_lock);
    std::map<std::string, Clock::time_point> m_suspects KW_GUARDED_BY(m_lock);  // until when
};

#endif  // KW_CONNECTION_SLOTS_H
