#!/usr/bin/env bash
# usage: scripts/packages.sh [--arch host|i386|powerpc|all]
#
# The Debian packages, built with CPack from the CMake install components
# into build/packages/<arch>/, and checked.
#
#   scripts/packages.sh                  this machine's architecture (a native
#                                        build): minutes after a build
#   scripts/packages.sh --arch i386      32-bit x86, cross-built
#   scripts/packages.sh --arch powerpc   32-bit PowerPC, cross-built
#   scripts/packages.sh --arch all       the three (what CI runs)
#   scripts/packages.sh --help           this text; nothing is built
#
# The checks:
#   native   lintian finds no error or warning; the packages install with
#            dpkg -i; the samples build against them with find_package and
#            with pkg-config, and run; qel-top runs from its package; dpkg -r
#            and dpkg -P leave nothing behind
#   i386     qel-top is in its package
#   powerpc  qel-top is in its package; the packages unpacked with dpkg -x
#            into a folder, the sample cross-built against them and run under
#            qemu-ppc
#   all      no stand-in of the host services in any package
# The host services come from the stand-ins, never from a package: a board
# has its own.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
native=$(dpkg --print-architecture)
arches=("$native")
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --arch)
      [ $# -ge 2 ] || { echo "packages: --arch needs host, i386, powerpc or all" >&2; exit 2; }
      case "$2" in
        host | "$native") arches=("$native") ;;
        i386 | powerpc) arches=("$2") ;;
        all) arches=("$native" i386 powerpc) ;;
        *) echo "packages: unknown architecture '$2' (host, i386, powerpc or all)" >&2; exit 2 ;;
      esac
      shift 2
      ;;
    *) usage >&2; exit 2 ;;
  esac
done
wants() { [[ " ${arches[*]} " == *" $1 "* ]]; }
if wants i386 || wants powerpc; then scripts/setup.sh proof; else scripts/setup.sh packages; fi
. scripts/lib/progress.sh
sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
checks_label=packages
. scripts/checks.sh
started=$SECONDS

# The native packages: dpkg-shlibdeps computes their dependencies.
build=build-packages
make_native() {
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DQEL_WERROR=ON \
        -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_EXAMPLES=OFF -DQEL_BUILD_EXPORT=ON -DQEL_BUILD_HTTP=ON \
        -DQEL_BUILD_TOP=ON >/dev/null
  cmake --build "$build" -j"$(nproc)"
  (cd "$build" && rm -f ./*.deb && with_progress "packages: cpack for $native" cpack -G DEB >/dev/null)
  mkdir -p "build/packages/$native"
  rm -f "build/packages/$native"/*.deb
  mv "$build"/*.deb "build/packages/$native/"
}
for arch in "${arches[@]}"; do
  case "$arch" in
    "$native") make_native ;;
    i386) scripts/cross.sh i686 package ;;
    powerpc) scripts/cross.sh powerpc package ;;
  esac
  echo "packages: $arch: $(cd "build/packages/$arch" && echo *.deb) ($((SECONDS - started)) s so far)"
done

work=$(mktemp -d)
installed=()
cleanup() {
  if [ ${#installed[@]} != 0 ]; then
    "${sudo_cmd[@]}" dpkg -r "${installed[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Not a stand-in anywhere in any package.
stray=""
for arch in "${arches[@]}"; do
  for deb in build/packages/"$arch"/*.deb; do
    stray+=$(dpkg-deb -c "$deb" | grep -E 'libdlog|libKwHostServices|QelDiagUtilsHost|KwTimerMgr\.h|dlog\.h' || true)
  done
done
check "no stand-in in any package (${arches[*]})" test -z "$stray"

check_native() {
  check "lintian: no errors and no warnings on the $native packages" \
    with_progress "packages: lintian" lintian --fail-on error,warning build/packages/"$native"/*.deb
  # The packages, installed; the samples built against them.
  local debs names=() deb
  mapfile -t debs < <(ls build/packages/"$native"/*.deb)
  for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
  if "${sudo_cmd[@]}" dpkg -i "${debs[@]}" >"$work/dpkg.log" 2>&1; then
    installed=("${names[@]}")
    check "dpkg -i of ${names[*]}" true
  else
    cat "$work/dpkg.log"
    check "dpkg -i of ${names[*]}" false
  fi
  standins=$work/standins
  cmake --install "$build" --prefix "$standins" --component standins >/dev/null
  standinlib=$(dirname "$(find "$standins" -name 'libdlog.so' | head -n 1)")
  check "find_package against the installed packages: the samples build and run" installed_sample
  check "pkg-config against the installed packages: the samples build and run" pkgconfig_sample
  check "qel-top from its package: --help, and its manual page" \
    sh -c '/usr/bin/qel-top --help | grep -q "^usage: qel-top" && test -s /usr/share/man/man1/qel-top.1.gz'
  if [ ${#installed[@]} != 0 ]; then
    removed_without_trace
  fi
}

expect='queueDepth: 42, '
installed_sample() {
  cmake -S tests/install/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$standins" \
        -DSAMPLE_SOURCE="$PWD/examples/embed_sample.cpp" \
        -DHTTP_SAMPLE_SOURCE="$PWD/examples/embed_http_sample.cpp" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 &&
    LD_LIBRARY_PATH=$standinlib "$work/consumer/consumer" 2>/dev/null | grep -q "$expect" &&
    LD_LIBRARY_PATH=$standinlib "$work/consumer/http_consumer" 0 | grep -q '^status server on port'
}
pkgconfig_sample() {
  # shellcheck disable=SC2046
  g++ -std=c++17 examples/embed_sample.cpp -o "$work/pc-consumer" \
      $(PKG_CONFIG_PATH=$standinlib/pkgconfig pkg-config --cflags --libs QelDiagUtils \
        QelDiagUtilsHost) &&
    LD_LIBRARY_PATH=$standinlib "$work/pc-consumer" 2>/dev/null | grep -q "$expect" &&
    g++ -std=c++17 examples/embed_http_sample.cpp -o "$work/pc-http" \
      $(PKG_CONFIG_PATH=$standinlib/pkgconfig pkg-config --cflags --libs QelDiagHttp \
        QelDiagUtilsHost) &&
    LD_LIBRARY_PATH=$standinlib "$work/pc-http" 0 | grep -q '^status server on port'
}
# Removed, then purged: nothing of them stays, not even in the config-files
# state, and none of their files.
removed_without_trace() {
  local files after_remove after_purge left_files
  files=$(dpkg -L "${installed[@]}" 2>/dev/null | sort -u)
  "${sudo_cmd[@]}" dpkg -r "${installed[@]}" >/dev/null 2>&1
  after_remove=$(dpkg-query -W -f='${Package} ${Status}\n' "${installed[@]}" 2>/dev/null |
                 grep -v ' not-installed$' || true)
  "${sudo_cmd[@]}" dpkg -P "${installed[@]}" >/dev/null 2>&1
  after_purge=$(dpkg-query -W -f='${Package} ${Status}\n' "${installed[@]}" 2>/dev/null |
                grep -v ' not-installed$' || true)
  left_files=$(while read -r f; do
                 [ -f "$f" ] || [ -L "$f" ] && echo "$f"
               done <<<"$files" || true)
  installed=()
  [ -z "$after_remove" ] || echo "packages: left by dpkg -r: $after_remove"
  check "dpkg -r leaves no package in any state" test -z "$after_remove"
  check "dpkg -P leaves no package and no file behind" test -z "$after_purge$left_files"
}

# The PowerPC packages unpacked into a folder, the sample cross-built
# against them and run under the emulator, with the target's ACE.
board_sample() {
  local sysroot=$work/sysroot-powerpc ppc=$PWD/build-powerpc deps deb
  deps=$(scripts/cross-deps.sh powerpc 2>/dev/null | tail -n 1)
  for deb in build/packages/powerpc/*.deb; do dpkg -x "$deb" "$sysroot"; done
  local lib=$sysroot/usr/lib/powerpc-linux-gnu
  PKG_CONFIG_PATH=$lib/pkgconfig:$deps/lib/pkgconfig pkg-config --cflags --libs \
    QelDiagUtils >"$work/ppc-flags" &&
    # shellcheck disable=SC2046
    powerpc-linux-gnu-g++ -std=c++17 examples/embed_sample.cpp -o "$work/ppc-consumer" \
      $(cat "$work/ppc-flags") -I"$PWD/host" -L"$ppc/host" -lKwHostServices \
      -Wl,-rpath-link,"$deps/lib" &&
    qemu-ppc -L /usr/powerpc-linux-gnu \
      -E LD_LIBRARY_PATH="$lib:$ppc/host:$deps/lib" "$work/ppc-consumer" 2>/dev/null |
    grep -q "$expect"
}

for arch in "${arches[@]}"; do
  case "$arch" in
    "$native") check_native ;;
    *)
      check "qel-top packaged for $arch" \
        sh -c "dpkg-deb -c build/packages/$arch/qel-top_*_$arch.deb | grep -q ' ./usr/bin/qel-top\$'"
      ;;
  esac
  if [ "$arch" = powerpc ]; then
    check "powerpc: the sample built against the unpacked packages runs under qemu-ppc" board_sample
  fi
done
checks_done "${arches[*]} in $((SECONDS - started)) s"
