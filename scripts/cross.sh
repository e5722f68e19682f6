#!/usr/bin/env bash
# Cross-builds the library, its tests and the demo, and runs every test
# under qemu-user (all but the install check, which inspects a native tree).
#
#   scripts/cross.sh i686     32-bit x86 (`long` is 32 bits, as on the boards),
#                             with Debian's 32-bit ACE runtime unpacked into the
#                             build tree.
#   scripts/cross.sh powerpc  the boards' own 32-bit big-endian PowerPC, with
#                             libACE cross-built from Debian's ACE source
#                             package into the build tree (Debian ships no
#                             PowerPC ACE). That build is kept and reused while
#                             the ACE version and the cross compiler are the same.
#
# Both build prometheus-cpp, and the status server's and qel-top's libraries
# (scripts/cross-deps.sh: libmicrohttpd with GnuTLS, yaml-cpp, libxcrypt,
# libcurl with OpenSSL, ncurses), from Debian's source packages into the
# build tree too (Debian has none for these targets, or none that installs
# beside the build machine's), so the exporters, the status server and
# qel-top are built and tested there as well. On PowerPC the demo then
# serves its statistics under qemu-ppc, over HTTPS with basic auth and a
# client certificate, to curl, promtool and a Prometheus server on the build
# machine.
#
#   scripts/cross.sh ARCH package   builds, and makes the Debian packages with
#                                   CPack into build/packages/<arch>/ instead
#                                   of testing
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/cross.sh i686|powerpc [test|package]}
mode=${2:-test}
scripts/setup.sh proof
[ "$mode" = package ] || [ "$arch" != powerpc ] || scripts/setup.sh live

build=build-$arch

# libACE for PowerPC from Debian's source package, installed into prefix $1.
build_ace_powerpc() {
  local prefix=$1 src=$PWD/$build/ace-source root
  rm -rf "$src" "$prefix"
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq libace-dev >/dev/null 2>&1)
  root=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'ace-*' | head -n 1)
  [ -n "$root" ] || { echo "cross: apt-get source libace-dev gave no source tree" >&2; return 1; }
  # Debian's configuration, so the library matches the headers it ships.
  cp "$root/debian/config.h" "$root/ace/config.h"
  cat >"$root/include/makeinclude/platform_macros.GNU" <<'EOF'
CROSS_COMPILE = powerpc-linux-gnu-
ipv6 = 1
debug = 0
optimize = 1
inline = 1
include $(ACE_ROOT)/include/makeinclude/platform_linux.GNU
EOF
  (
    export ACE_ROOT=$root MPC_ROOT=$root/MPC
    cd "$root/ace"
    perl "$ACE_ROOT/bin/mpc.pl" -type gnuace ace.mpc >/dev/null
    # versioned_so=2 names the library libACE-7.0.8.so, as Debian's ACE does.
    make -s -f GNUmakefile.ACE -j"$(nproc)" versioned_so=2 >/dev/null
    make -s -f GNUmakefile.ACE install INSTALL_PREFIX="$prefix" versioned_so=2 >/dev/null
  )
  rm -rf "$src"
}

# prometheus-cpp (core only: the exporters need no server, push or
# compression of its own) for the target, from Debian's source package,
# installed into prefix $1; nlohmann-json, headers only, is copied beside it.
build_export_deps() {
  local prefix=$1 src=$PWD/$build/deps-source prom
  local toolchain=$PWD/cmake/toolchain-$arch-linux-gnu.cmake
  rm -rf "$src" "$prefix"
  mkdir -p "$src"
  (cd "$src" && apt-get source -qq prometheus-cpp >/dev/null 2>&1)
  prom=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'prometheus-cpp-*' | head -n 1)
  [ -n "$prom" ] || { echo "cross: apt-get source gave no source tree" >&2; return 1; }
  local common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
                -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON
                -DCMAKE_FIND_ROOT_PATH="$prefix" -DCMAKE_PREFIX_PATH="$prefix")
  cmake -S "$prom" -B "$src/prometheus-build" "${common[@]}" -DENABLE_PULL=OFF -DENABLE_PUSH=OFF \
        -DENABLE_COMPRESSION=OFF -DENABLE_TESTING=OFF -DUSE_THIRDPARTY_LIBRARIES=OFF >/dev/null
  cmake --build "$src/prometheus-build" -j"$(nproc)" >/dev/null
  cmake --install "$src/prometheus-build" >/dev/null
  mkdir -p "$prefix/include" "$prefix/share/cmake"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
  rm -rf "$src"
}

# build_once WHAT PREFIX STAMP BUILDER: runs `BUILDER PREFIX` unless PREFIX
# was built with the same STAMP (versions and compiler), and says which.
build_once() {
  local what=$1 prefix=$2 stamp=$3 builder=$4 started
  if [ "$(cat "$prefix/.built-with" 2>/dev/null)" = "$stamp" ]; then
    echo "cross: reusing $what ($stamp)"
  else
    echo "cross: building $what from Debian's source ($stamp)"
    started=$(date +%s)
    "$builder" "$prefix"
    echo "$stamp" >"$prefix/.built-with"
    echo "cross: $what built in $(($(date +%s) - started)) s"
  fi
}

# The exporters' libraries for the target, built once and reused while the
# Debian versions and the cross compiler stay the same.
deps=$PWD/$build/deps-$arch
build_once "prometheus-cpp for $arch" "$deps" \
  "prometheus-cpp core $(dpkg-query -W -f='${Version}' prometheus-cpp-dev); $($arch-linux-gnu-g++ --version | head -n 1)" \
  build_export_deps
# The status server's and qel-top's, likewise (and again when the script
# that builds them changes).
libs=$PWD/$build/deps-libs
build_libs() { scripts/cross-deps.sh "$arch" "$1"; }
build_once "the server's and qel-top's libraries for $arch" "$libs" \
  "$(for p in libmicrohttpd-dev libgnutls28-dev libssl-dev libcurl4-openssl-dev libncurses-dev libyaml-cpp-dev libcrypt-dev; do dpkg-query -W -f='${Package} ${Version}; ' "$p"; done)$(sha1sum scripts/cross-deps.sh | cut -c1-12); $($arch-linux-gnu-g++ --version | head -n 1)" \
  build_libs
# Only the target's .pc files, for the configure below.
export PKG_CONFIG_LIBDIR=$libs/lib/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=

# The German locale the tests set, compiled for the target's byte order
# (the build machine's locale archive is little-endian).
locales=$PWD/$build/locales
if [ ! -e "$locales/de_DE.UTF-8/LC_NUMERIC" ]; then
  mkdir -p "$locales"
  order=--little-endian
  [ "$arch" != powerpc ] || order=--big-endian
  localedef $order -i de_DE -f UTF-8 "$locales/de_DE.UTF-8" || [ -e "$locales/de_DE.UTF-8/LC_NUMERIC" ]
fi

args=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-linux-gnu.cmake"
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_GTEST_FROM_SOURCE=ON
      "-DCMAKE_FIND_ROOT_PATH=$deps;$libs" "-DCMAKE_PREFIX_PATH=$deps;$libs"
      "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-rpath-link,$libs/lib"
      "-DCMAKE_SHARED_LINKER_FLAGS=-Wl,-rpath-link,$libs/lib"
      -DQEL_BUILD_EXPORT=ON -DQEL_BUILD_HTTP=ON -DQEL_BUILD_TOP=ON -DCMAKE_INSTALL_PREFIX=/usr
      -DCMAKE_INSTALL_LIBDIR="lib/$($arch-linux-gnu-g++ -print-multiarch)")
case "$arch" in
  i686)
    mkdir -p "$build/ace-include"
    # Only the ACE headers are taken from the build machine: the rest of
    # /usr/include is its own C library.
    ln -sfn /usr/include/ace "$build/ace-include/ace"
    ace=$PWD/$build/ace-i386
    if [ ! -e "$ace/usr/lib/i386-linux-gnu/libACE-7.0.8.so" ]; then
      rm -rf "$ace" && mkdir -p "$ace"
      (cd "$ace" && apt-get download -q libace-7.0.8:i386 >/dev/null && dpkg -x libace-7.0.8_*_i386.deb .)
    fi
    acelib=$ace/usr/lib/i386-linux-gnu
    run=(qemu-i386 -L / -E "LD_LIBRARY_PATH=$acelib:$deps/lib:$libs/lib" -E "LOCPATH=$locales")
    args+=(-DACE_INCLUDE_DIR="$PWD/$build/ace-include" -DACE_LIBRARY="$acelib/libACE-7.0.8.so"
           "-DCMAKE_CROSSCOMPILING_EMULATOR=$(IFS=';'; echo "${run[*]}")")
    emulator=qemu-i386
    ;;
  powerpc)
    ace=$PWD/$build/ace-powerpc
    build_once "libACE for PowerPC" "$ace" \
      "ace $(apt-cache policy libace-dev | sed -n 's/^ *Candidate: //p') (libACE-<version>.so); $(powerpc-linux-gnu-g++ --version | head -n 1)" \
      build_ace_powerpc
    run=(qemu-ppc -L /usr/powerpc-linux-gnu -E "LD_LIBRARY_PATH=$ace/lib:$deps/lib:$libs/lib"
         -E "LOCPATH=$locales")
    args+=(-DACE_INCLUDE_DIR="$ace/include" -DACE_LIBRARY="$ace/lib/libACE.so"
           "-DCMAKE_CROSSCOMPILING_EMULATOR=$(IFS=';'; echo "${run[*]}")")
    emulator=qemu-ppc
    ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [ "$mode" = package ]; then
  (cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
  debarch=$(ls "$build"/*.deb | head -n 1 | sed 's/.*_\([a-z0-9]*\)\.deb$/\1/')
  mkdir -p "build/packages/$debarch"
  rm -f "build/packages/$debarch"/*.deb
  mv "$build"/*.deb "build/packages/$debarch/"
  echo "cross: packages in build/packages/$debarch: $(cd "build/packages/$debarch" && echo *.deb)"
  exit 0
fi
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
# curl, promtool and a Prometheus server.
if [ "$arch" = powerpc ]; then
  out=$PWD/$build/live
  rm -rf "$out" && mkdir -p "$out"
  port=18591
  promport=18592
  pids=()
  trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true' EXIT
  tls=$PWD/tests/data/tls
  "${run[@]}" "$build/examples/qel_demo" --seconds 120 --report-every 60 --http "$port" \
    --web.config.file "$tls/web.yml" >"$out/demo.log" 2>&1 &
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
  echo "cross: the PowerPC demo under qemu-ppc, over HTTPS with basic auth and a client"
  echo "       certificate: a wrong password gets 401; promtool accepts its /metrics; Prometheus scraped"
  echo "       a total above 0 of every counted event: $events"
fi

