#include "KwBasicAuth.h"

#include <crypt.h>
#include <gnutls/crypto.h>
#include <pthread.h>
#include <time.h>

#include <exception>
#include <memory>
#include <utility>

namespace {

// A well-formed hash that no password matches: unknown users cost what
// known ones do, so their names cannot be told apart by the time taken.
const char kNoUser[] = "$2b$10$0000000000000000000000000000000000000000000000000000.";

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return differ == 0;
}

std::string Digest(const std::string& user, const std::string& password, const std::string& hash) {
    std::string text = user + '\0' + password + '\0' + hash;
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest) != 0) {
        return std::string();
    }
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

}  // namespace

KwBasicAuth::KwBasicAuth() : m_thread([this] { Run(); }) {
    pthread_setname_np(m_thread.native_handle(), "qel-http-bcrypt");
}

KwBasicAuth::~KwBasicAuth() {
    Stop();
}

void KwBasicAuth::Stop() {
    std::list<Job> unanswered;
    {
        KwStdGuard guard(m_lock);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    {
        KwStdGuard guard(m_lock);
        unanswered.swap(m_jobs);
        m_waitingClients.clear();
    }
    for (Job& job : unanswered) {
        Answer(job, false);
    }
}

bool KwBasicAuth::Remembered(const std::string& user, const std::string& password,
                             const std::string& hash) {
    std::string digest = Digest(user, password, hash);
    KwStdGuard guard(m_lock);
    bool found = false;
    for (const std::string& known : m_remembered) {
        found = SameText(known, digest) || found;  // every entry, whatever matches
    }
    return found && !digest.empty();
}

bool KwBasicAuth::Check(const std::string& client, const std::string& user,
                        const std::string& password, const std::string* hash,
                        const std::function<void()>& queued, std::function<void(bool)> done) {
    const std::string& against = hash != nullptr ? *hash : kNoUser;
    {
        KwStdGuard guard(m_lock);
        if (!m_stopping) {
            m_turns.Asked(client, Clock::now());
            auto waiting = m_waitingClients.find(client);
            if (waiting != m_waitingClients.end()) {
                Job& job = *waiting->second;
                if (job.user != user || job.password != password || job.hash != against ||
                    job.done.size() >= kSharing) {
                    return false;
                }
                job.done.push_back(std::move(done));  // may throw: then nothing changed
                queued();
                return true;
            }
            if (m_jobs.size() >= kWaiting) {
                return false;
            }
            Job job;
            job.client = client;
            job.user = user;
            job.password = password;
            job.hash = against;
            job.known = hash != nullptr;
            job.done.push_back(std::move(done));
            m_jobs.push_back(std::move(job));  // may throw: then nothing changed
            try {
                m_waitingClients[client] = &m_jobs.back();
            } catch (...) {
                m_jobs.pop_back();
                throw;
            }
            queued();  // while the lock keeps the job from the thread
            m_changed.notify_all();
            return true;
        }
    }
    queued();
    done(false);
    return true;
}

void KwBasicAuth::Run() {
    for (;;) {
        Job job;
        {
            KwStdGuard guard(m_lock);
            while (!m_stopping && m_jobs.empty()) {
                m_changed.wait(m_lock);
            }
            if (m_stopping) {
                return;
            }
            job = TakeNext();
        }
        timespec started{}, ended{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &started);
        bool granted = false;
        try {
            // A request that came while the same credentials were checked
            // finds them remembered by now.
            granted = job.known && Remembered(job.user, job.password, job.hash);
            if (!granted && Bcrypt(job.password, job.hash) && job.known) {
                granted = true;
                Remember(Digest(job.user, job.password, job.hash));
            }
        } catch (const std::exception&) {  // out of memory: the check fails, nothing else
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ended);
        Answer(job, granted);  // its waiting connections go on
        // bcrypt's share of the core: rest (100 - share) / share times the
        // processor time of the run.
        std::chrono::nanoseconds took((ended.tv_sec - started.tv_sec) * 1000000000LL +
                                      (ended.tv_nsec - started.tv_nsec));
        Clock::time_point rested =
            Clock::now() + took * (100 - kBcryptSharePercent) / kBcryptSharePercent;
        KwStdGuard guard(m_lock);
        while (!m_stopping && Clock::now() < rested) {
            m_changed.wait_until(m_lock, rested);
        }
        if (m_stopping) {
            return;
        }
    }
}

KwBasicAuth::Job KwBasicAuth::TakeNext() {
    Clock::time_point now = Clock::now();
    auto next = m_jobs.begin();
    KwBcryptTurns::Place best = m_turns.PlaceOf(next->client, now);
    for (auto job = std::next(m_jobs.begin()); job != m_jobs.end(); ++job) {
        KwBcryptTurns::Place place = m_turns.PlaceOf(job->client, now);
        if (place < best) {  // on a tie, the job that came first
            best = place;
            next = job;
        }
    }
    Job job = std::move(*next);
    m_waitingClients.erase(job.client);
    m_jobs.erase(next);
    try {
        m_turns.Took(job.client, now);
    } catch (const std::exception&) {  // out of memory: no turn noted
    }
    return job;
}

void KwBasicAuth::Answer(Job& job, bool granted) {
    for (auto& done : job.done) {
        done(granted);
    }
}

void KwBasicAuth::Remember(const std::string& digest) {
    if (digest.empty()) {
        return;
    }
    KwStdGuard guard(m_lock);
    if (m_remembered.size() >= kRemembered) {
        m_remembered.clear();
    }
    m_remembered.insert(digest);
}

bool KwBasicAuth::Bcrypt(const std::string& password, const std::string& hash) {
    ++m_runs;
    std::unique_ptr<crypt_data> data(new crypt_data());
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    return result != nullptr && result[0] != '*' && SameText(result, hash);
}
