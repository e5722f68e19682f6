#!/usr/bin/env bash
# qel-top against the demo host with 256 events (251 with hostile names),
# in tmux at 80x24 on a vt100 without colour and at 200x50 in colour: the
# table, the keys, resizes down to 20x6, a host that stops, and quitting;
# --once and its exit statuses; and against a status server gone wrong
# (tests/top/hostile_server.py): a redirect, an answer over 16 MiB, an
# error, figures no host sends, and a host that never answers, from which
# q quits at once.
#   qel_top_test.sh QEL_TOP QEL_DEMO SOURCE_DIR OUT_DIR
# The captures stay in OUT_DIR.
set -euo pipefail
top=$1 demo=$2 source=$3 out=$4
rm -rf "$out" && mkdir -p "$out"
checks_label=qel-top
. "$source/scripts/checks.sh"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url=http://127.0.0.1:$port
socket=qel-top-test-$$
pids=()
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
"$demo" --seconds 300 --report-every 300 --odd-events 251 --http "$port" >"$out/demo.log" 2>&1 &
demo_pid=$!
pids+=($demo_pid)
wait_for 30 "$top" --once "$url" || { echo "the demo does not answer"; cat "$out/demo.log"; exit 1; }

# --once: every event, nothing a terminal would act on, and the statuses.
LC_ALL=C.UTF-8 "$top" --once "$url" >"$out/once.txt"
check "--once: two header lines, the titles and 256 events" \
  test "$(wc -l <"$out/once.txt")" = 259
check "--once: no control character but newlines" \
  test "$(tr -d '\n' <"$out/once.txt" | LC_ALL=C grep -c '[[:cntrl:]]')" = 0
check "--once: the hostile names made harmless" \
  grep -qE '^title \?\]0;pwned\? ' "$out/once.txt"
status_of() { "$@" >"$out/status.out" 2>"$out/status.err" && echo 0 || echo $?; }
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
check "--once: 3 and the reason when nothing listens" \
  test "$(status_of "$top" --once "http://127.0.0.1:$closed")" = 3
check "--once: ... said as such" grep -q "^qel-top: cannot read http://127.0.0.1:$closed/stats.json: .*onnect" "$out/status.err"
check "--once: 3 for a 404" test "$(status_of "$top" --once "$url/metrics")" = 3
check "--once: ... said as such" \
  grep -qxF "qel-top: cannot read $url/metrics/stats.json: the server answered 404 (not found)" "$out/status.err"
mkdir -p "$out/site"
echo '<!DOCTYPE html><p>not it</p>' >"$out/site/stats.json"
other=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$out/site" "$other" >/dev/null 2>&1 &
pids+=($!)
wait_for 20 curl -sf "http://127.0.0.1:$other/stats.json"
check "--once: 4 for an answer that is not the statistics" \
  test "$(status_of "$top" --once "http://127.0.0.1:$other")" = 4
check "--once: ... said as such" grep -qxF \
  "qel-top: http://127.0.0.1:$other/stats.json did not answer with a host's statistics: it is not JSON" \
  "$out/status.err"
check "a usage error: 2" test "$(status_of "$top" --interval 0.1 "$url")" = 2
check "... said as such" grep -qxF "qel-top: --interval wants seconds from 0.2 to 3600, not '0.1'" "$out/status.err"
check "--once --width 80 --sort total: the total shown, and marked" \
  sh -c "LC_ALL=C.UTF-8 '$top' --once --width 80 --sort total '$url' | sed -n 3p |
         grep -qxE 'EVENT +MINUTE +▼TOTAL +PEAK/S +HIGH MARK +LATENCY ms'"
check "... a star where the terminal is not UTF-8" \
  sh -c "LC_ALL=C '$top' --once --width 80 --sort day '$url' | sed -n 3p |
         grep -qxE 'EVENT +MINUTE +\*DAY +PEAK/S +HIGH MARK +LATENCY ms'"

# A status server gone wrong.
python3 "$source/tests/top/hostile_server.py" "$out/hostile.ready" "$out/hostile.held" 200 &
pids+=($!)
wait_for 20 test -s "$out/hostile.ready" || { echo "the hostile server does not start"; exit 1; }
read -r hostile hang <"$out/hostile.ready"
bad=http://127.0.0.1:$hostile
check "--once: 4 for a redirect, which is not followed" test "$(status_of "$top" --once "$bad/redirect")" = 4
check "... said as such" grep -qxF "qel-top: $bad/redirect/stats.json did not answer with a host's statistics: \
the server answered 302 (a redirect to https://elsewhere.invalid/stats.json, not followed)" "$out/status.err"
check "--once: 4 for an answer over 16 MiB" test "$(status_of "$top" --once "$bad/big")" = 4
check "... said as such" grep -qxF \
  "qel-top: $bad/big/stats.json did not answer with a host's statistics: the answer is longer than 16 MiB" \
  "$out/status.err"
check "--once: 3 for an error status" test "$(status_of "$top" --once "$bad/error")" = 3
check "... said as such" grep -qxF "qel-top: cannot read $bad/error/stats.json: the server answered 503" "$out/status.err"
LC_ALL=C.UTF-8 "$top" --once --width 80 "$bad/numbers" >"$out/numbers-80.txt"
check "figures no host sends: no line wider than 80 columns" test "$(LC_ALL=C.UTF-8 wc -L <"$out/numbers-80.txt")" = 80
"$top" --once "$bad/numbers" >"$out/numbers.txt"
check "... times that cannot be shown as such" \
  grep -qxE "127.0.0.1:$hostile  figures of \? UTC  state collecting  thread running" "$out/numbers.txt"
check "... nor their difference" grep -qE "  last roll-up \?$" "$out/numbers.txt"
check "... each figure in its column, or the bound it passes" diff - <(sed -n '3,$p' "$out/numbers-80.txt") <<'TABLE'
EVENT                       ▼MINUTE       HOUR     PEAK/S  HIGH MARK  LATENCY ms
max                      4294967295 4294967295 4294967295          -           -
(no name)                         -          -          -          -        -0.5
huge latency                      -          -          -          - >99999999.9
huge mark                         -          -          - >999999999           -
low mark                          -          -          - <-99999999           -
TABLE

# The view in tmux. screen NAME: the pane as text (with attributes: -e).
screen() { tmux -L "$socket" capture-pane -p "$@" -t qel; }
shows() { screen | grep -qE "$1"; }
keys() { tmux -L "$socket" send-keys -t qel "$@"; }
# The server stays when its last session ends (exit-empty off): a session
# started while it exits would race it ("server exited unexpectedly").
tmux -L "$socket" -f /dev/null new-session -d -s qel -x 80 -y 24 \
  "env TERM=vt100 NO_COLOR=1 LANG=C.UTF-8 LC_ALL=C.UTF-8 $top --interval 0.3 $url; echo \$? >$out/status" \; \
  set-option -s exit-empty off
check "80x24: the table comes" wait_for 20 shows '^q quit  s sort:minute  / filter  Enter history  256 of 256 events'
screen >"$out/80x24.txt"
check "80x24: 24 lines, none wider than 80 columns" \
  test "$(wc -l <"$out/80x24.txt")" = 24 -a "$(LC_ALL=C.UTF-8 wc -L <"$out/80x24.txt")" -le 80
check "80x24: the header" grep -qE "^127.0.0.1:$port  figures of [0-9:]{8} UTC  state collecting  thread running" "$out/80x24.txt"
check "80x24: the columns that fit, the sorted one marked" \
  grep -qxE 'EVENT +▼MINUTE +HOUR +PEAK/S +HIGH MARK +LATENCY ms' "$out/80x24.txt"
check "80x24: the busiest event first" grep -qE '^rxPackets +[1-9]' <(sed -n 5p "$out/80x24.txt")
check "the names set no title" test "$(tmux -L "$socket" display -p -t qel '#{pane_title}')" != pwned
chosen_at() { screen -e | sed -n "$1p" | grep -qE $'^\e\\[(0;)?7m'; }  # in reverse video
for _ in $(seq 30); do keys j; done
check "j: down the list, out of the first screen" wait_for 10 chosen_at 23
keys s
check "s: sorted by the last hour" wait_for 10 shows ' s sort:hour '
check "... the hour marked" wait_for 10 shows '^EVENT +MINUTE +▼HOUR +PEAK/S '
check "... from the top: the first row chosen" wait_for 10 chosen_at 5
keys / e s c Enter
# The footer first: the row may be on the screen before the filter is.
check "/esc: counted as such, with how to clear it" \
  wait_for 10 shows '/ filter:esc \(Esc clears\)  Enter history  1 of 256 events'
check "... the one event, its escapes shown as text" shows '^esc \?\[2J\?\[31mred\?\[0m +[0-9]'
keys Enter
check "Enter: the event's history as bars" wait_for 10 shows '^Last 60 s up to [0-9:]{8} UTC, a column a second'
check "... with its scale" wait_for 10 shows '^ +0 \|#'
screen >"$out/80x24-history.txt"
keys Escape
check "any key: back to the table" wait_for 10 shows ' Enter history  1 of 256 events'
keys Escape
check "Esc clears the filter" wait_for 10 shows '^q quit  s sort:hour  / filter  Enter history  256 of 256 events'
keys / z z z Enter
check "a filter nothing matches says so, and how to clear it" \
  wait_for 10 shows '^\(no event.s name holds "zzz": Esc clears the filter\)'
keys / BSpace BSpace BSpace Enter
check "an empty filter shows every event" wait_for 10 shows ' Enter history  256 of 256 events'
keys S
check "S: back to the last minute" wait_for 10 shows ' s sort:minute '

# Each size: its titles, and a pane title that no name has set.
sized() {
  tmux -L "$socket" resize-window -t qel -x "$1" -y "$2"
  check "$1x$2: the columns that fit" wait_for 10 shows "$3"
  check "$1x$2: the names set no title" test "$(tmux -L "$socket" display -p -t qel '#{pane_title}')" != pwned
}
sized 20 6 '^EVENT {8}▼MINUTE$'
sized 33 10 '^EVENT +▼MINUTE$'
sized 57 15 '^EVENT +▼MINUTE +PEAK/S +LATENCY ms$'
sized 111 30 '^EVENT +▼MINUTE +HOUR +DAY +TOTAL +PEAK/S +PEAK AT +HIGH MARK +LATENCY ms$'
sized 200 50 '^EVENT {39}▼MINUTE +HOUR +DAY +TOTAL +PEAK/S +PEAK AT +HIGH MARK +LATENCY ms +MARK AT$'
screen >"$out/200x50.txt"
check "200x50: 50 lines" test "$(wc -l <"$out/200x50.txt")" = 50
check "200x50: the name in 40 columns" grep -qE '^rxPackets {31} +[0-9]+ ' "$out/200x50.txt"

kill "$demo_pid"
check "a host that stops: the refresh fails, said at once" \
  wait_for 15 shows '^! refresh failed at [0-9:]{8} UTC: .*onnect'
check "... and the header marks its figures stale" \
  shows "^127.0.0.1:$port  STALE: figures of [0-9:]{8} UTC"
screen >"$out/200x50-stopped.txt"
check "... in bold, without colour (NO_COLOR, vt100)" \
  test "$(screen -e | grep -cE $'\e\\[(1|0;1)m! refresh failed')" = 1 -a "$(screen -e | grep -c $'\e\\[3[0-8]m')" = 0
tmux -L "$socket" resize-window -t qel -x 80 -y 24
check "80x24: the reason wraps, whole" wait_for 10 sh -c "tmux -L '$socket' capture-pane -p -t qel | sed -n 4p | grep -q 'connect to server'"
check "... the table below it" wait_for 10 sh -c "tmux -L '$socket' capture-pane -p -t qel | sed -n 5p | grep -qE '^EVENT +▼MINUTE'"
screen >"$out/80x24-stopped.txt"
keys q
ended() { test "$(cat "$1" 2>/dev/null)" = 0; }
check "q: it ends with status 0" wait_for 10 ended "$out/status"

# Figures no host sends, at 80x24 and 20x6 (under the sanitizers too).
tmux -L "$socket" new-session -d -s numbers -x 80 -y 24 \
  "env TERM=vt100 LANG=C.UTF-8 LC_ALL=C.UTF-8 $top --interval 0.3 $bad/numbers; echo \$? >$out/numbers-status"
numbers() { tmux -L "$socket" capture-pane -p -t numbers | grep -qE "$1"; }
check "figures no host sends: shown in their columns" wait_for 10 numbers '^huge mark +- +- +- >999999999 +-$'
tmux -L "$socket" resize-window -t numbers -x 20 -y 6
check "... and at 20x6" wait_for 10 numbers '^max {7}4294967295$'
tmux -L "$socket" send-keys -t numbers q
check "... q: status 0" wait_for 10 ended "$out/numbers-status"

# A host that accepts and never answers: q does not wait for the time-out.
tmux -L "$socket" new-session -d -s hang -x 80 -y 24 \
  "env TERM=vt100 LANG=C.UTF-8 LC_ALL=C.UTF-8 $top --timeout 30 http://127.0.0.1:$hang; echo \$? >$out/hang-status"
check "a host that never answers holds the refresh" wait_for 20 test -s "$out/hostile.held"
check "... waited for" wait_for 10 sh -c "tmux -L '$socket' capture-pane -p -t hang | grep -q '^waiting for the first answer'"
tmux -L "$socket" send-keys -t hang q
check "... q: status 0 within 3 s, not after the 30 s time-out" wait_for 3 ended "$out/hang-status"

# In colour where the terminal has it: the warning (no host now) in red.
red() { tmux -L "$socket" capture-pane -p -e -t colour | grep -qE $'\e\\[31m(\e\\[[0-9;]*m)*no answer yet: '; }
tmux -L "$socket" new-session -d -s colour -x 100 -y 30 \
  "env TERM=xterm-256color LANG=C.UTF-8 LC_ALL=C.UTF-8 $top --interval 0.3 $url"
check "colour: the warning in red" wait_for 15 red
checks_done "captures in $out"
