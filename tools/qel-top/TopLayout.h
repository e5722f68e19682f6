// qel-top's text: the header, the table and an event's history, as lines
// that a terminal shows as they are. Every line is exactly `width` columns
// wide (width 0: as wide as its content), and holds no control character,
// whatever the event names hold: those become '?', as do bidirectional
// overrides and, when `utf8` is false (a terminal that is not UTF-8), every
// character beyond ASCII. Numbers and times are the same under any locale.
#ifndef QEL_TOP_LAYOUT_H
#define QEL_TOP_LAYOUT_H

#include <string>
#include <vector>

#include "TopModel.h"

// `text` made safe for a terminal, cut to `width` columns with a mark at the
// cut and padded to exactly that width; width 0 neither cuts nor pads.
std::string TopFit(const std::string& text, int width, bool utf8);

// "14:03:27" (UTC), or "-" for 0.
std::string TopTime(int64_t seconds);

// Two lines: where, whose figures, state and thread; the waiting reports,
// refusals and the last roll-up; and a third where the host pushes: the
// sender's state, samples sent, pending and dropped, failed requests, the
// last success. `stale`: the figures are those of an earlier refresh.
std::vector<std::string> TopHeader(const TopStats& stats, const std::string& where, bool stale,
                                   int width, bool utf8);

// The column titles, then one line per row. Columns that do not fit drop
// out, least needed first, while the event name keeps at least 16 columns.
std::vector<std::string> TopTable(const std::vector<const TopEvent*>& rows, int width, bool utf8);

// One line of an event's figures, then its last 60 s, 60 min and 24 h as
// text bars, each chart `barRows` rows high (at least 1).
std::vector<std::string> TopHistory(const TopEvent& event, int64_t lastRollup, int width,
                                    int barRows, bool utf8);

#endif  // QEL_TOP_LAYOUT_H
