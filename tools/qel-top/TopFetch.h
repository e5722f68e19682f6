// qel-top's client: one GET of a host's /stats.json over http or https.
#ifndef QEL_TOP_FETCH_H
#define QEL_TOP_FETCH_H

#include <atomic>
#include <string>

typedef void CURL;
typedef void CURLM;

struct TopFetchOptions {
    std::string url;        // the JSON's own URL (TopJsonUrl)
    std::string basicAuth;  // "user:password", or empty
    std::string caFile;     // trusted CAs for https (default: the system's)
    std::string certFile;   // a client certificate, and its key
    std::string keyFile;
    bool insecure = false;  // https without checking the server's certificate
    long timeoutMs = 2000;  // for the whole exchange
};

// The URL to fetch for what the user gave: a host's base URL gets
// "/stats.json" appended; one that ends in ".json" is taken as it is.
// Empty when `given` is not an http or https URL.
std::string TopJsonUrl(const std::string& given);

enum class TopFetchResult {
    FETCHED,      // a 200 answer, its body in hand
    UNREACHABLE,  // no answer (connection, TLS, time-out), or an error status (4xx, 5xx)
    NOT_STATS,    // an answer that cannot be the statistics: another status
                  // (a redirect, which is not followed), a body over kMaxBody
    STOPPED,      // Stop() was called
};

// Fetches from one thread at a time; keeps its connection between calls.
// Stop() alone may be called from any thread, at any time.
class TopFetch {
public:
    explicit TopFetch(TopFetchOptions options);
    ~TopFetch();
    TopFetch(const TopFetch&) = delete;
    TopFetch& operator=(const TopFetch&) = delete;

    // The body of a 200 answer, at most kMaxBody bytes; otherwise why not in
    // `error` (the client's words, or the HTTP status). `error` may hold
    // what the server sent (where a redirect points): show it as TopFit does.
    TopFetchResult Get(std::string& body, std::string& error);

    // Ends the Get under way at once, and makes every later one return
    // STOPPED: a host that never answers does not hold up quitting.
    void Stop();

    static constexpr size_t kMaxBody = 16u << 20;

private:
    static size_t Take(char* data, size_t size, size_t count, void* self);
    void SetOptions(char* message);
    TopFetchResult Perform(std::string& error, const char* message);

    TopFetchOptions m_options;
    CURLM* m_multi;
    CURL* m_curl;
    std::atomic<bool> m_stopped{false};
    std::string m_body;
    bool m_tooLong = false;
};

#endif  // QEL_TOP_FETCH_H
