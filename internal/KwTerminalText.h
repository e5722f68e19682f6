// What a terminal acts on rather than shows, for the outputs that put event
// names on one (qel-top, the demo): the code points of UTF-8 text, and those
// among them that are not text to a terminal. Header only.
#ifndef KW_TERMINAL_TEXT_H
#define KW_TERMINAL_TEXT_H

#include <string>

// The next code point of `text` from `at`, moving `at` past it; or -1 for a
// byte that does not start a well-formed sequence, with `at` past that byte
// and the continuation bytes that followed it (a proxy may break UTF-8).
inline long KwNextCodePoint(const std::string& text, size_t& at) {
    unsigned char lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    int more = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : -1;
    if (more < 0 || lead > 0xF4 || at + more > text.size()) {
        return -1;
    }
    long point = lead & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        point = (point << 6) | (next & 0x3F);
        ++at;
    }
    return point;
}

// Control characters (C0, DEL, C1: escape sequences start with them), line
// and paragraph separators, and the marks that reorder what follows them on
// the line (bidirectional controls).
inline bool KwTerminalActsOn(long point) {
    return point < 0x20 || (point >= 0x7F && point < 0xA0) || point == 0x2028 || point == 0x2029 ||
           point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x202A && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

#endif  // KW_TERMINAL_TEXT_H
