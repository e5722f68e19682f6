#include "TopFetch.h"

#include <curl/curl.h>

#include <utility>

std::string TopJsonUrl(const std::string& given) {
    size_t scheme = given.find("://");
    if (scheme == std::string::npos) {
        return std::string();
    }
    std::string name = given.substr(0, scheme);
    for (char& c : name) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if ((name != "http" && name != "https") || given.size() == scheme + 3) {
        return std::string();
    }
    std::string url = given.substr(0, given.find_first_of("?#"));
    if (url.size() >= 5 && url.compare(url.size() - 5, 5, ".json") == 0) {
        return url;
    }
    if (url.find('/', scheme + 3) == std::string::npos || url.back() != '/') {
        url += '/';
    }
    return url + "stats.json";
}

TopFetch::TopFetch(TopFetchOptions options)
    : m_options(std::move(options)), m_multi(curl_multi_init()), m_curl(curl_easy_init()) {}

TopFetch::~TopFetch() {
    curl_easy_cleanup(m_curl);
    curl_multi_cleanup(m_multi);
}

void TopFetch::Stop() {
    m_stopped.store(true);
    if (m_multi != nullptr) {
        curl_multi_wakeup(m_multi);  // any thread may: it ends the poll under way, or the next
    }
}

size_t TopFetch::Take(char* data, size_t size, size_t count, void* self) {
    TopFetch* fetch = static_cast<TopFetch*>(self);
    size_t bytes = size * count;
    if (fetch->m_body.size() + bytes > kMaxBody) {
        fetch->m_tooLong = true;
        return 0;  // ends the transfer
    }
    fetch->m_body.append(data, bytes);
    return bytes;
}

void TopFetch::SetOptions(char* message) {
    CURL* curl = m_curl;
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, m_options.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // the refresh runs on a thread of its own
    // A name still being looked up when Stop() ends the transfer is left to
    // its thread rather than waited for: the program is about to end.
    curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_options.timeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TopFetch::Take);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "qel-top");
    if (!m_options.basicAuth.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERPWD, m_options.basicAuth.c_str());
    }
    if (!m_options.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_options.caFile.c_str());
    }
    if (!m_options.certFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSLCERT, m_options.certFile.c_str());
    }
    if (!m_options.keyFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSLKEY, m_options.keyFile.c_str());
    }
    if (m_options.insecure) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
}

TopFetchResult TopFetch::Get(std::string& body, std::string& error) {
    if (m_multi == nullptr || m_curl == nullptr) {
        error = "the HTTP client could not start";
        return TopFetchResult::UNREACHABLE;
    }
    char message[CURL_ERROR_SIZE] = "";
    SetOptions(message);
    m_body.clear();
    m_tooLong = false;
    TopFetchResult result = Perform(error, message);
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, nullptr);  // `message` ends here
    if (result == TopFetchResult::FETCHED) {
        body.swap(m_body);
    }
    m_body.clear();
    return result;
}

TopFetchResult TopFetch::Perform(std::string& error, const char* message) {
    // The multi interface, so that Stop() can wake the wait for the server.
    CURLMcode failure = curl_multi_add_handle(m_multi, m_curl);
    bool done = false;
    CURLcode code = CURLE_OK;
    while (failure == CURLM_OK && !done && !m_stopped.load()) {
        int running = 0;
        failure = curl_multi_perform(m_multi, &running);
        int left = 0;
        while (CURLMsg* report = curl_multi_info_read(m_multi, &left)) {
            if (report->msg == CURLMSG_DONE) {
                code = report->data.result;
                done = true;
            }
        }
        if (failure == CURLM_OK && !done) {
            failure = curl_multi_poll(m_multi, nullptr, 0, 1000, nullptr);
        }
    }
    curl_multi_remove_handle(m_multi, m_curl);
    if (!done) {
        if (failure != CURLM_OK) {
            error = curl_multi_strerror(failure);
            return TopFetchResult::UNREACHABLE;
        }
        error = "stopped";
        return TopFetchResult::STOPPED;
    }
    if (m_tooLong) {
        error = "the answer is longer than " + std::to_string(kMaxBody >> 20) + " MiB";
        return TopFetchResult::NOT_STATS;
    }
    if (code != CURLE_OK) {
        error = message[0] != '\0' ? message : curl_easy_strerror(code);
        return TopFetchResult::UNREACHABLE;
    }
    long status = 0;
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &status);
    if (status == 200) {
        return TopFetchResult::FETCHED;
    }
    error = "the server answered " + std::to_string(status);
    if (status == 401) {
        error += " (unauthorized)";
    } else if (status == 404) {
        error += " (not found)";
    } else if (status >= 300 && status < 400) {
        // Not followed: the user names the place to read, and learns it.
        char* to = nullptr;
        curl_easy_getinfo(m_curl, CURLINFO_REDIRECT_URL, &to);
        error += to != nullptr
                     ? " (a redirect to " + std::string(to).substr(0, 200) + ", not followed)"
                     : std::string(" (a redirect, not followed)");
    }
    return status >= 400 && status < 600 ? TopFetchResult::UNREACHABLE : TopFetchResult::NOT_STATS;
}
