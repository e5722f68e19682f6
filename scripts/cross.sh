#!/usr/bin/env bash
# Cross-builds the library, its add-ons, their tests and the demo, and runs
# every test under qemu-user (all but those that inspect a native tree or
# drive a terminal).
#
#   scripts/cross.sh i686     32-bit x86 (`long` is 32 bits, as on the boards)
#                             against Debian's own i386 packages
#   scripts/cross.sh powerpc  the boards' own 32-bit big-endian PowerPC,
#                             against libraries built from Debian's source
#                             packages (Debian ships no PowerPC of 32 bits)
#
# The target's libraries come from scripts/cross-deps.sh, which keeps them
# in a cache outside the clone and makes them only when what makes them has
# changed. On PowerPC the demo then serves its statistics under qemu-ppc,
# over HTTPS with basic auth and a client certificate, to curl, promtool and
# a Prometheus server on the build machine, and pushes them to a Prometheus
# receiver over HTTPS with basic auth.
#
#   scripts/cross.sh ARCH package   builds, and makes the Debian packages with
#                                   CPack into build/packages/<arch>/ instead
#                                   of testing
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/cross.sh i686|powerpc [test|package]}
mode=${2:-test}
case "$arch" in
  i686) emulator=qemu-i386 curl_package=libcurl4 ;;
  powerpc) emulator=qemu-ppc curl_package=libcurl3-gnutls ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
scripts/setup.sh proof
[ "$mode" = package ] || [ "$arch" != powerpc ] || scripts/setup.sh live
. scripts/lib/progress.sh

build=build-$arch
deps=$(scripts/cross-deps.sh "$arch" | tail -n 1)
# shellcheck source=/dev/null
. "$deps/env.sh"
# Only the target's .pc files, for the configure below.
export PKG_CONFIG_LIBDIR=$QEL_DEPS_PKGCONFIG PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=$QEL_DEPS_PKGSYSROOT

# The German locale the tests set, compiled for the target's byte order
# (the build machine's locale archive is little-endian).
locales=$PWD/$build/locales
if [ ! -e "$locales/de_DE.UTF-8/LC_NUMERIC" ]; then
  mkdir -p "$locales"
  order=--little-endian
  [ "$arch" != powerpc ] || order=--big-endian
  localedef $order -i de_DE -f UTF-8 "$locales/de_DE.UTF-8" || [ -e "$locales/de_DE.UTF-8/LC_NUMERIC" ]
fi

# The libraries' headers ahead of the build machine's /usr/include, which the
# cross compilers search last; their folders for the link's libraries of
# libraries and for the emulator.
flags=""
IFS=: read -r -a includes <<<"$QEL_DEPS_INCLUDES"
for dir in "${includes[@]}"; do flags+=" -isystem $dir"; done
links=""
IFS=: read -r -a libdirs <<<"$QEL_DEPS_LIBDIRS"
for dir in "${libdirs[@]}"; do links+=" -L$dir -Wl,-rpath-link,$dir"; done
run=("$emulator" -L "$QEL_DEPS_QEMU_ROOT" -E "LD_LIBRARY_PATH=$QEL_DEPS_LIBDIRS" -E "LOCPATH=$locales")
gtest_from_source=ON
[ "$QEL_DEPS_GTEST" != ON ] || gtest_from_source=OFF
args=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-linux-gnu.cmake"
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_GTEST_FROM_SOURCE=$gtest_from_source
      "-DCMAKE_FIND_ROOT_PATH=$QEL_DEPS_ROOTS" "-DCMAKE_PREFIX_PATH=$QEL_DEPS_ROOTS"
      "-DCMAKE_LIBRARY_ARCHITECTURE=$($arch-linux-gnu-g++ -print-multiarch)"
      "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_EXE_LINKER_FLAGS=$links" "-DCMAKE_SHARED_LINKER_FLAGS=$links"
      -DACE_INCLUDE_DIR="$QEL_DEPS_ACE_INCLUDE" -DACE_LIBRARY="$QEL_DEPS_ACE_LIBRARY"
      "-DCMAKE_CROSSCOMPILING_EMULATOR=$(IFS=';'; echo "${run[*]}")"
      -DQEL_BUILD_EXPORT=ON -DQEL_BUILD_HTTP=ON -DQEL_BUILD_TOP=ON -DQEL_BUILD_PUSH=ON
      -DCMAKE_INSTALL_PREFIX=/usr
      "-DQEL_DEB_CURL_PACKAGE=$curl_package"
      -DCMAKE_INSTALL_LIBDIR="lib/$($arch-linux-gnu-g++ -print-multiarch)")

cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$mode" = package ]; then
  (cd "$build" && rm -f ./*.deb && with_progress "cross: cpack for $arch" cpack -G DEB >/dev/null)
  debarch=$(ls "$build"/*.deb | head -n 1 | sed 's/.*_\([a-z0-9]*\)\.deb$/\1/')
  mkdir -p "build/packages/$debarch"
  rm -f "build/packages/$debarch"/*.deb
  mv "$build"/*.deb "build/packages/$debarch/"
  echo "cross: packages in build/packages/$debarch: $(cd "build/packages/$debarch" && echo *.deb)"
  exit 0
fi
with_progress "cross: the tests under $emulator" \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)" | tee "$build/ctest.log"
echo "cross: $(grep -Eo 'out of [0-9]+' "$build/ctest.log" | tail -n 1 | cut -d' ' -f3) tests ran under $emulator"

# KwStatsCounter::Add on the target: its own 32-bit atomic instructions
# (lwarx/stwcx. on PowerPC, lock xadd on x86), no call into libatomic.
lib=$(ls "$build"/src/libQelDiagUtils.so.*.*.* | head -n 1)
add=$("$arch-linux-gnu-objdump" -d --no-show-raw-insn --disassemble=_ZN14KwStatsCounter3AddEj "$lib")
atomic='lwarx|lock xadd|lock add'
if ! grep -qE "$atomic" <<<"$add" || grep -qE '(call|bl)[[:space:]].*<(__atomic|__sync)' <<<"$add" ||
   readelf -d "$lib" | grep -q 'libatomic'; then
  echo "cross: KwStatsCounter::Add is not a plain atomic add on $arch:"
  echo "$add"
  exit 1
fi
echo "cross: KwStatsCounter::Add on $arch: $(grep -oE "$atomic" <<<"$add" | sort -u | tr '\n' ' ')and no libatomic"

# The boards' ISA serves its statistics: the PowerPC demo under qemu-ppc,
# over HTTPS with basic auth and client certificates (the test
# configuration, tests/data/tls/web.yml), scraped from the build machine by
# curl, promtool and a Prometheus server, and pushes them (remote write) to
# another Prometheus behind the same TLS and basic auth.
if [ "$arch" = powerpc ]; then
  out=$PWD/$build/live
  rm -rf "$out" && mkdir -p "$out"
  port=18591
  promport=18592
  pids=()
  trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT
  tls=$PWD/tests/data/tls
  # It also pushes (remote write) to a Prometheus receiver behind the same
  # TLS, client certificates and basic auth.
  pushport=18593
  printf 'scrape-secret\n' >"$out/password"
  cat >"$out/push.yml" <<EOF
url: https://127.0.0.1:$pushport/api/v1/write
interval: 1s
external_labels: {instance: powerpc-board}
basic_auth: {username: prom, password_file: $out/password}
tls_config: {ca_file: $tls/ca.crt, cert_file: $tls/client.crt, key_file: $tls/client.key}
queue_config: {batch_send_deadline: 200ms}
EOF
  printf 'global: {evaluation_interval: 1s}\n' >"$out/receiver.yml"
  prometheus --config.file="$out/receiver.yml" --storage.tsdb.path="$out/receiver-tsdb" \
    --web.listen-address="127.0.0.1:$pushport" --web.config.file="$tls/web.yml" \
    --web.enable-remote-write-receiver >"$out/receiver.log" 2>&1 &
  pids+=($!)
  "${run[@]}" "$build/examples/qel_demo" --seconds 120 --report-every 60 --http "$port" \
    --web.config.file "$tls/web.yml" --push.config "$out/push.yml" >"$out/demo.log" 2>&1 &
  pids+=($!)
  scrape=(curl -sf --cacert "$tls/ca.crt" --cert "$tls/client.crt" --key "$tls/client.key"
          -u prom:scrape-secret "https://127.0.0.1:$port/metrics")
  answered=0
  for _ in $(seq 120); do
    if "${scrape[@]}" >"$out/metrics.txt"; then answered=1; break; fi
    sleep 0.5
  done
  [ $answered = 1 ] || { echo "cross: the PowerPC demo does not answer"; cat "$out/demo.log"; exit 1; }
  sleep 3
  "${scrape[@]}" >"$out/metrics.txt"
  promtool check metrics <"$out/metrics.txt"
  refused=$(curl -s -o /dev/null -w '%{http_code}' --cacert "$tls/ca.crt" --cert "$tls/client.crt" \
            --key "$tls/client.key" -u prom:wrong "https://127.0.0.1:$port/metrics" || true)
  [ "$refused" = 401 ] || { echo "cross: a wrong password got '$refused' from the PowerPC demo"; exit 1; }
  printf 'scrape-secret\n' >"$out/password"
  cat >"$out/prometheus.yml" <<EOF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: board
    scheme: https
    tls_config: {ca_file: $tls/ca.crt, cert_file: $tls/client.crt, key_file: $tls/client.key}
    basic_auth: {username: prom, password_file: $out/password}
    static_configs: [{targets: ['127.0.0.1:$port']}]
EOF
  prometheus --config.file="$out/prometheus.yml" --storage.tsdb.path="$out/tsdb" \
    --web.listen-address="127.0.0.1:$promport" >"$out/prometheus.log" 2>&1 &
  pids+=($!)
  want="reqDone reqStart rxPackets txDropped "
  events=""
  for _ in $(seq 80); do
    if curl -sf "http://127.0.0.1:$promport/api/v1/query" \
         --data-urlencode 'query=qel_events_total{job="board"} > 0' >"$out/query.json"; then
      events=$({ grep -o '"event":"[^"]*"' "$out/query.json" || true; } |
               sed 's/.*:"//; s/"$//' | sort | tr '\n' ' ')
      [ "$events" != "$want" ] || break
    fi
    sleep 0.5
  done
  [ "$events" = "$want" ] || { echo "cross: Prometheus has from the PowerPC demo: '$events'"; exit 1; }
  pushed=""
  for _ in $(seq 80); do
    if curl -sf --cacert "$tls/ca.crt" --cert "$tls/client.crt" --key "$tls/client.key" \
         -u prom:scrape-secret "https://127.0.0.1:$pushport/api/v1/query" \
         --data-urlencode 'query=qel_events_total{instance="powerpc-board"} > 0' >"$out/pushed.json"; then
      pushed=$({ grep -o '"event":"[^"]*"' "$out/pushed.json" || true; } |
               sed 's/.*:"//; s/"$//' | sort | tr '\n' ' ')
      [ "$pushed" != "$want" ] || break
    fi
    sleep 0.5
  done
  [ "$pushed" = "$want" ] || { echo "cross: the PowerPC demo pushed: '$pushed'"; cat "$out/demo.log"; exit 1; }
  echo "cross: the PowerPC demo under qemu-ppc pushed (remote write) over HTTPS with basic auth and a"
  echo "       client certificate to a Prometheus receiver: a total above 0 of every counted event"
  echo "cross: the PowerPC demo under qemu-ppc, over HTTPS with basic auth and a client"
  echo "       certificate: a wrong password gets 401; promtool accepts its /metrics; Prometheus scraped"
  echo "       a total above 0 of every counted event: $events"
fi

