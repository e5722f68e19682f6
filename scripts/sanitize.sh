#!/usr/bin/env bash
# Builds everything with sanitizers and runs the whole test suite; any
# sanitizer report fails the run.
#   scripts/sanitize.sh address,undefined   AddressSanitizer (leaks included) + UBSan
#   scripts/sanitize.sh thread              ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: scripts/sanitize.sh address,undefined|thread}
scripts/setup.sh proof
case "$kind" in
  address,undefined) build=build-asan ;;
  thread) build=build-tsan ;;
  *) echo "unknown sanitizer set: $kind" >&2; exit 2 ;;
esac
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_SANITIZE="$kind" \
      -DQEL_BUILD_EXAMPLES=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
