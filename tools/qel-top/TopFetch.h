// qel-top's client: one GET of a host's /stats.json over http or https.
#ifndef QEL_TOP_FETCH_H
#define QEL_TOP_FETCH_H

#include <string>

typedef void CURL;

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

// Fetches from one thread at a time; keeps its connection between calls.
class TopFetch {
public:
    explicit TopFetch(TopFetchOptions options);
    ~TopFetch();
    TopFetch(const TopFetch&) = delete;
    TopFetch& operator=(const TopFetch&) = delete;

    // The body of a 200 answer, at most kMaxBody bytes; false with the
    // reason (the client's error, or the HTTP status) in `error`.
    bool Get(std::string& body, std::string& error);

    static constexpr size_t kMaxBody = 16u << 20;

private:
    static size_t Take(char* data, size_t size, size_t count, void* self);

    TopFetchOptions m_options;
    CURL* m_curl;
    std::string m_body;
    bool m_tooLong = false;
};

#endif  // QEL_TOP_FETCH_H
