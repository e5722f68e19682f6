#include "KwBasicAuth.h"

#include <crypt.h>
#include <gnutls/crypto.h>

#include <memory>

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

KwBasicAuth::KwBasicAuth(std::vector<std::pair<std::string, std::string>> users)
    : m_users(std::move(users)) {}

bool KwBasicAuth::Check(const std::string& user, const std::string& password) {
    const std::string* hash = nullptr;
    for (const auto& entry : m_users) {
        if (entry.first == user) {
            hash = &entry.second;
        }
    }
    std::string digest = Digest(user, password, hash != nullptr ? *hash : kNoUser);
    if (!digest.empty() && Remembered(digest)) {
        return true;
    }
    if (!TakeCheck()) {
        return false;  // over budget: refused unchecked
    }
    bool granted = Bcrypt(password, hash != nullptr ? *hash : kNoUser) && hash != nullptr;
    m_checking.store(false);
    if (granted && !digest.empty()) {
        KwStdGuard guard(m_lock);
        if (m_remembered.size() >= kRemembered) {
            m_remembered.clear();
        }
        m_remembered.insert(digest);
    }
    return granted;
}

bool KwBasicAuth::Remembered(const std::string& digest) {
    KwStdGuard guard(m_lock);
    for (const std::string& known : m_remembered) {
        if (SameText(known, digest)) {
            return true;
        }
    }
    return false;
}

// One bcrypt at a time, and kChecksPerSecond in any second; on true the
// caller runs bcrypt and clears m_checking.
bool KwBasicAuth::TakeCheck() {
    if (m_checking.exchange(true)) {
        return false;
    }
    KwStdGuard guard(m_lock);
    Clock::time_point now = Clock::now();
    if (now - m_second >= std::chrono::seconds(1)) {
        m_second = now;
        m_checksThisSecond = 0;
    }
    if (m_checksThisSecond >= kChecksPerSecond) {
        m_checking.store(false);
        return false;
    }
    ++m_checksThisSecond;
    return true;
}

bool KwBasicAuth::Bcrypt(const std::string& password, const std::string& hash) {
    ++m_runs;
    std::unique_ptr<crypt_data> data(new crypt_data());
    const char* result = crypt_r(password.c_str(), hash.c_str(), data.get());
    return result != nullptr && result[0] != '*' && SameText(result, hash);
}
