#!/usr/bin/env bash
# Builds the library and the demo host in build/ and runs the demo.
# Arguments are passed to the demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
# The usage needs no build: it is the text the demo is built with. getopt
# takes --help by any unique prefix, and nothing after "--" as an option.
for arg in "$@"; do
  case $arg in
    --) break ;;
    -h | --he | --hel | --help) exec cat examples/qel_demo_usage.txt ;;
  esac
done
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo
exec build/examples/qel_demo "$@"
