// What the status server serves with, built from the web configuration
// file: TLS credentials ready for GnuTLS, whether clients must show a
// certificate, and the users of basic auth. Immutable once built and held
// through shared_ptr: each connection keeps the settings it started with
// until it closes, so that a reload never changes a connection midway.
#ifndef KW_HTTP_SETTINGS_H
#define KW_HTTP_SETTINGS_H

#include <gnutls/gnutls.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class KwHttpSettings {
public:
    // Reads `path` (empty: plain HTTP, anyone) and checks that GnuTLS takes
    // its certificate, key and client CA. Returns null with "FILE:LINE:
    // reason" in `error` when it does not. Throws nothing.
    static std::shared_ptr<const KwHttpSettings> Load(const std::string& path, std::string& error);
    ~KwHttpSettings();

    KwHttpSettings(const KwHttpSettings&) = delete;
    KwHttpSettings& operator=(const KwHttpSettings&) = delete;

    bool Tls() const { return m_credentials != nullptr; }
    bool VerifyClients() const { return m_verifyClients; }
    // The bcrypt hash of `user`, or null for an unknown user; Users()
    // false: no basic auth.
    const std::string* HashOf(const std::string& user) const;
    bool Users() const { return !m_users.empty(); }

    // Makes a new TLS session (before its handshake) use these settings'
    // certificate, key, versions and client certificate request. The
    // settings must outlive the session.
    bool ApplyTo(gnutls_session_t session) const;
    // The certificate and key as PEM, for starting libmicrohttpd in TLS.
    const std::string& CertPem() const { return m_certPem; }
    const std::string& KeyPem() const { return m_keyPem; }

    // The configuration file and the files it names, and a digest of their
    // bytes as read (KwWebConfigFingerprint tells whether they changed).
    const std::string& Path() const { return m_path; }
    const std::vector<std::string>& NamedFiles() const { return m_namedFiles; }
    const std::string& Fingerprint() const { return m_fingerprint; }

private:
    KwHttpSettings() = default;

    std::string m_path;
    std::vector<std::string> m_namedFiles;
    std::string m_fingerprint;
    std::string m_certPem, m_keyPem;
    gnutls_certificate_credentials_t m_credentials = nullptr;
    gnutls_priority_t m_priorities = nullptr;
    bool m_verifyClients = false;
    std::map<std::string, std::string> m_users;  // name, bcrypt hash
};

#endif  // KW_HTTP_SETTINGS_H
