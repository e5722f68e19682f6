#!/usr/bin/env bash
# Runs every command and configuration block a user would copy from
# README.md, docs/ and tests/README.md, as written (scripts/recipes.py says
# how each is marked and proved): against this machine's Debian packages of
# the project (made by scripts/packages.sh where build/packages has none),
# the stand-ins installed from build/, real Prometheus servers, openssl,
# htpasswd and curl.
#   scripts/recipes.sh [--list] [PAGE...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh live
scripts/setup.sh packages
. scripts/lib/progress.sh
# The stand-ins the pages install come from a build of the project.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build -j"$(nproc)" --target dlog KwHostServices >/dev/null
exec python3 scripts/recipes.py "$@"
