#include "KwHttpSettingsWatch.h"

#include <exception>

#include "KwWebConfig.h"
#include "dlog.h"

std::shared_ptr<const KwHttpSettings> KwHttpSettingsWatch::Current() const {
    KwStdGuard guard(m_lock);
    return m_current;
}

bool KwHttpSettingsWatch::Check() {
    try {
        std::shared_ptr<const KwHttpSettings> current = Current();
        const std::string& path = current->Path();
        if (path.empty() ||
            KwWebConfigFingerprint(path, current->NamedFiles()) == current->Fingerprint()) {
            m_refused.clear();  // as in use: a change back, or none
            return false;
        }
        std::string error;
        std::shared_ptr<const KwHttpSettings> next = KwHttpSettings::Load(path, error);
        if (next != nullptr && next->Tls() != current->Tls()) {
            error = path + ": TLS turned " + (next->Tls() ? "on" : "off") +
                    " while serving: that takes a restart";
            next = nullptr;
        }
        if (next == nullptr) {
            if (error != m_refused) {
                __dlog_printf(DLOG_ERR, m_file,
                              "KwStatsHttpServer: %s; the configuration in use stays",
                              error.c_str());
                m_refused = error;
            }
            return false;
        }
        {
            KwStdGuard guard(m_lock);
            m_current = next;
        }
        m_refused.clear();
        __dlog_printf(DLOG_INFO, m_file, "KwStatsHttpServer: %s: reloaded", path.c_str());
        return true;
    } catch (const std::exception&) {  // out of memory: try again next time
        return false;
    }
}
