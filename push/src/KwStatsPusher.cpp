#include "KwStatsPusher.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_set>

#include "KwPushConfig.h"
#include "KwPushQueue.h"
#include "KwPushSeries.h"
#include "KwPushSpool.h"
#include "KwPushStatus.h"
#include "KwPushTransport.h"
#include "dlog.h"

namespace {

const char kFile[] = "KwStatsPusher.cpp";
const long long kMaxRetryAfterMs = 15 * 60 * 1000;

long long WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The URL without user information, for log lines.
std::string Redacted(const std::string& url) {
    size_t start = url.find("//");
    size_t at = url.find('@', start);
    size_t slash = url.find('/', start + 2);
    if (start == std::string::npos || at == std::string::npos || at > slash) {
        return url;
    }
    return url.substr(0, start + 2) + url.substr(at + 1);
}

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    return name;
}

// At most one line a second of a kind; the rest at the debug level.
class LogLimit {
public:
    int Level(int level) {
        long long now = KwSteadyMs();
        if (now - m_lastMs < 1000) {
            return DLOG_DEBUG;
        }
        m_lastMs = now;
        return level;
    }

private:
    long long m_lastMs = -1000000;
};

}  // namespace

class KwPushEngine {
public:
    KwPushEngine(const KwStatsPushOptions& options, KwStatsSource source)
        : m_options(options),
          m_source(std::move(source)),
          m_status(std::make_shared<KwPushStatus>(options.intervalMs / 1000.0)),
          m_queue(static_cast<size_t>(options.capacity)),
          m_url(Redacted(options.url)),
          m_random(static_cast<unsigned>(KwSteadyMs()) ^ static_cast<unsigned>(getpid())) {}

    bool Init(std::string& error) {
        if (!m_transport.Init(m_options, error)) {
            return false;
        }
        m_identity = KwPushIdentity(m_options.externalLabels, HostName());
        if (!m_options.spoolDirectory.empty()) {
            m_spool.reset(new KwPushSpool());
            if (!m_spool->Open(m_options.spoolDirectory, m_options.spoolMaxBytes, error)) {
                return false;
            }
            m_lastTimestamp = m_spool->NewestTimestamp();
            size_t damaged = m_spool->TakeDamaged();
            if (damaged > 0) {
                m_status->SpoolDamaged(damaged);
                __dlog_printf(DLOG_WARNING, kFile,
                              "%s: the spool in %s held %zu damaged stretches; they are skipped",
                              "KwStatsPusher", m_options.spoolDirectory.c_str(), damaged);
            }
            if (m_spool->PendingSamples() > 0) {
                __dlog_printf(DLOG_INFO, kFile, "%s: %zu samples from the spool are sent first",
                              "KwStatsPusher", m_spool->PendingSamples());
            }
        }
        UpdatePending();
        return true;
    }

    void Launch();

    void Stop() {
        m_stopDeadline.Set(KwSteadyMs() + m_options.flushDeadlineMs);
        {
            KwStdGuard guard(m_wakeLock);
            m_stop.store(true);
        }
        m_wake.notify_all();
        m_thread.join();
    }

    KwStatsSource Source() const {
        KwStatsSource source = m_source;
        std::shared_ptr<KwPushStatus> status = m_status;
        return [source, status](KwStatsSnapshot& out) {
            bool collecting = source(out);
            status->Fill(out.push);
            return collecting;
        };
    }

    void Run() {
        KwStatsSource source = Source();
        long long nextTick = KwSteadyMs();
        while (!m_stop.load()) {
            long long now = KwSteadyMs();
            if (now >= nextTick) {
                Guarded([&] { Tick(source); });
                // On the same grid, missed ticks skipped: a late one (a slow
                // send before it) does not shift the ones after it.
                do {
                    nextTick += m_options.intervalMs;
                } while (nextTick <= now);
                continue;
            }
            long long wakeAt = nextTick;
            if (Pending() > 0) {
                long long sendAt = std::max(m_retryAtMs, ReadyAt());
                if (now >= sendAt) {
                    Outcome outcome = NOTHING;
                    Guarded([&] { outcome = Send(m_options.remoteTimeoutMs); });
                    if (outcome == NOTHING) {
                        // Nothing could be taken (damage only, or a failure
                        // before the request): not again at once.
                        m_retryAtMs = KwSteadyMs() + m_options.minBackoffMs;
                    }
                    continue;
                }
                wakeAt = std::min(wakeAt, sendAt);
            }
            Sleep(wakeAt);
        }
        Guarded([&] { Finish(); });
    }

private:
    enum Outcome { SENT, RETRY, DROPPED, NOTHING };

    template <class Work>
    void Guarded(Work work) {
        try {
            work();
        } catch (const std::exception& e) {
            __dlog_printf(m_errorLog.Level(DLOG_ERR), kFile, "%s: %s", "KwStatsPusher", e.what());
        }
    }

    void Sleep(long long untilMs) {
        std::unique_lock<KwStdMutex> lock(m_wakeLock);
        m_wake.wait_for(lock, std::chrono::milliseconds(std::max(0LL, untilMs - KwSteadyMs())),
                        [this] { return m_stop.load(); });
    }

    size_t Pending() const { return m_queue.Samples() + (m_spool ? m_spool->PendingSamples() : 0); }

    // When the memory queue's samples are to go: at once when the spool has
    // any or a batch is full, else once the oldest has waited the batch
    // deadline (with a spool, no longer than an interval, so that a healthy
    // link writes nothing to disk).
    long long ReadyAt() {
        if ((m_spool && m_spool->PendingSamples() > 0) ||
            m_queue.Samples() >= static_cast<size_t>(m_options.maxSamplesPerSend)) {
            return 0;
        }
        long long wait = m_options.batchSendDeadlineMs;
        if (m_spool) {
            wait = std::min(wait, static_cast<long long>(m_options.intervalMs) / 2);
        }
        return m_queue.Records().empty() ? 0 : m_oldestQueuedMs + wait;
    }

    void Tick(const KwStatsSource& source) {
        KwStatsSnapshot snapshot;
        source(snapshot);
        std::vector<KwPushSeriesValue> series = KwPushSeriesOf(snapshot, m_identity);
        // A spool keeps what the last interval could not send.
        if (m_spool) {
            SpillQueue();
        }
        bool idle = m_queue.Records().empty() && (!m_spool || m_spool->Loaded().empty());
        if (idle && m_table.Size() > 4 * series.size() + 256) {
            ForgetOldSeries();
        }
        KwPushRecord record;
        record.timestampMs = NextTimestamp();
        // Exactly as large as it is: an hour queued is 12 bytes a sample.
        record.ids.reserve(series.size());
        record.values.reserve(series.size());
        for (const KwPushSeriesValue& one : series) {
            record.ids.push_back(m_table.Intern(one.labels));
            record.values.push_back(KwDoubleBits(one.value));
        }
        // A series that went away is marked stale, as a scrape would.
        std::unordered_set<uint32_t> now(record.ids.begin(), record.ids.end());
        for (uint32_t id : m_lastSeries) {
            if (now.count(id) == 0) {
                record.ids.push_back(id);
                record.values.push_back(kKwStaleNaNBits);
            }
        }
        m_lastSeries.assign(record.ids.begin(),
                            record.ids.begin() + static_cast<long>(series.size()));
        if (record.ids.capacity() > record.ids.size()) {
            record.ids.shrink_to_fit();
            record.values.shrink_to_fit();
        }
        Enqueue(std::move(record));
    }

    // The table of series holds every series ever seen; while nothing waits
    // it starts again with those of the latest snapshot.
    void ForgetOldSeries() {
        std::vector<std::string> latest;
        for (uint32_t id : m_lastSeries) {
            latest.push_back(m_table.Labels(id));
        }
        m_table.Clear();
        m_lastSeries.clear();
        for (const std::string& labels : latest) {
            m_lastSeries.push_back(m_table.Intern(labels));
        }
    }

    int64_t NextTimestamp() {
        // Each series' samples in order, also when the wall clock steps back.
        m_lastTimestamp = std::max<int64_t>(WallMs(), m_lastTimestamp + 1);
        return m_lastTimestamp;
    }

    void Enqueue(KwPushRecord record) {
        if (m_queue.Records().empty()) {
            m_oldestQueuedMs = KwSteadyMs();
        }
        size_t dropped = m_queue.Add(std::move(record));
        UpdatePending();  // first: a reader that sees the drop sees the queue after it
        if (dropped > 0) {
            m_status->Dropped(&KwStatsPushFigures::droppedQueueFull, dropped);
            __dlog_printf(m_dropLog.Level(DLOG_WARNING), kFile,
                          "%s: the queue is full (%ld samples): the oldest %zu dropped",
                          "KwStatsPusher", m_options.capacity, dropped);
        }
    }

    void SpillQueue() {
        while (!m_queue.Records().empty()) {
            const KwPushRecord& front = m_queue.Records().front();
            size_t samples = front.Remaining();
            std::string error;
            if (!m_spool->Append(front, m_table, error)) {
                __dlog_printf(m_spoolLog.Level(DLOG_ERR), kFile, "%s: %s", "KwStatsPusher",
                              error.c_str());
                break;  // kept in memory, within capacity
            }
            m_queue.Consume(samples);
        }
        TakeSpoolCounts();
        UpdatePending();
    }

    void TakeSpoolCounts() {
        size_t evicted = m_spool->TakeEvicted();
        if (evicted > 0) {
            m_status->Dropped(&KwStatsPushFigures::droppedSpoolFull, evicted);
            __dlog_printf(m_dropLog.Level(DLOG_WARNING), kFile,
                          "%s: the spool is full (%lld bytes): the oldest %zu samples dropped",
                          "KwStatsPusher", m_options.spoolMaxBytes, evicted);
        }
        size_t damaged = m_spool->TakeDamaged();
        if (damaged > 0) {
            m_status->SpoolDamaged(damaged);
        }
    }

    void UpdatePending() { m_status->Pending(Pending(), m_spool ? m_spool->Bytes() : 0); }

    // Sends one batch, oldest samples first: the spool's, then memory's.
    Outcome Send(long long timeoutMs) {
        m_batch.Clear();
        bool fromSpool = m_spool && (!m_spool->Loaded().empty() || m_spool->LoadNext(m_table));
        size_t max = static_cast<size_t>(m_options.maxSamplesPerSend);
        if (fromSpool) {
            for (size_t i = 0; m_batch.Samples() < max; ++i) {
                if (i == m_spool->Loaded().size() && !m_spool->LoadNext(m_table)) {
                    break;
                }
                const KwPushRecord& record = m_spool->Loaded()[i];
                size_t take = std::min(record.Remaining(), max - m_batch.Samples());
                m_batch.Add(record, record.sent, take);
            }
        } else {
            for (const KwPushRecord& record : m_queue.Records()) {
                size_t take = std::min(record.Remaining(), max - m_batch.Samples());
                m_batch.Add(record, record.sent, take);
                if (m_batch.Samples() == max) {
                    break;
                }
            }
        }
        size_t samples = m_batch.Samples();
        if (samples == 0) {
            if (fromSpool) {
                m_spool->Consume(0);  // damaged records only
                TakeSpoolCounts();
                UpdatePending();
            }
            return NOTHING;
        }
        m_batch.Encode(m_table, m_request);
        KwSnappyCompress(m_request.Bytes(), m_body);
        KwPushAnswer answer =
            m_transport.Post(m_body, static_cast<long>(timeoutMs), m_stopDeadline);
        Outcome outcome = Judge(answer, samples);
        if (outcome != RETRY) {
            if (fromSpool) {
                m_spool->Consume(samples);
                TakeSpoolCounts();
            } else {
                m_queue.Consume(samples);
                m_oldestQueuedMs = KwSteadyMs();
            }
        }
        UpdatePending();
        return outcome;
    }

    Outcome Judge(const KwPushAnswer& answer, size_t samples) {
        long status = answer.status;
        if (status >= 200 && status < 300) {
            m_status->Sent(samples, static_cast<KwLong32>(WallMs() / 1000));
            Recovered();
            return SENT;
        }
        m_status->Failed(static_cast<int>(status));
        bool retry = status == 0 || status >= 500 || (status == 429 && m_options.retryOnHttp429);
        if (!retry) {
            m_status->Dropped(&KwStatsPushFigures::droppedRejected, samples);
            __dlog_printf(m_rejectLog.Level(DLOG_WARNING), kFile,
                          "%s: %s refused %zu samples with %ld: %s", "KwStatsPusher", m_url.c_str(),
                          samples, status, KwEscapeForLog(answer.body, 256).c_str());
            Recovered();
            return DROPPED;
        }
        ++m_failures;
        long long wait = Backoff();
        if (status == 429 && answer.retryAfterMs >= 0) {
            wait = std::min<long long>(answer.retryAfterMs, kMaxRetryAfterMs);
        }
        m_retryAtMs = KwSteadyMs() + wait;
        if (!m_failing) {
            m_failing = true;
            m_status->SetFailing(true);
            std::string reason =
                status == 0 ? "no answer: " + KwEscapeForLog(answer.error, 256)
                            : std::to_string(status) + ": " + KwEscapeForLog(answer.body, 256);
            __dlog_printf(DLOG_ERR, kFile, "%s: cannot send to %s (%s); retrying, samples wait",
                          "KwStatsPusher", m_url.c_str(), reason.c_str());
        }
        return RETRY;
    }

    void Recovered() {
        if (m_failing) {
            m_failing = false;
            m_status->SetFailing(false);
            __dlog_printf(DLOG_INFO, kFile, "%s: sending to %s again after %u failed requests",
                          "KwStatsPusher", m_url.c_str(), m_failures);
        }
        m_failures = 0;
        m_retryAtMs = 0;
    }

    // Exponential, with jitter: anywhere between min_backoff and the doubled
    // ceiling, which stops at max_backoff.
    long long Backoff() {
        long long ceiling = m_options.minBackoffMs;
        for (unsigned i = 1; i < m_failures && ceiling < m_options.maxBackoffMs; ++i) {
            ceiling *= 2;
        }
        ceiling = std::min<long long>(ceiling, m_options.maxBackoffMs);
        std::uniform_int_distribution<long long> jitter(m_options.minBackoffMs, ceiling);
        return jitter(m_random);
    }

    // At a stop: what is queued, for at most flush_deadline, then the stale
    // markers; what is left goes to the spool, or is counted as dropped.
    void Finish() {
        long long deadline = m_stopDeadline.AtMs();
        auto flush = [&] {
            while (Pending() > 0) {
                long long now = KwSteadyMs();
                if (now < m_retryAtMs) {
                    if (m_retryAtMs >= deadline) {
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_retryAtMs - now));
                    continue;
                }
                if (now >= deadline) {
                    return;
                }
                size_t before = Pending();
                if (Send(std::min<long long>(deadline - now, m_options.remoteTimeoutMs)) ==
                        NOTHING &&
                    Pending() == before) {
                    return;
                }
            }
        };
        flush();
        KwPushRecord stale;
        stale.timestampMs = NextTimestamp();
        for (uint32_t id : m_lastSeries) {
            stale.ids.push_back(id);
            stale.values.push_back(kKwStaleNaNBits);
        }
        bool sentAll = Pending() == 0;
        Enqueue(std::move(stale));
        if (sentAll) {
            flush();
        }
        if (m_spool) {
            SpillQueue();
        }
        size_t left = m_queue.Samples();
        if (left > 0) {
            m_status->Dropped(&KwStatsPushFigures::droppedAtStop, left);
            __dlog_printf(DLOG_WARNING, kFile, "%s: stopped with %zu samples unsent: dropped",
                          "KwStatsPusher", left);
            m_queue.Consume(left);
            UpdatePending();
        }
    }

    const KwStatsPushOptions m_options;
    const KwStatsSource m_source;
    const std::shared_ptr<KwPushStatus> m_status;
    KwPushLabels m_identity;
    KwPushTransport m_transport;
    std::unique_ptr<KwPushSpool> m_spool;
    KwPushSeriesTable m_table;
    KwPushQueue m_queue;
    KwPushBatch m_batch;
    KwWriteRequest m_request;
    std::string m_body;
    std::vector<uint32_t> m_lastSeries;  // the series of the latest snapshot, by id
    int64_t m_lastTimestamp = 0;
    long long m_oldestQueuedMs = 0;
    long long m_retryAtMs = 0;
    bool m_failing = false;
    unsigned m_failures = 0;
    const std::string m_url;
    std::mt19937 m_random;
    LogLimit m_dropLog, m_rejectLog, m_spoolLog, m_errorLog;

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    KwPushDeadline m_stopDeadline;
    KwStdMutex m_wakeLock;
    std::condition_variable_any m_wake;
};

namespace {

// The thread's function, of internal linkage: std::thread's state for it is
// then no symbol of the library's.
struct EngineThread {
    KwPushEngine* engine;
    void operator()() const { engine->Run(); }
};

}  // namespace

void KwPushEngine::Launch() {
    m_thread = std::thread(EngineThread{this});
}

KwStatsPusher::KwStatsPusher(std::unique_ptr<KwPushEngine> engine) : m_engine(std::move(engine)) {}

KwStatsPusher::~KwStatsPusher() {
    m_engine->Stop();
}

KwStatsSource KwStatsPusher::Source() const {
    return m_engine->Source();
}

std::unique_ptr<KwStatsPusher> KwStatsPusher::Start(const KwStatsPushOptions& options,
                                                    std::string& error, KwStatsSource source) {
    try {
        if (!KwCheckPushOptions(options, error)) {
            return nullptr;
        }
        static std::once_flag curlReady;
        std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        std::unique_ptr<KwPushEngine> engine(new KwPushEngine(options, std::move(source)));
        if (!engine->Init(error)) {
            return nullptr;
        }
        engine->Launch();
        error.clear();
        return std::unique_ptr<KwStatsPusher>(new KwStatsPusher(std::move(engine)));
    } catch (const std::exception& e) {
        error = std::string("the pusher could not start: ") + e.what();
        return nullptr;
    }
}
