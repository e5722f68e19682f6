#include "KwPushTransport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>

#include "KwBoundedFile.h"

namespace {

const size_t kMaxBody = 512;
const size_t kMaxSecret = 4096;

// A secret file's first line, without its end.
bool ReadSecret(const std::string& path, const char* what, std::string& secret,
                std::string& error) {
    std::string text, reason;
    if (!KwReadBoundedFile(path, kMaxSecret, text, reason)) {
        error = std::string(what) + " '" + path + "': " + reason;
        return false;
    }
    secret = text.substr(0, text.find_first_of("\r\n"));
    if (secret.empty()) {
        error = std::string(what) + " '" + path + "' is empty";
        return false;
    }
    return true;
}

// Ends a transfer once the pusher is told to give up.
int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<KwPushTransport*>(self)->AbortRequested() ? 1 : 0;
}

// A receiver's wish is honoured up to a day.
const long kMaxRetryAfterSeconds = 86400;

}  // namespace

long long KwSteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool KwPushTransport::AbortRequested() const {
    return m_deadline != nullptr && m_deadline->Passed();
}

std::string KwEscapeForLog(const std::string& text, size_t max) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (text.size() > max) {
        out += "...";
    }
    return out;
}

KwPushTransport::~KwPushTransport() {
    if (m_curl != nullptr) {
        curl_easy_cleanup(m_curl);
    }
    curl_slist_free_all(m_headers);
}

bool KwPushTransport::Init(const KwStatsPushOptions& options, std::string& error) {
    std::string credentials = options.credentials;
    m_password = options.password;
    if (!options.passwordFile.empty() &&
        !ReadSecret(options.passwordFile, "password_file", m_password, error)) {
        return false;
    }
    if (!options.credentialsFile.empty() &&
        !ReadSecret(options.credentialsFile, "credentials_file", credentials, error)) {
        return false;
    }
    m_username = options.username;
    m_url = options.url;
    m_curl = curl_easy_init();
    if (m_curl == nullptr) {
        error = "libcurl could not be set up";
        return false;
    }
    const char* headers[] = {"Content-Encoding: snappy", "Content-Type: application/x-protobuf",
                             "X-Prometheus-Remote-Write-Version: 0.1.0",
                             "Expect:"};  // no 100-continue round trip
    for (const char* header : headers) {
        m_headers = curl_slist_append(m_headers, header);
    }
    if (!credentials.empty()) {
        std::string header = "Authorization: " + options.authorizationType + " " + credentials;
        m_headers = curl_slist_append(m_headers, header.c_str());
    }
    CURL* curl = m_curl;
    curl_easy_setopt(curl, CURLOPT_URL, m_url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // timeouts without SIGALRM: our own thread
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "libQelDiagPush/1.0");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.remoteTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KwPushTransport::TakeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &KwPushTransport::TakeHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (!m_username.empty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(curl, CURLOPT_USERNAME, m_username.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, m_password.c_str());
    }
    if (!options.caFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    }
    if (!options.certFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSLCERT, options.certFile.c_str());
        curl_easy_setopt(curl, CURLOPT_SSLKEY, options.keyFile.c_str());
    }
    if (options.insecureSkipVerify) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    return true;
}

KwPushAnswer KwPushTransport::Post(const std::string& body, long timeoutMs,
                                   const KwPushDeadline& deadline) {
    m_answer = KwPushAnswer();
    m_deadline = &deadline;
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(m_curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(m_curl, CURLOPT_TIMEOUT_MS, std::max(1L, timeoutMs));
    CURLcode result = curl_easy_perform(m_curl);
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, nullptr);
    if (result != CURLE_OK) {
        m_answer.status = 0;
        m_answer.error = message[0] != '\0' ? message : curl_easy_strerror(result);
        m_answer.body.clear();
    } else {
        curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &m_answer.status);
    }
    return m_answer;
}

size_t KwPushTransport::TakeBody(char* data, size_t size, size_t count, void* self) {
    KwPushAnswer& answer = static_cast<KwPushTransport*>(self)->m_answer;
    size_t bytes = size * count;
    size_t room = kMaxBody + 1 - std::min(answer.body.size(), kMaxBody + 1);
    answer.body.append(data, std::min(bytes, room));  // one byte more tells it was cut
    return bytes;
}

size_t KwPushTransport::TakeHeader(char* data, size_t size, size_t count, void* self) {
    KwPushAnswer& answer = static_cast<KwPushTransport*>(self)->m_answer;
    size_t bytes = size * count;
    std::string line(data, bytes);
    const char kName[] = "retry-after:";
    if (line.size() > sizeof kName - 1 &&
        std::equal(kName, kName + sizeof kName - 1, line.begin(),
                   [](char a, char b) { return a == tolower(static_cast<unsigned char>(b)); })) {
        std::string value = line.substr(sizeof kName - 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r\n") + 1);
        bool digits = !value.empty() && value.size() <= 9 &&
                      std::all_of(value.begin(), value.end(),
                                  [](char c) { return isdigit(static_cast<unsigned char>(c)); });
        if (digits) {
            answer.retryAfterMs = std::min(std::stol(value), kMaxRetryAfterSeconds) * 1000;
        } else {
            time_t when = curl_getdate(value.c_str(), nullptr);  // an HTTP date
            if (when != -1) {
                time_t now = time(nullptr);
                answer.retryAfterMs = std::min<long>(when > now ? static_cast<long>(when - now) : 0,
                                                     kMaxRetryAfterSeconds) *
                                      1000;
            }
        }
    }
    return bytes;
}
