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
    : m_options(std::move(options)), m_curl(curl_easy_init()) {}

TopFetch::~TopFetch() {
    curl_easy_cleanup(m_curl);
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

bool TopFetch::Get(std::string& body, std::string& error) {
    if (m_curl == nullptr) {
        error = "the HTTP client could not start";
        return false;
    }
    CURL* curl = m_curl;
    curl_easy_reset(curl);
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_URL, m_options.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // the refresh runs on a thread of its own
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
    m_body.clear();
    m_tooLong = false;
    CURLcode code = curl_easy_perform(curl);
    if (m_tooLong) {
        error = "the answer is longer than " + std::to_string(kMaxBody >> 20) + " MiB";
        return false;
    }
    if (code != CURLE_OK) {
        error = message[0] != '\0' ? message : curl_easy_strerror(code);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        error = "the server answered " + std::to_string(status);
        if (status == 401) {
            error += " (unauthorized)";
        } else if (status == 404) {
            error += " (not found)";
        }
        return false;
    }
    body.swap(m_body);
    return true;
}
