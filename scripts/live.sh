#!/usr/bin/env bash
# The demo's HTTP side against real clients, on loopback:
#   promtool check metrics      on the demo's /metrics
#   a Prometheus server         scraping the demo every second; its query API
#                               must return qel_events_total for every
#                               counted event
#   headless Chromium           renders the status page; the rendered DOM must
#                               hold the charts and figures; a screenshot is
#                               kept in build/live/status-page.png
#   scripts/live.sh [demo port (18491)] [Prometheus port (19091)]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh live
port=${1:-18491}
promport=${2:-19091}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo
out=$PWD/build/live
rm -rf "$out" && mkdir -p "$out"

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
failures=0
successes=0
check() {  # check NAME COMMAND...: runs it, counts and prints the outcome
  local name=$1
  shift
  if "$@"; then
    echo "live: $name: ok"
    successes=$((successes + 1))
  else
    echo "live: $name: FAILED"
    failures=$((failures + 1))
  fi
}
# Waits up to $1 seconds for a command to succeed.
wait_for() {
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}

build/examples/qel_demo --seconds 90 --report-every 30 --http "$port" >"$out/demo.log" 2>&1 &
pids+=($!)
base=http://127.0.0.1:$port
wait_for 20 curl -sf "$base/metrics" || { echo "live: the demo does not answer"; cat "$out/demo.log"; exit 1; }
sleep 3  # a few roll-ups, so every family has its series
curl -sf "$base/metrics" >"$out/metrics.txt"
curl -sf "$base/stats.json" >"$out/stats.json"

check "promtool check metrics" promtool check metrics <"$out/metrics.txt"
counted=$(grep -o '^qel_events_total{event="[^"]*"' "$out/metrics.txt" | sed 's/.*event="//; s/"$//' | sort)
check "four counted events exposed" test "$(echo "$counted" | tr '\n' ' ')" = "reqDone reqStart rxPackets txDropped "

cat >"$out/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: qel_demo
    static_configs:
      - targets: ['127.0.0.1:$port']
EOF
prometheus --config.file="$out/prometheus.yml" --storage.tsdb.path="$out/tsdb" \
  --web.listen-address="127.0.0.1:$promport" >"$out/prometheus.log" 2>&1 &
pids+=($!)
query=http://127.0.0.1:$promport/api/v1/query
scraped() {
  curl -sf "$query" --data-urlencode 'query=qel_events_total{job="qel_demo"}' >"$out/query.json" &&
    [ "$(grep -o '"event":"[^"]*"' "$out/query.json" | sort -u | wc -l)" = 4 ]
}
check "Prometheus scraped qel_events_total of every counted event" wait_for 40 scraped
for event in $counted; do
  check "Prometheus has $event" grep -q "\"event\":\"$event\"" "$out/query.json"
done

browser() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$out/chromium" --window-size=1100,1500 --virtual-time-budget=4000 "$@" \
    "$base/" 2>>"$out/chromium.log"
}
browser --dump-dom >"$out/page.html"
check "page: a section per counted event" \
  test "$(grep -o '<section class="event"' "$out/page.html" | wc -l)" = 4
check "page: three charts per counted event" \
  test "$(grep -o '<svg class="chart"' "$out/page.html" | wc -l)" = 12
check "page: the seconds chart of rxPackets has bars" \
  grep -qE '<svg class="chart"[^>]*data-event="rxPackets" data-window="seconds"[^>]*><rect' "$out/page.html"
check "page: peaks, high-water mark and latency rows" \
  test "$(grep -oE '<td>(rxPackets|reqDone|queueDepth)</td><td>(peak per second|high-water mark|longest latency \(ms\))</td>' \
          "$out/page.html" | wc -l)" = 4
check "page: collecting" grep -q '<div id="status">collecting;' "$out/page.html"
browser --screenshot="$out/status-page.png" >/dev/null
check "page: screenshot" test -s "$out/status-page.png"

echo "live: $successes checks passed, $failures failed; screenshot in $out/status-page.png"
[ "$failures" = 0 ]
