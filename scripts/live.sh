#!/usr/bin/env bash
# The status server against real clients, on loopback:
#   the demo (qel_demo --http)
#     promtool check metrics   on its /metrics
#     a Prometheus server      scraping it every second: qel_events_total of
#                              every counted event
#     exact routes             GET and HEAD on /metrics, /stats.json and /;
#                              405 with Allow for other methods; 404 elsewhere
#     16 held connections      half idle, half trickling a byte a second: every
#                              scrape is still answered within a second; the
#                              same against 4 worker threads must fail, which
#                              shows that the held connections bite
#   the shipped alerting rules  promtool check rules, promtool test rules
#   the demo with 251 odd events more (--odd-events: 256 in all, with hostile
#   names), under a German locale
#     promtool check metrics, and a Prometheus scrape: target up, every series
#     of its /metrics present; its report writes latencies as "9.0"
#     the status page in headless Chromium, driven by puppeteer-core
#     (tests/browser): sort, filter, a shared link, a row's charts, a bar's
#     time and value under the pointer and the keyboard, contrast; at 360,
#     768, 1024, 1400 and 1920 px no sideways scrolling, names of 12
#     characters a line or more, times inside the table, the trend's range
#     and a bar's time; the warning and the stale header once the server
#     stops; screenshots in build/live/
#
# Its four servers take ports that are free when it starts, so that it can
# run beside anything else on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh live
# free_ports N: N ports that the kernel hands out, held together so that
# they differ, then freed for the servers to take right away.
free_ports() {
  python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))' "$1"
}
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON -DQEL_BUILD_TESTS=ON \
      -DQEL_BUILD_HTTP=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo
out=$PWD/build/live
rm -rf "$out" && mkdir -p "$out"

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
checks_label=live
. scripts/checks.sh

read -r port hostport < <(free_ports 2)
build/examples/qel_demo --seconds 120 --report-every 60 --http "$port" >"$out/demo.log" 2>&1 &
pids+=($!)
LC_ALL=de_DE.UTF-8 build/examples/qel_demo --seconds 180 --report-every 10 --odd-events 251 \
  --http "$hostport" >"$out/host.log" 2>&1 &
hostpid=$!
pids+=($hostpid)
base=http://127.0.0.1:$port
host=http://127.0.0.1:$hostport
wait_for 20 curl -sf "$base/metrics" || { echo "live: the demo does not answer"; cat "$out/demo.log"; exit 1; }
wait_for 20 curl -sf "$host/metrics" || { echo "live: the demo with odd events does not answer"; cat "$out/host.log"; exit 1; }
sleep 3  # a few roll-ups, so every family has its series
curl -sf "$base/metrics" >"$out/metrics.txt"
curl -sf "$base/stats.json" >"$out/stats.json"
curl -sf "$host/metrics" >"$out/host-metrics.txt"

check "promtool check metrics (demo)" promtool check metrics <"$out/metrics.txt"
counted=$(grep -o '^qel_events_total{event="[^"]*"' "$out/metrics.txt" | sed 's/.*event="//; s/"$//' | sort)
check "four counted events exposed" test "$(echo "$counted" | tr '\n' ' ')" = "reqDone reqStart rxPackets txDropped "
check "promtool check metrics (hostile names)" promtool check metrics <"$out/host-metrics.txt"
check "promtool check rules (the shipped alerts)" promtool check rules export/alerts/qel_alerts.yml
check "promtool test rules (each alert fires on its series, and only there)" \
  sh -c 'cd export/alerts && promtool test rules qel_alerts_test.yml'
check "metrics: the collection thread runs, nothing refused, roll-ups dated" \
  test "$(grep -cE '^(qel_collection_thread_running 1|qel_reports_refused_total\{reason="[a-z_]+"\} 0|qel_last_rollup_timestamp_seconds [1-9][0-9]+)$' "$out/metrics.txt")" = 4

# --- Exact routes ------------------------------------------------------------
answer() {  # answer METHOD PATH: the status code, and the Allow header if any
  local how=(-X "$1")
  [ "$1" != HEAD ] || how=(-I)
  { curl -s -o /dev/null "${how[@]}" --max-time 5 -D - "$base$2" || true; } |
    tr -d '\r' | awk 'NR == 1 { code = $2 } /^Allow:/ { allow = $0 } END { print code, allow }'
}
routes_ok=1
for path in /metrics /stats.json /; do
  for method in GET HEAD; do
    got=$(answer $method "$path")
    [ "$got" = "200 " ] || { echo "live: $method $path gave '$got'"; routes_ok=0; }
  done
  for method in POST PUT DELETE PATCH OPTIONS TRACE; do
    got=$(answer $method "$path")
    [ "$got" = "405 Allow: GET, HEAD" ] || { echo "live: $method $path gave '$got'"; routes_ok=0; }
  done
done
for path in /metrics.bak /METRICS /metrics/ /stats.json/x /index.html /%6Detrics; do
  for method in GET HEAD POST; do
    got=$(answer $method "$path")
    [ "$got" = "404 " ] || { echo "live: $method $path gave '$got'"; routes_ok=0; }
  done
done
check "routes: GET and HEAD only, on three exact paths" test $routes_ok = 1

# --- Held connections ----------------------------------------------------------
# hold MODE PORT UNTIL: keeps one connection open until UNTIL (epoch seconds),
# opening it again whenever the server drops it; idle sends nothing, trickle
# sends one byte a second and never finishes its request.
hold() {
  trap '' PIPE
  local fd
  while [ "$(date +%s)" -lt "$3" ]; do
    if ! exec {fd}<>"/dev/tcp/127.0.0.1/$2"; then sleep 0.2; continue; fi
    if [ "$1" = idle ]; then
      read -r -t "$(($3 - $(date +%s) + 1))" -u "$fd" _ || true
    else
      while [ "$(date +%s)" -lt "$3" ] && printf G >&"$fd"; do sleep 1; done
    fi
    exec {fd}>&-
  done 2>/dev/null
}
# under_siege PORT: 16 held connections for 14 s; meanwhile /metrics is
# scraped five times a second for 10 s, each with a 1 s limit. Prints
# "answered tried worst-seconds".
under_siege() {
  local until=$(($(date +%s) + 14)) holders=() i answered=0 tried=0 worst=0 result
  for i in $(seq 8); do
    hold idle "$1" $until & holders+=($!)
    hold trickle "$1" $until & holders+=($!)
  done
  sleep 2
  local stop=$(($(date +%s) + 10))
  while [ "$(date +%s)" -lt $stop ]; do
    result=$(curl -s -o /dev/null --max-time 1 -w '%{http_code} %{time_total}' \
             "http://127.0.0.1:$1/metrics" || true)
    tried=$((tried + 1))
    [ "${result%% *}" = 200 ] && answered=$((answered + 1))
    worst=$(echo "$worst ${result##* }" | awk '{ print ($2 > $1) ? $2 : $1 }')
    sleep 0.2
  done
  kill "${holders[@]}" 2>/dev/null || true
  wait "${holders[@]}" 2>/dev/null || true
  echo "$answered $tried $worst"
}
siege=$(under_siege "$port")
echo "live: 16 held connections, default workers: answered tried worst-s = $siege"
read -r answered tried worst <<<"$siege"
check "scrapes answered within 1 s while 16 connections are held" \
  test "$answered" = "$tried" -a "$tried" -ge 20
controlport=$(free_ports 1)
build/examples/qel_demo --seconds 40 --http "$controlport" --http-threads 4 \
  >"$out/control.log" 2>&1 &
pids+=($!)
wait_for 20 curl -sf "http://127.0.0.1:$controlport/metrics"
control=$(under_siege "$controlport")
echo "live: 16 held connections, 4 workers (control): answered tried worst-s = $control"
read -r answered tried worst <<<"$control"
check "control: with 4 workers the held connections do stall scrapes" test "$answered" -lt "$tried"

# --- Prometheus ------------------------------------------------------------------
cat >"$out/prometheus.yml" <<EOF2
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: qel_demo
    static_configs:
      - targets: ['127.0.0.1:$port']
  - job_name: hostile
    static_configs:
      - targets: ['127.0.0.1:$hostport']
EOF2
promport=$(free_ports 1)
prometheus --config.file="$out/prometheus.yml" --storage.tsdb.path="$out/tsdb" \
  --web.listen-address="127.0.0.1:$promport" >"$out/prometheus.log" 2>&1 &
pids+=($!)
query() {  # query PROMQL FILE
  curl -sf "http://127.0.0.1:$promport/api/v1/query" --data-urlencode "query=$1" >"$2"
}
scraped() {
  query 'qel_events_total{job="qel_demo"}' "$out/query.json" &&
    [ "$(grep -o '"event":"[^"]*"' "$out/query.json" | sort -u | wc -l)" = 4 ]
}
check "Prometheus scraped qel_events_total of every counted event" wait_for 40 scraped
for event in $counted; do
  check "Prometheus has $event" grep -q "\"event\":\"$event\"" "$out/query.json"
done
# Every sample line of the hostile /metrics is a series Prometheus holds.
series=$(grep -vc '^#' "$out/host-metrics.txt")
hostile_complete() {
  query 'up{job="hostile"}' "$out/up.json" && grep -q '"value":\[[0-9.]*,"1"\]' "$out/up.json" &&
    query 'count({job="hostile",__name__=~"qel_.*"})' "$out/count.json" &&
    grep -q "\"value\":\[[0-9.]*,\"$series\"\]" "$out/count.json"
}
check "Prometheus: hostile target up, all $series series present" wait_for 40 hostile_complete

# --- Locale ----------------------------------------------------------------------
check "German locale: the report writes latencies as 9.0" \
  grep -qE 'Latency \(ms\): [0-9]+\.0,20' "$out/host.log"
check "German locale: no decimal comma in the exposition" \
  test "$(grep -cE '^qel_latency_max_seconds\{.*\} 0\.[0-9]+$' "$out/host-metrics.txt")" = 1

# --- The status page -------------------------------------------------------------
# Driven as a person uses it (tests/browser, puppeteer-core with Debian's
# Chromium) on the 256 events of the demo with odd events; its last test
# stops that demo and waits for the page to say so. Screenshots are kept in
# build/live/.
(cd tests/browser && npm ci --no-audit --no-fund --silent >/dev/null)
browser_tests() {
  QEL_PAGE="$host/" QEL_SERVER_PID="$hostpid" QEL_SHOTS="$out" \
    node --test --test-reporter=tap tests/browser/status_page.test.mjs >"$out/browser.log" 2>&1
  local status=$?
  grep -E '^# refresh with|^ *(not )?ok [0-9]+ - ' "$out/browser.log" | sed 's/^ */live:   /'
  return $status
}
check "status page in Chromium: sort, filter, link, charts, pointer, keyboard, contrast, five widths, stopped server" \
  browser_tests
# The demo's page at 1400 px, with its first event opened, for the README
# (docs/status-page.png).
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$out/chromium" --window-size=1400,900 --virtual-time-budget=5000 \
  --screenshot="$out/status-page.png" "$base/?open=0" >/dev/null 2>>"$out/chromium.log"
check "page: screenshot of the demo" test -s "$out/status-page.png"

checks_done "screenshots in $out"
