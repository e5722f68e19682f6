// Who has bcrypt's next turn, among the clients (addresses) with a check
// waiting: the one that asks least comes first, and among those that ask
// alike (within a factor of two), the one whose last turn is the oldest,
// one that never had a turn first.
//
// "Asks" counts every request of a client that needs bcrypt, whether it
// gets a turn or is refused at once, decaying by half each second. A flood
// asks thousands of times a second from each of its addresses; a scraper
// asks a few times, so its check goes next, and the right password on a
// freshly started server is checked at its first scrape. Flooding
// addresses get a turn each in rotation.
//
// Memory: at most `clients` clients are remembered; beyond, the one asked
// least lately is forgotten. Not thread-safe: its owner locks.
#ifndef KW_BCRYPT_TURNS_H
#define KW_BCRYPT_TURNS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <utility>

class KwBcryptTurns {
public:
    typedef std::chrono::steady_clock Clock;

    explicit KwBcryptTurns(size_t clients) : m_capacity(clients) {}

    // A request of `client` needs bcrypt.
    void Asked(const std::string& client, Clock::time_point now);
    // `client` has its turn.
    void Took(const std::string& client, Clock::time_point now);
    // A client's place in line: the lower goes first. Its asks' class
    // (alike within a factor of two), then its last turn (never: first).
    typedef std::pair<int, Clock::time_point> Place;
    Place PlaceOf(const std::string& client, Clock::time_point now) const;

private:
    struct Record {
        double asks = 0;
        Clock::time_point asked;     // when `asks` was last brought up to date
        Clock::time_point lastTurn;  // epoch: never
    };

    static double Decayed(const Record& record, Clock::time_point now);
    Record& Find(const std::string& client, Clock::time_point now);

    const size_t m_capacity;
    std::map<std::string, Record> m_clients;
};

#endif  // KW_BCRYPT_TURNS_H
