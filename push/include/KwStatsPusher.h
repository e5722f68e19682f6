// KwStatsPusher: the collector's statistics sent to a Prometheus remote-write
// receiver (Prometheus, VictoriaMetrics, Mimir, Thanos Receive, Cortex), for a
// board that can dial out but cannot be scraped:
//
//   KwStatsPushOptions options;
//   std::string error;
//   if (!KwStatsPushOptions::FromFile("/etc/qel/push.yml", options, error)) ...
//   std::unique_ptr<KwStatsPusher> pusher = KwStatsPusher::Start(options, error);
//   if (!pusher) fprintf(stderr, "no pusher: %s\n", error.c_str());
//   ...                                        // pushes until destroyed
//
// Every `interval` it takes a snapshot and sends the families, names and
// labels that /metrics shows (KwStatsPrometheus::Families), plus the
// configured external labels, as remote write 1.0: a protobuf WriteRequest in
// snappy's block format, labels sorted, timestamps in milliseconds, each
// series' samples in order. A series that goes away, and every series at a
// stop, gets a stale marker.
//
// Delivery: 5xx answers and transport errors are retried with exponential
// backoff and jitter between min_backoff and max_backoff; 429 too when
// retry_on_http_429 is set (after Retry-After, capped at 15 minutes); any other
// answer outside 2xx drops the batch, counted. While the receiver cannot be
// reached, samples wait in memory (at most `capacity`; the oldest go first,
// counted) or, with a spool, on disk (at most spool_max_bytes; the oldest
// segment goes first, counted); after a restart the spool is sent first.
// Changes between sending and failing are logged once each (dlog level 3 and
// 6); refusals at most once a second (level 4). No secret is ever logged.
//
// Ownership: the pusher keeps a copy of its options and of its snapshot
// source. Destroying it stops it: it tries to send what is queued for at most
// flush_deadline, spools what is left (or drops it, counted, without a
// spool), sends stale markers for every series when it could send all, and
// joins its thread. Start() and the destructor are to be called from one
// thread at a time; the source is called from the pusher's own thread.
//
// Refusals: FromFile() and Start() return false / null with the reason in
// `error`: "FILE:LINE: reason" for a configuration file refused (not a
// regular file, larger than 64 KiB, not YAML, a key that is not supported, a
// value out of range, a file it names that cannot be read), a plain reason
// for options out of range, a spool folder that cannot be used or a
// credentials file that cannot be read. No exception leaves either call.
#ifndef KW_STATS_PUSHER_H
#define KW_STATS_PUSHER_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "KwStatsSnapshot.h"

class KwPushEngine;  // the sender's thread and state, in the library alone

// The options, in the shape of a Prometheus remote_write entry (durations in
// milliseconds here, written "15s", "200ms" in the file):
//
//   url: https://receiver:9090/api/v1/write
//   interval: 15s                # how often a snapshot is sent
//   remote_timeout: 30s          # one request at most
//   flush_deadline: 5s           # sending what is queued at a stop, at most
//   external_labels: {instance: board7, site: lab}
//   basic_auth: {username: board7, password_file: push.secret}
//   authorization: {type: Bearer, credentials_file: push.token}
//   tls_config: {ca_file: ca.crt, cert_file: c.crt, key_file: c.key,
//                insecure_skip_verify: false}
//   queue_config: {capacity: 100000, max_samples_per_send: 2000,
//                  batch_send_deadline: 5s, min_backoff: 30ms,
//                  max_backoff: 5s, retry_on_http_429: false}
//   spool: {directory: /var/spool/qel, max_bytes: 16MiB}
//
// Paths in the file are relative to the file's folder. A series carries the
// labels `job` ("qel" unless external_labels names one) and `instance` (the
// host name unless external_labels names one): a pushed series has no scrape
// target to take them from.
struct KW_DIAG_EXPORT KwStatsPushOptions {
    std::string url;                                                  // http:// or https://
    int intervalMs = 15000;                                           // 10 ms .. 24 h
    int remoteTimeoutMs = 30000;                                      // 10 ms .. 10 min
    int flushDeadlineMs = 5000;                                       // 0 .. 10 min
    std::vector<std::pair<std::string, std::string>> externalLabels;  // as given

    // basic_auth: the password itself or a file whose first line it is.
    std::string username;
    std::string password;
    std::string passwordFile;
    // authorization: "TYPE CREDENTIALS" in the Authorization header.
    std::string authorizationType = "Bearer";
    std::string credentials;
    std::string credentialsFile;

    // tls_config: PEM files; an https URL is verified unless told not to.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool insecureSkipVerify = false;

    // queue_config.
    long capacity = 100000;          // samples held in memory, 1 .. 100000000
    int maxSamplesPerSend = 2000;    // 1 .. 1000000
    int batchSendDeadlineMs = 5000;  // a partial batch waits at most this
    int minBackoffMs = 30;           // 1 ms .. max_backoff
    int maxBackoffMs = 5000;         // .. 1 h
    bool retryOnHttp429 = false;

    // spool: empty directory, no spool.
    std::string spoolDirectory;
    long long spoolMaxBytes = 16LL << 20;  // 64 KiB .. 2 GiB - 1

    // Reads a configuration file into `options` (which it first resets).
    // False with "FILE:LINE: reason" in `error` for a file it refuses.
    static bool FromFile(const std::string& path, KwStatsPushOptions& options, std::string& error);
};

class KW_DIAG_EXPORT KwStatsPusher {
public:
    static std::unique_ptr<KwStatsPusher> Start(const KwStatsPushOptions& options,
                                                std::string& error,
                                                KwStatsSource source = KwTakeStatsSnapshot);
    ~KwStatsPusher();

    KwStatsPusher(const KwStatsPusher&) = delete;
    KwStatsPusher& operator=(const KwStatsPusher&) = delete;

    // The source it was given, with the pusher's own figures added to each
    // snapshot (KwStatsSnapshot::push): hand it to KwStatsHttpServer or
    // KwStatsPrometheus so /metrics, /stats.json and the status page show
    // them. It stays valid after the pusher is destroyed (the figures then
    // stand still). Callable from any thread.
    KwStatsSource Source() const;

private:
    explicit KwStatsPusher(std::unique_ptr<KwPushEngine> engine);
    std::unique_ptr<KwPushEngine> m_engine;
};

#endif  // KW_STATS_PUSHER_H
