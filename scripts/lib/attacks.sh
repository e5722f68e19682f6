# Sourced by live.sh: the status server against clients that want to silence
# it, each attack with real tools (tests/http/slot_holder.py,
# tests/http/password_flood.py, slowhttptest) while curl scrapes /metrics
# five times a second, each scrape with a 1 s limit and whether the last was
# answered or not, from an address of its own, 127.0.0.251:
#   trickle-249     249 addresses (127.0.0.2-250), each holding 1 connection
#                   that trickles a request head
#   tls-half-249    249 addresses, each holding half a TLS handshake, against
#                   a demo over HTTPS with client certificates and basic auth
#   trickle-4x16    4 addresses x 16 trickling connections (each address at
#                   its bound, the server at its limit)
#   same-address    200 connections from the scraper's own address: idle,
#                   trickling and half a head in turn
#   password-flood  wrong passwords, about 5,000 a second from 8 addresses,
#                   on a demo with basic auth that has just started; the
#                   scraper sends the right one
#   slow-headers, slow-body, slow-read
#                   slowhttptest's three modes, 200 connections from
#                   127.0.0.1
# Each prints "live: ATTACK: answered/tried scrapes answered", what the
# others got, and the demo's threads and memory meanwhile; every scrape
# must be answered.
#   run_attacks DEMO OUT
# needs check and wait_for (checks.sh), and python3 at /usr/bin/python3.
attack_seconds=8   # of scraping: 40 tries
scraper_from=127.0.0.251

attack_ports() {  # attack_ports N: N free ports
  /usr/bin/python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))' "$1"
}

# scrape_while SECONDS URL CURL-ARGS...: GET URL five times a second, each with
# a 1 s limit, from $scraper_from, whether the last has been answered or
# not; prints "answered tried others" (others: what the rest got, "000" for
# no answer within 1 s).
scrape_while() {
  local tries=$(($1 * 5)) url=$2 dir i scrapers=()
  shift 2
  dir=$(mktemp -d "$attack_out/scrapes.XXXXXX")
  for i in $(seq "$tries"); do
    curl -s -o /dev/null --interface "$scraper_from" --max-time 1 -w '%{http_code}\n' \
      "$@" "$url" >"$dir/$i" 2>/dev/null &
    scrapers+=($!)
    sleep 0.2
  done
  wait "${scrapers[@]}" 2>/dev/null
  echo "$(cat "$dir"/* | grep -c '^200$') $tries $(cat "$dir"/* | grep -v '^200$' | sort | uniq -c |
    awk '{ printf "%s%s x%s", sep, $2, $1; sep = "," }')"
  rm -rf "$dir"
}

# use PID: the process's threads and resident memory.
use() { echo "$(ls "/proc/$1/task" | wc -l) threads, $(awk '/^VmRSS/ { print $2 }' "/proc/$1/status") KiB"; }

# attack NAME PID URL [CURL-ARGS...] -- COMMAND...: runs COMMAND (the
# attacker, bounded in time) and, once it has had 1.5 s to take hold, scrapes
# URL; reports and checks the outcome, with the demo's use (PID) as the
# scraping starts and ends.
attack() {
  local name=$1 pid=$2 url=$3 curl_args=() attacker result answered tried others at_start at_end
  shift 3
  while [ "$1" != -- ]; do curl_args+=("$1"); shift; done
  shift
  "$@" >"$attack_out/$name.log" 2>&1 &
  attacker=$!
  sleep 1.5
  at_start=$(use "$pid")
  result=$(scrape_while "$attack_seconds" "$url" "${curl_args[@]}")
  at_end=$(use "$pid")
  wait "$attacker" || true
  read -r answered tried others <<<"$result"
  echo "live: $name: $answered/$tried scrapes answered${others:+ (others: $others)};" \
    "demo $at_start, then $at_end; attacker:" \
    "$(sed 's/\x1b\[[0-9;]*m//g' "$attack_out/$name.log" | grep -E '^(slot_holder|password_flood|Exit status)' |
      tr -s ' ' | tail -n 1)"
  check "$name: every scrape answered within 1 s" test "$answered" = "$tried" -a "$tried" -ge 30
}

run_attacks() {
  local demo=$1 plain tls auth tlsdir=$PWD/tests/data/tls holder flood attack_pids=() pid mode
  attack_out=$2
  mkdir -p "$attack_out"
  holder=(/usr/bin/python3 tests/http/slot_holder.py)
  flood=(/usr/bin/python3 tests/http/password_flood.py)
  read -r plain tls auth < <(attack_ports 3)
  "$demo" --seconds 600 --report-every 3600 --threads 1 --rate 50 --http "$plain" \
    >"$attack_out/plain-demo.log" 2>&1 &
  attack_pids+=($!)
  "$demo" --seconds 600 --report-every 3600 --threads 1 --rate 50 --http "$tls" \
    --web.config.file "$tlsdir/web.yml" >"$attack_out/tls-demo.log" 2>&1 &
  attack_pids+=($!)
  pids+=("${attack_pids[@]}")  # live.sh's, stopped on its way out
  local tlsargs=(--cacert "$tlsdir/ca.crt" --cert "$tlsdir/client.crt" --key "$tlsdir/client.key"
                 -u prom:scrape-secret)
  wait_for 20 curl -sf "http://127.0.0.1:$plain/metrics" &&
    wait_for 20 curl -sf "${tlsargs[@]}" "https://127.0.0.1:$tls/metrics" ||
    { echo "live: the demos for the attacks do not answer"; return 1; }
  echo "live: before the attacks: plain demo $(use "${attack_pids[0]}"), over TLS" \
    "$(use "${attack_pids[1]}")"
  local seconds=$((attack_seconds + 3))
  attack trickle-249 "${attack_pids[0]}" "http://127.0.0.1:$plain/metrics" -- \
    "${holder[@]}" --port "$plain" --from 127.0.0.2-127.0.0.250 --mode trickle --seconds $seconds
  attack tls-half-249 "${attack_pids[1]}" "https://127.0.0.1:$tls/metrics" "${tlsargs[@]}" -- \
    "${holder[@]}" --port "$tls" --from 127.0.0.2-127.0.0.250 --mode tls --seconds $seconds
  attack trickle-4x16 "${attack_pids[0]}" "http://127.0.0.1:$plain/metrics" -- \
    "${holder[@]}" --port "$plain" --from 127.0.0.2-127.0.0.5 --per-address 16 --mode trickle \
    --seconds $seconds
  attack same-address "${attack_pids[0]}" "http://127.0.0.1:$plain/metrics" -- \
    "${holder[@]}" --port "$plain" --from "$scraper_from" --per-address 200 --mode mix \
    --seconds $seconds
  declare -A modes=(
    [slow-headers]="-H -i 1 -x 24"
    [slow-body]="-B -i 1 -s 8192"
    [slow-read]="-X -w 512 -y 1024 -n 5 -z 32 -k 3"
  )
  for mode in slow-headers slow-body slow-read; do
    # shellcheck disable=SC2086
    attack "$mode" "${attack_pids[0]}" "http://127.0.0.1:$plain/metrics" -- \
      slowhttptest ${modes[$mode]} -c 200 -r 200 -l $seconds -p 3 -u "http://127.0.0.1:$plain/metrics"
  done
  # A server that has just started: no password is known good yet.
  printf 'basic_auth_users:\n  prom: %s\n' "$(awk '/prom:/ { print $2 }' "$tlsdir/web.yml")" \
    >"$attack_out/basic-auth.yml"
  "$demo" --seconds 60 --report-every 3600 --threads 1 --rate 50 --http "$auth" \
    --web.config.file "$attack_out/basic-auth.yml" >"$attack_out/auth-demo.log" 2>&1 &
  pid=$!
  attack_pids+=($pid)
  pids+=($pid)
  wait_for 20 sh -c "curl -s -o /dev/null -w '%{http_code}' http://127.0.0.1:$auth/metrics | grep -q 401" ||
    { echo "live: the demo with basic auth does not answer"; return 1; }
  attack password-flood "$pid" "http://127.0.0.1:$auth/metrics" -u prom:scrape-secret -- \
    "${flood[@]}" --port "$auth" --from 127.0.0.2-127.0.0.9 --rate 5000 --connections 12 \
    --seconds $seconds
  for pid in "${attack_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${attack_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
