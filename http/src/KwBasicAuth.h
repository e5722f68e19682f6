// Basic auth against bcrypt hashes, for the status server's threads.
//
// bcrypt is slow on purpose (tens of milliseconds on a PC at cost 10, far
// more on a board), so:
//  - credentials that passed once are remembered (a SHA-256 of them, not
//    the password), and a scrape that repeats them costs no bcrypt;
//  - bcrypt runs on one thread at a time, and only a few times a second
//    for credentials not remembered: beyond that, they are refused at once.
//    A flood of wrong passwords thus costs one thread a bounded share of
//    the CPU, and the other thread keeps answering remembered clients.
#ifndef KW_BASIC_AUTH_H
#define KW_BASIC_AUTH_H

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "KwStdMutex.h"

class KwBasicAuth {
public:
    typedef std::chrono::steady_clock Clock;

    // bcrypt checks allowed in each second beyond the remembered ones.
    static constexpr int kChecksPerSecond = 4;
    // Remembered credentials; the set starts afresh when full.
    static constexpr size_t kRemembered = 256;

    explicit KwBasicAuth(std::vector<std::pair<std::string, std::string>> users);

    // Whether `user` and `password` match. Thread-safe.
    bool Check(const std::string& user, const std::string& password) KW_EXCLUDES(m_lock);

    // bcrypt runs so far (for tests and figures).
    unsigned long BcryptRuns() const { return m_runs.load(); }

private:
    bool Bcrypt(const std::string& password, const std::string& hash);
    bool Remembered(const std::string& digest) KW_EXCLUDES(m_lock);
    bool TakeCheck() KW_EXCLUDES(m_lock);

    const std::vector<std::pair<std::string, std::string>> m_users;
    std::atomic<bool> m_checking{false};  // a bcrypt run in progress
    std::atomic<unsigned long> m_runs{0};
    KwStdMutex m_lock;
    std::set<std::string> m_remembered KW_GUARDED_BY(m_lock);
    Clock::time_point m_second KW_GUARDED_BY(m_lock);
    int m_checksThisSecond KW_GUARDED_BY(m_lock) = 0;
};

#endif  // KW_BASIC_AUTH_H
