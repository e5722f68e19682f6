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

// `text` made safe as TopFit does, in lines of exactly `width` columns,
// broken at spaces (a word longer than a line where the line ends); the
// last of `maxLines` (at least 1) is cut with the mark. Width 0: one line.
std::vector<std::string> TopWrap(const std::string& text, int width, bool utf8, int maxLines);

// "14:03:27" (UTC), "-" for 0, "?" for a time the platform cannot render.
std::string TopTime(int64_t seconds);

// `value` rounded to `decimals` places (0 or 1), in at most `width`
// characters and the same under any locale. One that needs more is shown as
// the bound it passes: ">999999999" or "<-99999999" (width 10), ">99999999.9"
// (width 11, 1 place); one that is not a number as "?".
std::string TopFigure(double value, int decimals, int width);

// The event's name, or "(no name)" for the empty one, as the status page
// shows it.
const std::string& TopEventName(const TopEvent& event);

// Two lines: where, whose figures, state and thread; the waiting reports,
// refusals and the last roll-up; and a third where the host pushes: the
// sender's state, samples sent, pending and dropped, failed requests, the
// last success. `stale`: the figures are those of an earlier refresh.
std::vector<std::string> TopHeader(const TopStats& stats, const std::string& where, bool stale,
                                   int width, bool utf8);

// The column titles, then one line per row. Columns that do not fit drop
// out, least needed first, while the event name keeps at least 16 columns;
// the column of `sort` stays while the name keeps 8, and its title is marked:
// a triangle pointing down (largest first) or, for names, up (A to Z); a star
// when not `utf8`. The name takes at most 40 columns; the lines are padded
// beyond the last column.
std::vector<std::string> TopTable(const std::vector<const TopEvent*>& rows, TopSortKey sort,
                                  int width, bool utf8);

// One line of an event's figures, then its last 60 s, 60 min and 24 h as
// text bars, each chart `barRows` rows high (at least 1).
std::vector<std::string> TopHistory(const TopEvent& event, int64_t lastRollup, int width,
                                    int barRows, bool utf8);

#endif  // QEL_TOP_LAYOUT_H
