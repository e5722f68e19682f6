// The server's connection places (KwConnectionSlots) on socket pairs and a
// clock the test moves: who gives way, who is refused, deadlines, suspect
// addresses, and that a descriptor closed is never touched again.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "KwConnectionSlots.h"

namespace {

typedef KwConnectionSlots::Clock Clock;
typedef KwConnectionSlots::Event Event;

// A connection: the server's end is registered, the client's end tells
// whether the server shut it down.
struct Peer {
    int server = -1, client = -1;
    Peer() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            server = fds[0];
            client = fds[1];
        }
    }
    ~Peer() {
        close(server);
        close(client);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    bool ShutDown() const {
        char byte;
        return recv(client, &byte, 1, MSG_DONTWAIT) == 0;
    }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(send(client, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
};

// "gave way 10.0.0.1 address busy suspect", as each event has them.
std::vector<std::string> Texts(const std::vector<Event>& events) {
    static const char* const kKinds[] = {"gave way", "timed out", "refused"};
    std::vector<std::string> texts;
    for (const Event& event : events) {
        texts.push_back(std::string(kKinds[event.kind]) + " " + event.address +
                        (event.atAddressLimit ? " address" : "") + (event.busy ? " busy" : "") +
                        (event.suspect ? " suspect" : ""));
    }
    return texts;
}

KwConnectionSlots::Limits Limits(size_t connections, size_t perAddress, bool tls = false) {
    KwConnectionSlots::Limits limits;
    limits.connections = connections;
    limits.perAddress = perAddress;
    limits.requestTimeout = std::chrono::seconds(10);
    limits.tls = tls;
    return limits;
}

const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);

Clock::time_point At(double seconds) {
    return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Admits a connection of `peer` from `address` at `seconds`.
uint64_t Open(KwConnectionSlots& slots, const std::string& address, const Peer& peer,
              double seconds, std::vector<Event>& events) {
    uint64_t id = slots.Admit(address, At(seconds), events);
    if (id != 0) {
        slots.Opened(id, peer.server);
    }
    return id;
}

}  // namespace

TEST(KwConnectionSlotsTest, AnAddressAtItsLimitGivesWayOldestFirstAndItsBusyOnesNever) {
    KwConnectionSlots slots(Limits(10, 2));
    Peer a, b, c, d, other;
    std::vector<Event> events;
    uint64_t first = Open(slots, "10.0.0.1", a, 0, events);
    uint64_t second = Open(slots, "10.0.0.1", b, 1, events);
    EXPECT_TRUE(events.empty());
    uint64_t third = Open(slots, "10.0.0.1", c, 2, events);
    EXPECT_NE(third, 0u);
    EXPECT_EQ(Texts(events), std::vector<std::string>{"gave way 10.0.0.1 address"});
    EXPECT_TRUE(a.ShutDown());
    EXPECT_FALSE(b.ShutDown());
    // Both busy with a request: a fourth is refused, another address not.
    slots.HeadArrived(second, At(3));
    slots.HeadArrived(third, At(3));
    events.clear();
    EXPECT_EQ(Open(slots, "10.0.0.1", d, 4, events), 0u);
    EXPECT_EQ(Texts(events), std::vector<std::string>{"refused 10.0.0.1 address"});
    EXPECT_NE(Open(slots, "10.0.0.2", other, 4, events), 0u);
    // Its answer sent, a connection waits again, from then.
    slots.AnswerSent(second, At(5));
    events.clear();
    EXPECT_NE(Open(slots, "10.0.0.1", d, 6, events), 0u);
    EXPECT_EQ(Texts(events), std::vector<std::string>{"gave way 10.0.0.1 address"});
    EXPECT_TRUE(b.ShutDown());
    // Closing one that gave way already changes nothing: the address is
    // still at its limit, and the next one makes another give way.
    slots.Closed(first, At(7));
    Peer e;
    events.clear();
    EXPECT_NE(Open(slots, "10.0.0.1", e, 8, events), 0u);
    EXPECT_EQ(Texts(events), std::vector<std::string>{"gave way 10.0.0.1 address"});
    EXPECT_TRUE(d.ShutDown());
}

TEST(KwConnectionSlotsTest, AtTheServersLimitSuspectAddressesGiveWayFirstAndTakeNoPlace) {
    KwConnectionSlots slots(Limits(3, 3));
    Peer held, x, y, z, n, m, later, again, back;
    std::vector<Event> events;
    // 10.0.0.9 held a connection for a second without a request: suspect.
    uint64_t holder = Open(slots, "10.0.0.9", held, 0, events);
    slots.Closed(holder, At(1));
    // A suspect address takes a free place; at the limit it gives way
    // first, though not the oldest.
    uint64_t answered = Open(slots, "10.0.0.1", y, 2, events);
    slots.HeadArrived(answered, At(2));
    slots.AnswerSent(answered, At(2));
    Open(slots, "10.0.0.2", z, 3, events);
    Open(slots, "10.0.0.9", x, 4, events);
    EXPECT_TRUE(events.empty());
    EXPECT_NE(Open(slots, "10.0.0.3", n, 5, events), 0u);
    EXPECT_TRUE(x.ShutDown());
    // The suspect address is refused; the oldest of the rest gives way to
    // a good one. It had an answer: its address stays in good standing, and
    // pushes the oldest out in turn.
    EXPECT_EQ(Open(slots, "10.0.0.9", later, 6, events), 0u);
    EXPECT_NE(Open(slots, "10.0.0.4", m, 7, events), 0u);
    EXPECT_TRUE(y.ShutDown());
    EXPECT_FALSE(z.ShutDown());
    EXPECT_NE(Open(slots, "10.0.0.1", again, 8, events), 0u);
    EXPECT_TRUE(z.ShutDown());
    // A minute after its last loss, an address is in good standing again.
    EXPECT_EQ(Open(slots, "10.0.0.9", back, 64.9, events), 0u);
    EXPECT_NE(Open(slots, "10.0.0.9", back, 65, events), 0u);
    EXPECT_EQ(Texts(events),
              (std::vector<std::string>{"gave way 10.0.0.9", "refused 10.0.0.9 suspect",
                                        "gave way 10.0.0.1", "gave way 10.0.0.2",
                                        "refused 10.0.0.9 suspect", "gave way 10.0.0.3"}));
}

TEST(KwConnectionSlotsTest, AWholeMessageUnreadHoldsANewConnectionsPlace) {
    const struct {
        bool tls;
        std::string sent;
        bool answered;
        bool givesWay;
    } rows[] = {
        {false, "", false, true},
        {false, "GET / HTTP/1.1\r\nHo", false, true},
        {false, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, false},
        {false, "GET / HTTP/1.1\nHost: x\n\n", false, false},
        {false, "GET / HTTP/1.1\n\r", false, true},
        {false, "GET / HTTP/1.1\n\rX", false, true},
        {false, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true, true},  // kept alive: had its turn
        {true, std::string("\x16\x03\x01\x00\x05", 5) + "1234", false, true},
        {true, std::string("\x16\x03\x01\x00\x05", 5) + "12345", false, false},
        {true, "\x16\x03", false, true},
    };
    for (const auto& row : rows) {
        KwConnectionSlots slots(Limits(1, 1, row.tls));
        Peer first, second;
        std::vector<Event> events;
        uint64_t id = Open(slots, "10.0.0.1", first, 0, events);
        if (row.answered) {
            slots.HeadArrived(id, At(0));
            slots.AnswerSent(id, At(0));
        }
        first.Send(row.sent);
        EXPECT_EQ(Open(slots, "10.0.0.1", second, 1, events) != 0, row.givesWay) << row.sent;
        EXPECT_EQ(first.ShutDown(), row.givesWay) << row.sent;
    }
}

TEST(KwConnectionSlotsTest, AHeadAndAnAnswerEachHaveTheirDeadline) {
    KwConnectionSlots slots(Limits(10, 10));
    Peer slowHead, slowReader;
    std::vector<Event> events;
    Open(slots, "10.0.0.1", slowHead, 0, events);
    uint64_t reader = Open(slots, "10.0.0.2", slowReader, 3, events);
    slots.HeadArrived(reader, At(4));
    slots.Admit("10.0.0.3", At(5), events);  // admitted, never opened
    // Told twice, or out of turn, or of none: nothing moves.
    slots.HeadArrived(reader, At(6));
    slots.AnswerSent(slots.Admit("10.0.0.4", At(5), events), At(7));
    slots.Opened(12345, slowReader.server);
    slots.HeadArrived(12345, At(7));
    slots.AnswerSent(12345, At(7));
    EXPECT_EQ(slots.Sweep(At(9), events), At(10));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(slots.Sweep(At(10), events), At(14));
    EXPECT_TRUE(slowHead.ShutDown());
    EXPECT_FALSE(slowReader.ShutDown());
    EXPECT_EQ(slots.Sweep(At(14), events), At(15));
    EXPECT_TRUE(slowReader.ShutDown());
    EXPECT_EQ(slots.Sweep(At(15), events), At(25));  // none left: a timeout on
    EXPECT_EQ(Texts(events),
              (std::vector<std::string>{"timed out 10.0.0.1", "timed out 10.0.0.2 busy"}));
}

TEST(KwConnectionSlotsTest, ADescriptorClosedIsNeverTouchedAgain) {
    KwConnectionSlots slots(Limits(1, 1));
    std::vector<Event> events;
    int reused = -1;
    {
        Peer gone;
        uint64_t id = Open(slots, "10.0.0.1", gone, 0, events);
        slots.Closed(id, At(0.5));  // the server's loop closes it next
        reused = gone.server;
    }
    Peer next;  // the lowest descriptor free: the one just closed
    ASSERT_EQ(next.server, reused);
    EXPECT_EQ(slots.Sweep(At(100), events), At(110));
    Peer newcomer;
    EXPECT_NE(Open(slots, "10.0.0.2", newcomer, 101, events), 0u);
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(next.ShutDown());
}

// Suspects are remembered up to a bound: past it, the one whose minute ends
// first is forgotten, and its address is in good standing again.
TEST(KwConnectionSlotsTest, TheSuspectWhoseMinuteEndsFirstIsForgottenFirst) {
    KwConnectionSlots slots(Limits(2, 2));
    Peer held, good, other, later, last, forgotten;
    std::vector<Event> events;
    auto address = [](size_t n) {
        return "10.1." + std::to_string(n / 256) + "." + std::to_string(n % 256);
    };
    for (size_t n = 0; n <= KwConnectionSlots::kSuspects; ++n) {
        uint64_t id = Open(slots, address(n), held, 0, events);
        ASSERT_NE(id, 0u) << n;
        // Held a second or more: suspect, the later ones for less long.
        slots.Closed(id, At(1 + 0.001 * static_cast<double>(KwConnectionSlots::kSuspects - n)));
    }
    EXPECT_TRUE(events.empty());
    Open(slots, "10.0.0.1", good, 3, events);
    Open(slots, "10.0.0.2", other, 4, events);
    EXPECT_EQ(Open(slots, address(0), later, 5, events), 0u);
    EXPECT_EQ(Open(slots, address(KwConnectionSlots::kSuspects), last, 6, events), 0u);
    EXPECT_NE(Open(slots, address(KwConnectionSlots::kSuspects - 1), forgotten, 7, events), 0u);
    EXPECT_TRUE(good.ShutDown());
    EXPECT_EQ(Texts(events),
              (std::vector<std::string>{"refused 10.1.0.0 suspect", "refused 10.1.4.0 suspect",
                                        "gave way 10.0.0.1"}));
}
