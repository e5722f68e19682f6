#!/usr/bin/env bash
# The status server against real clients, on loopback:
#   the demo (qel_demo --http)
#     promtool check metrics   on its /metrics
#     a Prometheus server      scraping it every second: qel_events_total of
#                              every counted event
#     exact routes             GET and HEAD on /metrics, /stats.json and /;
#                              405 with Allow for other methods; 404 elsewhere
#     hostile clients          every scrape (five a second, 1 s limit, from an
#                              address of its own) answered while 249
#                              addresses trickle heads or hold half TLS
#                              handshakes, 4 addresses x 16 trickle, 200
#                              connections hold the scraper's own address,
#                              wrong passwords pour in at 5,000 a second, and
#                              slowhttptest runs its slow-headers, slow-body
#                              and slow-read modes (scripts/lib/attacks.sh);
#                              the demo's threads and memory; malformed and
#                              absolute-form requests; 1000 start/stop cycles
#                              of the server with clients at it
#                              (bench/http_cycles.cpp)
#   the shipped alerting rules  promtool check rules, promtool test rules
#   a fleet of 20 demo hosts over HTTPS with basic auth and client
#   certificates, found by a Prometheus through file-based service discovery,
#   with the shipped alerts: QelNoCollectionThread fires for the one host
#   without a timer manager, and for no other; handshake and scrape times
#   the demo with 251 odd events more (--odd-events: 256 in all, with hostile
#   names), under a German locale
#     promtool check metrics, and a Prometheus scrape: target up, every series
#     of its /metrics present; its report writes latencies as "9.0"
#     the status page in headless Chromium, driven by puppeteer-core
#     (tests/browser): sort, filter, a shared link, a row's charts, a bar's
#     time and value under the pointer and the keyboard, contrast; at 360,
#     768, 1024, 1400 and 1920 px no sideways scrolling, names in 2 lines at
#     most of 12 characters a line or more, times inside the table, the
#     trend's range and a bar's time, and the 300-character name whole in a
#     tip on hover and focus and in its opened row; the warning and the stale
#     header once the server stops; screenshots in build/live/
#
# Its four servers take ports that are free when it starts, so that it can
# run beside anything else on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh live
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON -DQEL_BUILD_TESTS=ON \
      -DQEL_BUILD_HTTP=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo http_cycles
out=$PWD/build/live
rm -rf "$out" && mkdir -p "$out"

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
checks_label=live
. scripts/checks.sh

read -r port hostport < <(free_ports 2)
build/examples/qel_demo --seconds 600 --report-every 60 --http "$port" >"$out/demo.log" 2>&1 &
pids+=($!)
LC_ALL=de_DE.UTF-8 build/examples/qel_demo --seconds 600 --report-every 10 --odd-events 251 \
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

# --- Hostile clients ---------------------------------------------------------
# Each attack the server must withstand, and slowhttptest's three modes, while /metrics is
# scraped five times a second with a 1 s limit (scripts/lib/attacks.sh).
. scripts/lib/attacks.sh
run_attacks build/examples/qel_demo "$out/attacks"
# Malformed and absolute-form requests, as curl and a raw socket send them.
status_of() { curl -s -o /dev/null -w '%{http_code}' "$@" || true; }
raw() {  # raw TEXT: the head the demo answers to TEXT, sent in one piece
  python3 -c '
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.sendall(sys.argv[2].encode().decode("unicode_escape").encode("latin-1"))
answer = b""
while True:
    data = s.recv(4096)
    if not data:
        break
    answer += data
print(answer.split(b"\r\n\r\n")[0].decode("latin-1").replace("\r", ""))' "$port" "$1"
}
check "absolute-form target served" \
  test "$(status_of --request-target "http://127.0.0.1:$port/metrics" "$base/")" = 200
check "target * refused with 400" test "$(status_of --request-target '*' "$base/")" = 400
check "a malformed version: 400, none of the client's bytes in the head" \
  sh -c '[ "$(echo "$1" | head -n 1)" = "HTTP/1.1 400 Bad Request" ] && ! echo "$1" | grep -q pwned' _ \
  "$(raw 'GET /metrics HTTP/1.1 x\r\nSet-Cookie: pwned=1\r\nHost: x\r\n\r\n')"
check "Transfer-Encoding: gzip refused with 400" \
  test "$(raw 'GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n' | sed -n 1p)" = \
  "HTTP/1.1 400 Bad Request"
cycles=$(build/bench/http_cycles 1000)
echo "live: $cycles"
check "1000 start/stop cycles with clients: descriptors and memory flat" \
  grep -q 'descriptors left 0;' <<<"$cycles"

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
query_at() {  # query_at PORT PROMQL FILE: a Prometheus server's answer
  curl -sf "http://127.0.0.1:$1/api/v1/query" --data-urlencode "query=$2" >"$3"
}
query() { query_at "$promport" "$@"; }  # query PROMQL FILE
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

# --- A fleet over HTTPS --------------------------------------------------------
# 20 demo hosts serve over TLS with basic auth and client certificates
# (tests/data/tls/web.yml: the exporters' web configuration); a second
# Prometheus finds them through file-based service discovery and scrapes them
# with tls_config and basic_auth, with the shipped alerting rules loaded. One
# host withholds the timer manager: QelNoCollectionThread fires for it alone.
tls=$PWD/tests/data/tls
fleet=$out/fleet
mkdir -p "$fleet"
read -r -a fleet_ports < <(free_ports 20)
targets=()
for i in "${!fleet_ports[@]}"; do
  extra=()
  [ "$i" != 7 ] || extra=(--no-timer-manager)
  build/examples/qel_demo --seconds 150 --report-every 3600 --threads 1 --rate 50 \
    --http "${fleet_ports[$i]}" --web.config.file "$tls/web.yml" "${extra[@]}" \
    >"$fleet/host-$i.log" 2>&1 &
  pids+=($!)
  targets+=("\"127.0.0.1:${fleet_ports[$i]}\"")
done
broken=127.0.0.1:${fleet_ports[7]}
printf '[{"targets": [%s], "labels": {"site": "lab"}}]\n' "$(IFS=,; echo "${targets[*]}")" \
  >"$fleet/targets.json"
printf 'scrape-secret\n' >"$fleet/password"
cat >"$fleet/prometheus.yml" <<EOF2
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: ['$PWD/export/alerts/qel_alerts.yml']
scrape_configs:
  - job_name: fleet
    scheme: https
    tls_config:
      ca_file: $tls/ca.crt
      cert_file: $tls/client.crt
      key_file: $tls/client.key
    basic_auth:
      username: prom
      password_file: $fleet/password
    file_sd_configs:
      - files: ['$fleet/targets.json']
EOF2
tlsauth=(--cacert "$tls/ca.crt" --cert "$tls/client.crt" --key "$tls/client.key")
first=https://127.0.0.1:${fleet_ports[0]}
wait_for 30 curl -sf "${tlsauth[@]}" -u prom:scrape-secret "$first/metrics" ||
  { echo "live: the fleet does not answer"; cat "$fleet/host-0.log"; exit 1; }
check "https: no client certificate, 403" \
  test "$(status_of --cacert "$tls/ca.crt" -u prom:scrape-secret "$first/metrics")" = 403
check "https: a wrong password, 401" \
  test "$(status_of "${tlsauth[@]}" -u prom:wrong "$first/metrics")" = 401
# Handshake and scrape, each a new connection; the first from these
# credentials on the second host pays bcrypt, the rest find them remembered.
second=https://127.0.0.1:${fleet_ports[1]}
timing() { curl -s -o /dev/null "${tlsauth[@]}" -u prom:scrape-secret -w '%{time_appconnect} %{time_total}\n' "$second/metrics"; }
uncached=$(timing)
for _ in $(seq 20); do timing; done >"$fleet/timings.txt"
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "live: https scrape: TLS handshake $(cut -d' ' -f1 "$fleet/timings.txt" | median) s, whole" \
  "scrape $(cut -d' ' -f2 "$fleet/timings.txt" | median) s (medians of 20); the first, with" \
  "bcrypt: ${uncached#* } s"
fleetport=$(free_ports 1)
prometheus --config.file="$fleet/prometheus.yml" --storage.tsdb.path="$fleet/tsdb" \
  --web.listen-address="127.0.0.1:$fleetport" >"$fleet/prometheus.log" 2>&1 &
pids+=($!)
fleet_query() { query_at "$fleetport" "$@"; }  # fleet_query PROMQL FILE
all_up() {
  fleet_query 'count(up{job="fleet"} == 1)' "$fleet/up.json" &&
    grep -q '"value":\[[0-9.]*,"20"\]' "$fleet/up.json"
}
check "Prometheus scrapes all 20 hosts over https with basic auth and a client certificate" \
  wait_for 60 all_up
firing() {
  fleet_query 'ALERTS{alertname="QelNoCollectionThread",alertstate="firing"}' "$fleet/alerts.json" &&
    grep -q "\"instance\":\"$broken\"" "$fleet/alerts.json"
}
check "QelNoCollectionThread fires for the host without a timer manager" wait_for 60 firing
check "... and for no other" \
  test "$(grep -o '"instance":"[^"]*"' "$fleet/alerts.json" | sort -u)" = "\"instance\":\"$broken\""

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
# The registry can fail a download now and then: three tries.
npm_ci() { (cd tests/browser && npm ci --no-audit --no-fund --silent >/dev/null); }
npm_ci || { sleep 5; npm_ci; } || { sleep 15; npm_ci; }
browser_tests() {
  QEL_PAGE="$host/" QEL_SERVER_PID="$hostpid" QEL_SHOTS="$out" \
    node --test --test-reporter=tap tests/browser/status_page.test.mjs >"$out/browser.log" 2>&1
  local status=$?
  grep -E '^# refresh with|^ *(not )?ok [0-9]+ - ' "$out/browser.log" | sed 's/^ */live:   /'
  # A failed test's own words (its assertion and where), for the log.
  [ "$status" = 0 ] || grep -A 12 -E '^ *not ok [0-9]+ - ' "$out/browser.log" | sed 's/^/live:   | /'
  return $status
}
check "status page in Chromium: sort, filter, link, charts, pointer, keyboard, contrast, five widths, long names, stopped server" \
  browser_tests
# The demo's page at 1400 px, with its first event opened, for the README
# (docs/status-page.png).
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$out/chromium" --window-size=1400,900 --virtual-time-budget=5000 \
  --screenshot="$out/status-page.png" "$base/?open=0" >/dev/null 2>>"$out/chromium.log"
check "page: screenshot of the demo" test -s "$out/status-page.png"

checks_done "screenshots in $out"
