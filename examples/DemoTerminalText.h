// The demo's report on a terminal. Event names are the host's bytes, and a
// terminal acts on some of them: an escape sequence in a name can clear the
// screen or set the window's title. To a terminal the demo writes those as
// escapes of plain ASCII; to a file or a pipe it writes the report as the
// collector gives it.
#ifndef QEL_DEMO_TERMINAL_TEXT_H
#define QEL_DEMO_TERMINAL_TEXT_H

#include <string>

// `text` with what a terminal acts on written as an escape: C0 controls and
// DEL as \xNN (newlines stay when `newlines`), C1 controls, bidirectional
// controls and line or paragraph separators as \uNNNN, and each byte that is
// not UTF-8 as \xNN. When `utf8` is false (a terminal that is not UTF-8),
// every byte beyond ASCII is written as \xNN.
std::string DemoTerminalText(const std::string& text, bool utf8, bool newlines);

#endif  // QEL_DEMO_TERMINAL_TEXT_H
