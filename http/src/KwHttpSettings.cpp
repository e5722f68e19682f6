#include "KwHttpSettings.h"

#include <exception>

#include "KwWebConfig.h"

namespace {

// The GnuTLS priorities for the lowest version allowed.
std::string Priorities(int minTlsVersion) {
    std::string priorities = "NORMAL:-VERS-ALL";
    for (int version = 13; version >= minTlsVersion; --version) {
        priorities += ":+VERS-TLS1." + std::to_string(version - 10);
    }
    return priorities;
}

gnutls_datum_t Datum(const std::string& text) {
    return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
            static_cast<unsigned>(text.size())};
}

}  // namespace

std::shared_ptr<const KwHttpSettings> KwHttpSettings::Load(const std::string& path,
                                                           std::string& error) {
    try {
        std::shared_ptr<KwHttpSettings> settings(new KwHttpSettings());
        if (path.empty()) {
            return settings;
        }
        KwWebConfig config;
        if (!KwReadWebConfig(path, config, error)) {
            return nullptr;
        }
        settings->m_path = path;
        settings->m_namedFiles = config.namedFiles;
        settings->m_fingerprint = config.fingerprint;
        settings->m_users.insert(config.users.begin(), config.users.end());
        settings->m_verifyClients = config.verifyClients;
        if (!config.tls) {
            return settings;
        }
        settings->m_certPem = config.certPem;
        settings->m_keyPem = config.keyPem;
        if (gnutls_certificate_allocate_credentials(&settings->m_credentials) != GNUTLS_E_SUCCESS) {
            settings->m_credentials = nullptr;
            error = path + ": no memory for TLS credentials";
            return nullptr;
        }
        gnutls_datum_t cert = Datum(config.certPem), key = Datum(config.keyPem);
        int result = gnutls_certificate_set_x509_key_mem(settings->m_credentials, &cert, &key,
                                                         GNUTLS_X509_FMT_PEM);
        if (result < 0) {
            error = path + ":" + std::to_string(config.certLine) +
                    ": cert_file and key_file: " + gnutls_strerror(result);
            return nullptr;
        }
        if (config.verifyClients) {
            gnutls_datum_t ca = Datum(config.clientCaPem);
            result = gnutls_certificate_set_x509_trust_mem(settings->m_credentials, &ca,
                                                           GNUTLS_X509_FMT_PEM);
            if (result <= 0) {
                error = path + ":" + std::to_string(config.caLine) + ": client_ca_file: " +
                        (result < 0 ? gnutls_strerror(result) : "no certificate in it");
                return nullptr;
            }
        }
        if (gnutls_priority_init(&settings->m_priorities, Priorities(config.minTlsVersion).c_str(),
                                 nullptr) != GNUTLS_E_SUCCESS) {
            settings->m_priorities = nullptr;
            error = path + ": GnuTLS takes no priorities for TLS1" +
                    std::to_string(config.minTlsVersion - 10);
            return nullptr;
        }
        return settings;
    } catch (const std::exception& e) {  // out of memory
        error = path + ": " + e.what();
        return nullptr;
    }
}

KwHttpSettings::~KwHttpSettings() {
    if (m_priorities != nullptr) {
        gnutls_priority_deinit(m_priorities);
    }
    if (m_credentials != nullptr) {
        gnutls_certificate_free_credentials(m_credentials);
    }
}

const std::string* KwHttpSettings::HashOf(const std::string& user) const {
    auto found = m_users.find(user);
    return found != m_users.end() ? &found->second : nullptr;
}

bool KwHttpSettings::ApplyTo(gnutls_session_t session) const {
    if (m_credentials == nullptr) {
        return false;
    }
    gnutls_certificate_server_set_request(
        session, m_verifyClients ? GNUTLS_CERT_REQUEST : GNUTLS_CERT_IGNORE);
    return gnutls_priority_set(session, m_priorities) == GNUTLS_E_SUCCESS &&
           gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, m_credentials) ==
               GNUTLS_E_SUCCESS;
}
