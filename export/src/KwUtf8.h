// Event names are the host's bytes. Every output that promises UTF-8 (the
// Prometheus exposition, JSON) passes them through here first.
#ifndef KW_UTF8_H
#define KW_UTF8_H

#include <string>

// `text` with every ill-formed sequence replaced by U+FFFD: each maximal
// subpart of an ill-formed sequence gives one replacement, as Unicode
// recommends and as nlohmann-json's replacing dump does.
std::string KwValidUtf8(const std::string& text);

#endif  // KW_UTF8_H
