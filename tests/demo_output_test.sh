#!/usr/bin/env bash
# The demo's output with hostile event names (--odd-events): to a pipe, the
# report as the collector gives it, escape sequences and all; to a terminal
# (a pty, through script(1)), nothing a terminal would act on, under a UTF-8
# and a C locale.
#   demo_output_test.sh QEL_DEMO OUT_DIR
set -euo pipefail
demo=$1 out=$2
rm -rf "$out" && mkdir -p "$out"
checks_label=demo-output
. "$(dirname "$0")/../scripts/checks.sh"
run=(--seconds 2 --report-every 1 --threads 1 --rate 100 --odd-events 251)

LC_ALL=C.UTF-8 "$demo" "${run[@]}" | cat >"$out/piped.txt"
check "to a pipe: the reports come" test "$(grep -c '^=== report after' "$out/piped.txt")" = 2
# name (what the log says of it), then its bytes: each as it is
while read -r label; read -r name; do
  check "to a pipe: $label as it is" grep -qaF ";$(printf "$name"): " "$out/piped.txt"
done <<'NAMES'
an escape that clears the screen
esc \033[2J\033[31mred\033[0m
one that sets the title
title \033]0;pwned\007
a C1 control
c1 \302\23331m
a right-to-left override
rtl \342\200\256desrever
bytes that are not UTF-8
bytes \377\376 not utf-8
tab, carriage return, backspace
tab\there\rcr\bbs
NAMES

# On a terminal: every control character but the line ends written as an
# escape, and each name there, escaped, in the report and in the tables.
controls() { LC_ALL=C tr -d '\r\n' <"$1" | LC_ALL=C grep -ac '[[:cntrl:]]' || true; }
for locale in C.UTF-8 C; do
  tty=$out/terminal-$locale.txt
  LC_ALL=$locale script -qec "$(printf '%q ' "$demo" "${run[@]}")" /dev/null </dev/null >"$tty"
  check "$locale terminal: the reports come" test "$(grep -c '^=== report after' "$tty")" = 2
  check "$locale terminal: no control character but CR LF" test "$(controls "$tty")" = 0
  for name in 'esc \x1b[2J\x1b[31mred\x1b[0m' 'title \x1b]0;pwned\x07' 'bytes \xff\xfe not utf-8' \
              'tab\x09here\x0dcr\x08bs' 'new\x0aline' 'cut short \xe2\x82'; do
    check "$locale terminal: $name" grep -qF "  $name " "$tty"
  done
done
tty=$out/terminal-C.UTF-8.txt
check "UTF-8 terminal: no C1 control, no bidirectional override" \
  test "$(LC_ALL=C grep -acE $'\xc2[\x80-\x9f]|\xe2\x80[\xaa-\xae]' "$tty" || true)" = 0
check "UTF-8 terminal: C1 controls and overrides written as escapes" \
  grep -qF ';c1 \u009b31m: ' "$tty"
check "... in the report" grep -qF ';rtl \u202edesrever: ' "$tty"
check "UTF-8 terminal: the rest of UTF-8 as it is" grep -qF $'  wide \xe6\xbc\xa2\xe5\xad\x97' "$tty"
tty=$out/terminal-C.txt
check "C terminal: nothing beyond ASCII" test "$(LC_ALL=C grep -ac $'[\x80-\xff]' "$tty" || true)" = 0
check "C terminal: bytes beyond ASCII written as escapes" grep -qF ';d\xc3\xa9j\xc3\xa0 vu: ' "$tty"
checks_done "outputs in $out"
