#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs them; ends with one table of
# every figure beside the baseline measured in the same run (medians of 3
# repetitions), and SetEvent's cost under three allocators.
#   scripts/bench.sh [seconds per wrk run (4)] [wrk pairs (6)]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQEL_BUILD_BENCHMARKS=ON -DQEL_BUILD_TESTS=OFF \
      -DQEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target collector_bench http_server_bench counter_bench
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench=$build/bench/collector_bench
# The floors of SetEvent run in processes of their own below: after the
# collector's benchmarks they would inherit its heap.
"$bench" --benchmark_min_time=1 --benchmark_repetitions=3 --benchmark_report_aggregates_only \
  '--benchmark_filter=-(BatchedFloor|ListFloor)' | tee "$out"

# SetEvent beside the batched floor (the design's shape at its least) and the
# list floor (the same with the std::list of pointers the design fixes):
# each benchmark in a process of its own, the three alternating, five rounds;
# medians.
floors=$(mktemp)
trap 'rm -f "$out" "$floors"' EXIT
for round in 1 2 3 4 5; do
  for threads in 1 2; do
    for name in SetEvent BatchedFloor ListFloor; do
      ns=$("$bench" --benchmark_min_time=1 "--benchmark_filter=^$name/real_time/threads:$threads\$" |
           sed 's/\x1b\[[0-9;]*m//g' | awk -v b="$name/real_time/threads:$threads" '$1 == b { print $2 }')
      echo "$name $threads $ns" >>"$floors"
    done
  done
done
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for threads in 1 2; do
  set_ns=$(awk -v t=$threads '$1 == "SetEvent" && $2 == t { print $3 }' "$floors" | median)
  for floor in BatchedFloor ListFloor; do
    floor_ns=$(awk -v t=$threads -v f=$floor '$1 == f && $2 == t { print $3 }' "$floors" | median)
    label="batched floor"
    [ $floor = BatchedFloor ] || label="list floor"
    producers="1 producer"
    [ $threads = 1 ] || producers="2 producers"
    awk -v a="$set_ns" -v b="$floor_ns" -v w="SetEvent, $producers / $label" \
      'BEGIN { printf "%-48s %9.1f ns %9.1f ns %8.2f\n", w, a, b, a / b }' | tee -a "$out"
  done
done
# KwStatsCounter::Add beside prometheus-cpp's Counter::Increment and bare
# atomics: each benchmark at 1 and 2 threads in a process of its own, all
# alternating, five rounds; medians of the cost of one call to the thread
# that makes it (CPU time per iteration, which a core shared with other
# work does not inflate as real time would).
counters=$(mktemp)
trap 'rm -f "$out" "$floors" "$counters"' EXIT
for round in 1 2 3 4 5; do
  for threads in 1 2; do
    for name in CounterAdd PrometheusIncrement SharedFetchAdd PaddedFetchAdd; do
      ns=$("$build/bench/counter_bench" --benchmark_min_time=1 \
             "--benchmark_filter=^$name/real_time/threads:$threads\$" |
           sed 's/\x1b\[[0-9;]*m//g' | awk -v b="$name/real_time/threads:$threads" '$1 == b { print $4 }')
      echo "$name $threads $ns" >>"$counters"
    done
  done
done
per_call() { awk -v n="$1" -v t="$2" '$1 == n && $2 == t { print $3 }' "$counters" | median; }
add1=$(per_call CounterAdd 1)
add2=$(per_call CounterAdd 2)
row() { awk -v a="$2" -v b="$3" -v w="$1" 'BEGIN { printf "%-48s %9.1f ns %9.1f ns %8.2f\n", w, a, b, a / b }'; }
{
  row "KwStatsCounter::Add, 1 thread / prometheus-cpp Counter::Increment" "$add1" \
    "$(per_call PrometheusIncrement 1)"
  row "KwStatsCounter::Add, 2 threads / 1 thread" "$add2" "$add1"
  row "counter: shared fetch_add, 2 threads / 1 thread" "$(per_call SharedFetchAdd 2)" \
    "$(per_call SharedFetchAdd 1)"
  row "counter: padded fetch_add, 2 threads / 1 thread" "$(per_call PaddedFetchAdd 2)" \
    "$(per_call PaddedFetchAdd 1)"
  row "counter: prometheus-cpp, 2 threads / 1 thread" "$(per_call PrometheusIncrement 2)" \
    "$(per_call PrometheusIncrement 1)"
} | tee -a "$out"

# The server's log (latency refusals of overlapping requests, level 3) goes
# to a file; it is part of the cost measured.
"$build/bench/http_server_bench" "${1:-4}" "${2:-6}" 2>"$build/http_server_bench.log" | tee -a "$out"
echo "http_server_bench wrote $(wc -l <"$build/http_server_bench.log") log lines to $build/http_server_bench.log"

# What the host's allocator costs a submission.
allocators=$(mktemp)
trap 'rm -f "$out" "$floors" "$counters" "$allocators"' EXIT
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
grep -E '^(SetEvent, |KwStatsCounter::Add, |counter: |GetStatsReport, |roll-up |snapshot, |drain|HTTP throughput)' "$out"
grep -E '^(largest backlog|one million|requests served)' "$out"
echo
echo "SetEvent, 1 producer, by allocator (LD_PRELOAD):"
cat "$allocators"
