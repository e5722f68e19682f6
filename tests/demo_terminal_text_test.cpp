// The demo's report on a terminal: what a terminal acts on, written as
// escapes of plain ASCII, and the rest as it is.
#include <gtest/gtest.h>

#include "DemoTerminalText.h"

namespace {

TEST(DemoTerminalText, WritesWhatATerminalActsOnAsEscapes) {
    struct Row {
        std::string text;
        bool utf8, newlines;
        std::string shown;
    };
    const Row rows[] = {
        {"plain: 1, 2;x: 3", true, true, "plain: 1, 2;x: 3"},
        {"esc \x1b[2J\x1b[31mred\x1b[0m", true, true, "esc \\x1b[2J\\x1b[31mred\\x1b[0m"},
        {"title \x1b]0;pwned\x07", false, true, "title \\x1b]0;pwned\\x07"},
        {"tab\there\rcr\bbs\x7f", true, true, "tab\\x09here\\x0dcr\\x08bs\\x7f"},
        // the report's lines stay lines; a name's newline in a table does not
        {"one\ntwo", true, true, "one\ntwo"},
        {"one\ntwo", true, false, "one\\x0atwo"},
        // C1 controls, separators and bidirectional controls by code point
        {"c1 \xc2\x9b"
         "31m \xc2\x80",
         true, true, "c1 \\u009b31m \\u0080"},
        {"rtl \xe2\x80\xae"
         "x \xe2\x81\xa6y\xe2\x80\x8f \xd8\x9c \xe2\x80\xa8",
         true, true, "rtl \\u202ex \\u2066y\\u200f \\u061c \\u2028"},
        // the rest of UTF-8 as it is: accents, wide, combining, astral
        {"d\xc3\xa9j\xc3\xa0 \xe6\xbc\xa2 e\xcc\x81 \xf0\x9f\x99\x82", true, true,
         "d\xc3\xa9j\xc3\xa0 \xe6\xbc\xa2 e\xcc\x81 \xf0\x9f\x99\x82"},
        // bytes that are not UTF-8, each as itself
        {"bytes \xff\xfe cut \xe2\x82 over \xc0\xaf", true, true,
         "bytes \\xff\\xfe cut \\xe2\\x82 over \\xc0\\xaf"},
        {"\xe2\x82x", true, true, "\\xe2\\x82x"},
        // a terminal that is not UTF-8: nothing beyond ASCII
        {"d\xc3\xa9j\xc3\xa0 \xc2\x9b", false, true, "d\\xc3\\xa9j\\xc3\\xa0 \\xc2\\x9b"},
        {"", true, true, ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DemoTerminalText(row.text, row.utf8, row.newlines), row.shown) << row.text;
    }
}

}  // namespace
