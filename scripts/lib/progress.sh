# Sourced by the scripts whose steps can run for minutes (set-up, the cross
# builds' libraries, packaging):
#   with_progress LABEL COMMAND...
# runs COMMAND and, while it runs, writes "LABEL: N s so far" to standard
# error every QEL_PROGRESS_EVERY seconds (30 by default), so that a log never
# goes quiet for longer; then "LABEL: done in N s" once it took that long.
# Returns COMMAND's status. COMMAND runs in a subshell of its own, in the
# background, so that `set -e` holds inside it as it does outside (it would
# not in a `||` list) and its variables stay its own; its standard input is
# /dev/null.
with_progress() {
  local label=$1 every=${QEL_PROGRESS_EVERY:-30} start ticker status=0
  shift
  start=$(date +%s)
  # The ticker's sleep holds no descriptor of ours, so a pipe that reads
  # this script's output ends as soon as the script does.
  (
    while sleep "$every" </dev/null >/dev/null 2>&1; do
      echo "$label: $(($(date +%s) - start)) s so far" >&2
    done
  ) &
  ticker=$!
  "$@" </dev/null &
  wait $! || status=$?
  kill "$ticker" 2>/dev/null || true
  wait "$ticker" 2>/dev/null || true
  if [ $(($(date +%s) - start)) -ge "$every" ]; then
    echo "$label: done in $(($(date +%s) - start)) s" >&2
  fi
  return $status
}
