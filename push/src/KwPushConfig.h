// The checks that options pass before a pusher starts, whether they come
// from a file (KwStatsPushOptions::FromFile, which gives the line as well) or
// from code.
#ifndef KW_PUSH_CONFIG_H
#define KW_PUSH_CONFIG_H

#include <string>

#include "KwStatsPusher.h"

// False with the reason for the first option out of range.
bool KwCheckPushOptions(const KwStatsPushOptions& options, std::string& error);

// Whether `name` may be a label name: [a-zA-Z_][a-zA-Z0-9_]*.
bool KwIsLabelName(const std::string& name);

// A duration as Prometheus writes one ("1h30m", "15s", "200ms", "0"), in
// milliseconds; false for anything else or beyond `maxMs`.
bool KwParseDuration(const std::string& text, long long maxMs, long long& ms);

#endif  // KW_PUSH_CONFIG_H
