#!/usr/bin/env bash
# Builds everything with clang and its thread-safety analysis as errors: a
# member read or written without the lock that guards it, a helper called
# without the lock it requires or with one it takes itself, is a failed
# build. The locking rules stand in the headers (KwThreadAnnotations.h).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh proof
build=build-tsa
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DQEL_WERROR=ON \
      -DQEL_BUILD_TESTS=ON -DQEL_BUILD_EXAMPLES=ON -DCMAKE_CXX_FLAGS="-Wthread-safety" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "thread-safety: the lock rules hold (clang -Wthread-safety -Werror)"
