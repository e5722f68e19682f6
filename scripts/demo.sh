#!/usr/bin/env bash
# Builds the library, the demo host and qel-top in build/, says where qel-top
# is, and runs the demo. Arguments are passed to the demo (try --help).
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
configured=$(cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_EXAMPLES=ON)
# qel-top, the terminal view, where its libraries are (setup.sh installs them).
top=$(sed -n 's/^-- QelDiagUtils: \(qel-top (.*\)$/\1/p' <<<"$configured")
targets=(qel_demo)
case $top in *": built") targets+=(qel-top) ;; esac
cmake --build build -j"$(nproc)" --target "${targets[@]}"
# The port the demo serves on, for the line that says how to watch it.
port=8080
for ((i = 1; i <= $#; ++i)); do
  case ${!i} in
    --http) next=$((i + 1)); port=${!next:-$port} ;;
    --http=*) port=${!i#--http=} ;;
  esac
done
case $top in
  *": built") echo "qel-top is build/tools/qel-top/qel-top: with the demo serving (--http $port)," \
                   "run build/tools/qel-top/qel-top http://127.0.0.1:$port in another terminal" >&2 ;;
  *) echo "$top" >&2 ;;
esac
exec build/examples/qel_demo "$@"
