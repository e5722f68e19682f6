#include "DemoTerminalText.h"

#include <stdio.h>

#include "KwTerminalText.h"

std::string DemoTerminalText(const std::string& text, bool utf8, bool newlines) {
    std::string shown;
    char escape[16];
    for (size_t at = 0; at < text.size();) {
        size_t start = at;
        long point = utf8 ? KwNextCodePoint(text, at) : static_cast<unsigned char>(text[at++]);
        if (point == '\n' && newlines) {
            shown += '\n';
        } else if (point < 0 || point >= (utf8 ? 0x110000 : 0x80)) {
            for (size_t i = start; i < at; ++i) {
                snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
                shown += escape;
            }
        } else if (KwTerminalActsOn(point)) {
            snprintf(escape, sizeof escape, point < 0x80 ? "\\x%02lx" : "\\u%04lx", point);
            shown += escape;
        } else {
            shown.append(text, start, at - start);
        }
    }
    return shown;
}
