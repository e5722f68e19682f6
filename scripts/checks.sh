# Sourced by the legs that run many checks (live.sh, packages.sh): each check
# prints one line, and the leg fails at the end if any did.
#   check NAME COMMAND...   runs it, counts and prints the outcome
#   wait_for SECONDS COMMAND...   waits up to SECONDS for COMMAND to succeed
#   checks_done             prints the counts; fails if a check failed
#   free_ports N            N ports free now (held together, so they differ)
# Set `checks_label` (the leg's name) before the first check.
failures=0
successes=0
check() {
  local name=$1
  shift
  if "$@"; then
    echo "$checks_label: $name: ok"
    successes=$((successes + 1))
  else
    echo "$checks_label: $name: FAILED"
    failures=$((failures + 1))
  fi
}
wait_for() {
  local deadline=$(($(date +%s) + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}
checks_done() {
  echo "$checks_label: $successes checks passed, $failures failed${1:+; $1}"
  [ "$failures" = 0 ]
}
free_ports() {
  python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in socks))' "$1"
}
