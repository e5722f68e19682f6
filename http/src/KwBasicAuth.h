// Basic auth against bcrypt hashes, for the status server.
//
// bcrypt is slow on purpose (tens of milliseconds on a PC at cost 10, far
// more on a board), so a flood of wrong passwords must neither take the CPU
// nor lock the right password out:
//  - credentials that passed once are remembered (a SHA-256 of them and of
//    the hash, not the password): a scrape that repeats them never waits
//    for bcrypt;
//  - any other check waits for its turn on the one thread that runs
//    bcrypt, its connection suspended meanwhile (no event loop waits). Each
//    client (address) has at most one check waiting: other credentials from
//    it are refused at once, the same ones wait for the same check (a
//    scraper that asks again before its first answer). The next turn is
//    shared fairly between clients (KwBcryptTurns.h): the one that asks
//    least goes first, those that ask alike take turns;
//  - bcrypt takes at most a quarter of one core: after each run the thread
//    rests three times the processor time the run took. A share, not a
//    rate: it is the same on every board, and a run slowed by a busy
//    processor does not make the rest longer.
//
// Thread safety: every call may come from any thread.
#ifndef KW_BASIC_AUTH_H
#define KW_BASIC_AUTH_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KwBcryptTurns.h"
#include "KwStdMutex.h"

class KwBasicAuth {
public:
    typedef std::chrono::steady_clock Clock;

    // The share of one core that bcrypt may take, in percent.
    static constexpr int kBcryptSharePercent = 25;
    // Checks waiting at most (one per client), requests sharing one, and
    // clients remembered for their turns.
    static constexpr size_t kWaiting = 64;
    static constexpr size_t kSharing = 64;
    static constexpr size_t kClients = 1024;
    // Remembered credentials; the set starts afresh when full.
    static constexpr size_t kRemembered = 256;

    // Starts the bcrypt thread.
    KwBasicAuth();
    // Stop(), then frees it all.
    ~KwBasicAuth();
    // Joins the bcrypt thread and answers every waiting check with false;
    // from then on Check() answers false at once.
    void Stop() KW_EXCLUDES(m_lock);

    KwBasicAuth(const KwBasicAuth&) = delete;
    KwBasicAuth& operator=(const KwBasicAuth&) = delete;

    // Whether these credentials passed against `hash` before.
    bool Remembered(const std::string& user, const std::string& password, const std::string& hash)
        KW_EXCLUDES(m_lock);

    // Queues a bcrypt check of `password` against `hash` (null: an unknown
    // user, who costs what a known one does and never passes) for
    // `client`, calls `queued()` and returns true; `done(granted)` is then
    // called once, from the bcrypt thread or, while stopping, from this
    // one. Returns false without calling either when `client` has a check
    // of other credentials waiting, or kWaiting checks wait, or kSharing
    // requests wait for the same check already.
    bool Check(const std::string& client, const std::string& user, const std::string& password,
               const std::string* hash, const std::function<void()>& queued,
               std::function<void(bool)> done) KW_EXCLUDES(m_lock);

    // bcrypt runs so far (for tests and figures).
    unsigned long BcryptRuns() const { return m_runs.load(); }

private:
    struct Job {
        std::string client, user, password, hash;
        bool known = false;                           // a user of that name exists
        std::vector<std::function<void(bool)>> done;  // of each request that waits for it
    };

    void Run() KW_EXCLUDES(m_lock);
    // Takes the job whose client has the next turn.
    Job TakeNext() KW_REQUIRES(m_lock);
    void Remember(const std::string& digest) KW_EXCLUDES(m_lock);
    bool Bcrypt(const std::string& password, const std::string& hash);
    static void Answer(Job& job, bool granted);

    std::atomic<unsigned long> m_runs{0};
    KwStdMutex m_lock;
    std::condition_variable_any m_changed;
    bool m_stopping KW_GUARDED_BY(m_lock) = false;
    std::list<Job> m_jobs KW_GUARDED_BY(m_lock);
    std::map<std::string, Job*> m_waitingClients KW_GUARDED_BY(m_lock);
    KwBcryptTurns m_turns KW_GUARDED_BY(m_lock){kClients};
    std::set<std::string> m_remembered KW_GUARDED_BY(m_lock);
    std::thread m_thread;  // last: starts once the rest is ready
};

#endif  // KW_BASIC_AUTH_H
