#!/usr/bin/env bash
# Runs the test suite on a gcov build and gates line and branch coverage of
# the library and the add-ons (src/, include/, export/src/, http/src/ and push/src/). A failing test
# fails the leg, as does coverage below the floors.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh proof
build=build-cov
min_lines=${QEL_MIN_LINES:-98}
min_branches=${QEL_MIN_BRANCHES:-88}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQEL_COVERAGE=ON -DQEL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
gcovr -r . --object-directory "$build" --filter 'src/' --filter 'include/' --filter 'export/src/' --filter 'http/src/' --filter 'push/src/' \
      --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
      --txt --print-summary --fail-under-line "$min_lines" --fail-under-branch "$min_branches"
