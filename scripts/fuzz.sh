#!/usr/bin/env bash
# Builds the libFuzzer target with clang, AddressSanitizer and UBSan, and
# runs it for a fixed budget (seconds, default 120) from the seed corpus.
# A crash, leak or sanitizer report fails the run and leaves the input in
# build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
budget=${1:-120}
scripts/setup.sh proof
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DQEL_WERROR=ON -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_EXAMPLES=OFF -DQEL_BUILD_FUZZERS=ON \
      -DQEL_SANITIZE=address,undefined,fuzzer-no-link >/dev/null
cmake --build "$build" -j"$(nproc)" --target public_interface_fuzz
corpus=$build/corpus
mkdir -p "$corpus" "$build/artifacts"
cp -n tests/fuzz/corpus/* "$corpus/"
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$build/tests/fuzz/public_interface_fuzz" -max_total_time="$budget" -rss_limit_mb=4096 \
    -timeout=60 -print_final_stats=1 -artifact_prefix="$build/artifacts/" "$corpus" 2>&1 \
  | grep -vE '^#[0-9]+ +(NEW|REDUCE|pulse)'
