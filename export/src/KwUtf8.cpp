#include "KwUtf8.h"

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the well-formed sequence at text[i], or of the maximal subpart of
// an ill-formed one (negated, at least 1). Ranges from Unicode Table 3-7.
int Sequence(const std::string& text, size_t i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        return 1;
    }
    int length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + k >= text.size()) {
            return -k;
        }
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if (next < low || next > high) {
            return -k;
        }
        low = 0x80;
        high = 0xBF;
    }
    return length;
}

}  // namespace

std::string KwValidUtf8(const std::string& text) {
    std::string valid;
    valid.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        int length = Sequence(text, i);
        if (length > 0) {
            valid.append(text, i, static_cast<size_t>(length));
            i += static_cast<size_t>(length);
        } else {
            valid += kReplacement;
            i += static_cast<size_t>(-length);
        }
    }
    return valid;
}
