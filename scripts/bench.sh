#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them; ends with one table of
# every figure beside the baseline measured in the same run (medians of 3
# repetitions), and SetEvent's cost under three allocators.
#   scripts/bench.sh [seconds per wrk run (3)] [wrk rounds (3)]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_BENCHMARKS=ON -DQEL_BUILD_TESTS=OFF \
      -DQEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target collector_bench http_server_bench
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench=$build/bench/collector_bench
"$bench" --benchmark_min_time=1 --benchmark_repetitions=3 --benchmark_report_aggregates_only \
  | tee "$out"
# The server's log (latency refusals of overlapping requests, level 3) goes
# to a file; it is part of the cost measured.
"$build/bench/http_server_bench" "${1:-3}" "${2:-3}" 2>"$build/http_server_bench.log" | tee -a "$out"
echo "http_server_bench wrote $(wc -l <"$build/http_server_bench.log") log lines to $build/http_server_bench.log"

# What the host's allocator costs a submission.
allocators=$(mktemp)
trap 'rm -f "$out" "$allocators"' EXIT
multiarch=$(gcc -print-multiarch)
for allocator in glibc jemalloc mimalloc; do
  case $allocator in
    glibc) preload= ;;
    jemalloc) preload=/usr/lib/$multiarch/libjemalloc.so.2 ;;
    mimalloc) preload=/usr/lib/$multiarch/libmimalloc.so.2 ;;
  esac
  ns=$(LD_PRELOAD=$preload "$bench" --benchmark_min_time=1 --benchmark_repetitions=3 \
         --benchmark_report_aggregates_only '--benchmark_filter=^SetEvent/real_time/threads:1$' \
       | sed -n 's/^allocator row: SetEvent, 1 producer: \(.*\) ns$/\1/p')
  printf '%-10s %8s ns\n' "$allocator" "$ns" >>"$allocators"
done

echo
echo "Machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1)"
printf '%-48s %12s %12s %8s\n' "figure" "measured" "baseline" "ratio"
grep -E '^(SetEvent, |GetStatsReport, |roll-up |snapshot, |drain|HTTP throughput)' "$out"
grep -E '^(largest backlog|one million|requests served)' "$out"
echo
echo "SetEvent, 1 producer, by allocator (LD_PRELOAD):"
cat "$allocators"
