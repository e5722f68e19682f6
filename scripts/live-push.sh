#!/usr/bin/env bash
# The push add-on against real receivers, on loopback (about 3 minutes):
#   20 demo hosts without a listening port push every 2 s to one Prometheus
#   whose remote-write receiver sits behind TLS, client certificates and basic
#   auth (tests/data/tls/web.yml), with the shipped alerts loaded:
#     every board's series can be queried;
#     one board is SIGKILLed: QelBoardSilent fires for it alone;
#     the receiver is stopped for 60 s and started again: after the catch-up,
#       each board's qel_events_total has a sample for every interval over
#       the window (count_over_time equals the intervals): no gap;
#     a board with a spool is SIGKILLed during that outage and started again:
#       its samples from before the kill arrive (at most the last interval lost);
#   VictoriaMetrics, a second receiver of one board: the same series with the
#     same values and times as Prometheus;
#   a receiver of the project's own (tests/push/push_test_receiver) answers
#     500, 400, then 429 with Retry-After: 3: the batch is retried, dropped,
#     and retried no sooner than 3 s later; the board's log says so once each.
# The servers take ports that are free when it starts.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh live
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON -DQEL_BUILD_TESTS=ON \
      -DQEL_BUILD_PUSH=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo push_test_receiver
out=$PWD/build/live-push
rm -rf "$out" && mkdir -p "$out"
tls=$PWD/tests/data/tls
interval=2

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
checks_label=live-push
. scripts/checks.sh
started=$SECONDS

read -r promport vmport < <(free_ports 2)
printf 'scrape-secret\n' >"$out/password"
chmod 600 "$out/password"
cat >"$out/prometheus.yml" <<EOF2
global:
  evaluation_interval: 1s
rule_files: [$PWD/export/alerts/qel_alerts.yml]
EOF2
prometheus_start() {
  prometheus --config.file="$out/prometheus.yml" --storage.tsdb.path="$out/tsdb" \
    --web.listen-address="127.0.0.1:$promport" --web.config.file="$tls/web.yml" \
    --web.enable-remote-write-receiver >>"$out/prometheus.log" 2>&1 &
  prompid=$!
  pids+=($prompid)
}
prometheus_start
victoria-metrics -httpListenAddr="127.0.0.1:$vmport" -storageDataPath="$out/vm" \
  >"$out/victoria-metrics.log" 2>&1 &
pids+=($!)
query() {  # query PROMQL FILE: Prometheus's answer, over TLS with basic auth
  curl -sf --cacert "$tls/ca.crt" --cert "$tls/client.crt" --key "$tls/client.key" \
    -u prom:scrape-secret "https://127.0.0.1:$promport/api/v1/query" --data-urlencode "query=$1" >"$2"
}
wait_for 30 query 'up' "$out/up.json" || { echo "live-push: Prometheus does not answer"; cat "$out/prometheus.log"; exit 1; }
wait_for 30 curl -sf "http://127.0.0.1:$vmport/health" ||
  { echo "live-push: VictoriaMetrics does not answer"; cat "$out/victoria-metrics.log"; exit 1; }

# board NN [EXTRA YAML]: a demo host that pushes to Prometheus every 2 s, its
# spool in a folder of its own.
board_config() {
  cat >"$out/board$1.yml" <<EOF2
url: https://127.0.0.1:$promport/api/v1/write
interval: ${interval}s
external_labels: {instance: board$1, site: live}
basic_auth: {username: prom, password_file: $out/password}
tls_config: {ca_file: $tls/ca.crt, cert_file: $tls/client.crt, key_file: $tls/client.key}
queue_config: {batch_send_deadline: 200ms, min_backoff: 100ms, max_backoff: 2s}
spool: {directory: $out/spool$1, max_bytes: 4MiB}
EOF2
}
board() {
  build/examples/qel_demo --seconds 900 --report-every 900 --threads 1 --rate 200 --log-level 6 \
    --push.config "$out/board$1.yml" "${@:2}" >>"$out/board$1.log" 2>&1 &
  boardpid[10#$1]=$!
  pids+=($!)
}
declare -a boardpid
boards=$(seq -w 1 20)
for n in $boards; do board_config "$n"; done
printf '%s\n' "url: http://127.0.0.1:$vmport/api/v1/write" "interval: ${interval}s" \
  "external_labels: {instance: board19, site: live}" >"$out/board19-vm.yml"
for n in $boards; do
  if [ "$n" = 19 ]; then board "$n" --push.config "$out/board19-vm.yml"; else board "$n"; fi
done

# The receiver of our own: 500, 400, then 429 with Retry-After: 3.
build/tests/push/push_test_receiver "$out/receiver.port" 200 500,400,429:3 >"$out/receiver.log" 2>&1 &
pids+=($!)
wait_for 10 test -s "$out/receiver.port"
printf '%s\n' "url: http://127.0.0.1:$(cat "$out/receiver.port")/api/v1/write" "interval: 1s" \
  "external_labels: {instance: probe}" \
  "queue_config: {batch_send_deadline: 100ms, min_backoff: 100ms, max_backoff: 1s, retry_on_http_429: true}" \
  >"$out/probe.yml"
build/examples/qel_demo --seconds 900 --report-every 900 --threads 1 --rate 100 --log-level 6 \
  --push.config "$out/probe.yml" >"$out/probe.log" 2>&1 &
pids+=($!)

# --- Every board's series ---------------------------------------------------------
all_boards() {
  query 'count(count by (instance) (qel_events_total{site="live"}))' "$out/boards.json" &&
    grep -q '"value":\[[0-9.]*,"20"\]' "$out/boards.json"
}
check "Prometheus holds the series of all 20 boards, pushed over https with basic auth" \
  wait_for 60 all_boards
every_event() {
  query 'count by (instance) (qel_events_total{site="live"})' "$out/events.json" &&
    [ "$(grep -o '"value":\[[0-9.]*,"4"\]' "$out/events.json" | wc -l)" = 20 ]
}
check "... each with its four counted events" wait_for 20 every_event
query '{instance="board02"}' "$out/board02.json"
check "... and the families of /metrics with the pusher's own" \
  grep -q '"__name__":"qel_push_samples_sent_total"' "$out/board02.json"

# --- QelBoardSilent ---------------------------------------------------------------
kill -KILL "${boardpid[1]}"
silent() {
  query 'ALERTS{alertname="QelBoardSilent",alertstate="firing"}' "$out/silent.json" &&
    grep -q '"instance":"board01"' "$out/silent.json"
}
check "QelBoardSilent fires for the board killed" wait_for 40 silent
check "... and for no other" \
  test "$(grep -o '"instance":"[^"]*"' "$out/silent.json" | sort -u)" = '"instance":"board01"'

# --- 60 s without the receiver, a board killed and started again meanwhile ---------
sleep "$interval"
outage_start=$(date +%s)
kill -TERM "$prompid"
wait "$prompid" 2>/dev/null || true
sleep 20
killed_at=$(date +%s)
kill -KILL "${boardpid[20]}"
board 20
sleep $((60 - ($(date +%s) - outage_start)))
outage_end=$(date +%s)
prometheus_start
wait_for 30 query 'up' "$out/up.json"
caught_up() {
  query 'count(max by (instance) (qel_push_samples_pending{site="live"}) == 0 and on(instance)
           (time() - timestamp(qel_push_samples_pending{site="live"}) < 5))' "$out/caught.json" &&
    grep -q '"value":\[[0-9.]*,"19"\]' "$out/caught.json"
}
check "after the outage every board catches up (nothing pending, samples current)" wait_for 90 caught_up
window=$(($(date +%s) - outage_start + 30))
query "qel_events_total{site=\"live\",event=\"rxPackets\"}[${window}s]" "$out/window.json"
# Per board: samples, the intervals they span, the largest gap.
python3 - "$out/window.json" "$interval" "$outage_start" "$killed_at" >"$out/gaps.txt" <<'EOF2'
import json, sys
data = json.load(open(sys.argv[1]))["data"]["result"]
step, start, killed = float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
for series in sorted(data, key=lambda s: s["metric"]["instance"]):
    times = [float(t) for t, _ in series["values"]]
    gaps = [b - a for a, b in zip(times, times[1:])]
    intervals = round((times[-1] - times[0]) / step) + 1
    before_kill = sum(1 for t in times if start <= t <= killed)
    print(series["metric"]["instance"], len(times), intervals, max(gaps, default=0), before_kill,
          int((killed - start) / step))
EOF2
cat "$out/gaps.txt" | sed 's/^/live-push:   /'
no_gap() {  # every board but the two killed: a sample each interval
  awk '$1 != "board01" && $1 != "board20" { n++; if ($2 != $3 || $4 > 1.5 * '"$interval"') bad++ }
       END { exit !(n == 18 && bad == 0) }' "$out/gaps.txt"
}
check "count_over_time of qel_events_total equals the intervals over the outage, for each of 18 boards" no_gap
before_kill() {  # board20: what it had before the SIGKILL arrived, less the last interval at most
  awk '$1 == "board20" { found = 1; ok = ($5 >= $6 - 1) } END { exit !(found && ok) }' "$out/gaps.txt"
}
check "the board killed during the outage sent its spool after its restart" before_kill
check "... and said so when it started again" \
  grep -q 'samples from the spool are sent first' "$out/board20.log"

# --- VictoriaMetrics: the same series, values and times --------------------------
# Both of board19's pushers send the same snapshots, each at its own tick;
# the window spans Prometheus's outage and catch-up.
from=$((outage_start - 10))
to=$(($(date +%s) - 5))
match='{instance="board19",__name__=~"qel_events_.*"}'
curl -sf "http://127.0.0.1:$vmport/api/v1/export" --data-urlencode "match[]=$match" \
  --data-urlencode "start=$from" --data-urlencode "end=$to" >"$out/vm-export.json"
query "$match[$((to - from))s] @ $to" "$out/prom-board19.json"
python3 - "$out/vm-export.json" "$out/prom-board19.json" >"$out/compare.txt" <<'EOF2'
import json, sys
def key(metric):
    return tuple(sorted(metric.items()))
vm = {}
for line in open(sys.argv[1]):
    if line.strip():
        s = json.loads(line)
        vm[key(s["metric"])] = list(zip(s["timestamps"], map(float, s["values"])))
prom = {}
for s in json.load(open(sys.argv[2]))["data"]["result"]:
    prom[key(s["metric"])] = [(round(float(t) * 1000), float(v)) for t, v in s["values"]]
# Samples of one tick of both pushers (times within 50 ms) share one
# snapshot, so their values must be equal; a tick that one pusher took late
# (behind a slow send) took a snapshot of its own.
same = bool(vm) and vm.keys() == prom.keys()
pairs = unequal = 0
for k in prom if same else []:
    times = dict(vm[k])
    for t, v in prom[k]:
        near = [u for u in times if abs(u - t) <= 50]
        if near:
            pairs += 1
            unequal += times[near[0]] != v
total = sum(map(len, prom.values()))
same = same and unequal == 0 and pairs >= 0.8 * total
print("series", len(vm), len(prom), "samples", sum(map(len, vm.values())), total,
      "of one tick", pairs, "unequal", unequal)
print("same" if same else "different")
EOF2
sed 's/^/live-push:   /' "$out/compare.txt"
check "VictoriaMetrics holds the same series with the same values (times within 50 ms)" \
  grep -qx same "$out/compare.txt"

# --- The receiver of our own: 500, 400, 429 with Retry-After ----------------------
field() { awk -v n="$1" -v f="$2" '$1 == "request" && $2 == n { for (i = 3; i < NF; i++) if ($i == f) print $(i + 1) }' "$out/receiver.log"; }
sed -n '1,5s/^/live-push:   /p' "$out/receiver.log"
check "500: the same batch sent again" test "$(field 1 first)" = "$(field 2 first)"
check "400: dropped, the next request carries later samples" \
  test "$(field 3 first | cut -d= -f1)" -gt "$(field 2 first | cut -d= -f1)"
check "429 with Retry-After: 3: the same batch again, 3 s later or more" \
  test "$(field 3 first)" = "$(field 4 first)" -a $(($(field 4 at) - $(field 3 at))) -ge 3000
check "the board's log: a failure once for each run of failures, the refusal, the recoveries" \
  test "$(grep -c 'cannot send to' "$out/probe.log")-$(grep -c 'refused .* samples with 400: scripted 400' "$out/probe.log")-$(grep -c 'again after 1 failed requests' "$out/probe.log")" = 2-1-2

echo "live-push: run time $((SECONDS - started)) s"
checks_done
