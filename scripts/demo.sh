#!/usr/bin/env bash
# Builds the library and the demo host in build/ and runs the demo.
# Arguments are passed to the demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j"$(nproc)" --target qel_demo
exec build/examples/qel_demo "$@"
