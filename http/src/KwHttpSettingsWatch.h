// The web configuration in use, and its rotation as the exporters have it:
// Check() (once a second, from the server's housekeeping thread) reads the
// configuration file and the files it names again, and takes new settings
// when their bytes changed and they are good. A change that is refused
// leaves the settings in use as they were and is logged once (with its
// reason; again only when the reason changes):
//   KwStatsHttpServer: web.yml:3: cert_file and key_file: ...; the configuration in use stays
//   KwStatsHttpServer: web.yml: reloaded
// TLS cannot be turned on or off while serving: that change is refused.
//
// Thread safety: Current() may be called from any thread; Check() from one
// at a time.
#ifndef KW_HTTP_SETTINGS_WATCH_H
#define KW_HTTP_SETTINGS_WATCH_H

#include <memory>
#include <string>

#include "KwHttpSettings.h"
#include "KwStdMutex.h"

class KwHttpSettingsWatch {
public:
    // `file` names the log lines' source file.
    KwHttpSettingsWatch(std::shared_ptr<const KwHttpSettings> initial, const char* file)
        : m_file(file), m_current(std::move(initial)) {}

    std::shared_ptr<const KwHttpSettings> Current() const KW_EXCLUDES(m_lock);
    // Reads the files again; returns true when new settings were taken.
    // Throws nothing.
    bool Check() KW_EXCLUDES(m_lock);

private:
    const char* const m_file;
    mutable KwStdMutex m_lock;
    std::shared_ptr<const KwHttpSettings> m_current KW_GUARDED_BY(m_lock);
    std::string m_refused;  // the reason last logged; Check()'s alone
};

#endif  // KW_HTTP_SETTINGS_WATCH_H
