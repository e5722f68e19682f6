#!/usr/bin/env bash
# The Debian packages, built with CPack from the CMake install components for
# amd64, i386 and powerpc (build/packages/<arch>/), and checked:
#   lintian           no errors on the amd64 packages
#   dpkg -i           the amd64 packages install; the README's samples build
#                     against them with find_package and with pkg-config, and
#                     run; the packages are removed again
#   powerpc sysroot   the powerpc packages unpacked with dpkg -x; the sample
#                     cross-builds against them and runs under qemu-ppc
# The host services come from the stand-ins, never from a package: a board
# has its own.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh proof
sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

checks_label=packages
. scripts/checks.sh

# amd64, natively: dpkg-shlibdeps computes the dependencies.
build=build-packages
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DQEL_WERROR=ON \
      -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_EXAMPLES=OFF -DQEL_BUILD_EXPORT=ON -DQEL_BUILD_HTTP=ON \
      >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
mkdir -p build/packages/amd64
rm -f build/packages/amd64/*.deb
mv "$build"/*.deb build/packages/amd64/
scripts/cross.sh i686 package
scripts/cross.sh powerpc package
for arch in amd64 i386 powerpc; do
  echo "packages: $arch: $(cd "build/packages/$arch" && echo *.deb)"
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
for deb in build/packages/*/*.deb; do
  stray+=$(dpkg-deb -c "$deb" | grep -E 'libdlog|libKwHostServices|QelDiagUtilsHost|KwTimerMgr\.h|dlog\.h' || true)
done
check "no stand-in in any package" test -z "$stray"
check "lintian: no errors and no warnings on the amd64 packages" \
  lintian --fail-on error,warning build/packages/amd64/*.deb

# The amd64 packages, installed; the samples built against them.
mapfile -t debs < <(ls build/packages/amd64/*.deb)
names=()
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
expect='queueDepth: 42, '
installed_sample() {
  cmake -S tests/install/consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$standins" \
        -DSAMPLE_SOURCE="$PWD/examples/embed_sample.cpp" \
        -DHTTP_SAMPLE_SOURCE="$PWD/examples/embed_http_sample.cpp" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 &&
    LD_LIBRARY_PATH=$standinlib "$work/consumer/consumer" 2>/dev/null | grep -q "$expect" &&
    LD_LIBRARY_PATH=$standinlib "$work/consumer/http_consumer" 0 | grep -q '^status server on port'
}
check "find_package against the installed packages: the samples build and run" installed_sample
pkgconfig_sample() {
  # shellcheck disable=SC2046
  g++ -std=c++17 examples/embed_sample.cpp -o "$work/pc-consumer" \
      $(PKG_CONFIG_PATH=$standinlib/pkgconfig pkg-config --cflags --libs QelDiagUtils \
        QelDiagUtilsHost) &&
    LD_LIBRARY_PATH=$standinlib "$work/pc-consumer" 2>/dev/null | grep -q "$expect" &&
    g++ -std=c++17 examples/embed_http_sample.cpp -o "$work/pc-http" -Wl,--no-as-needed \
      $(PKG_CONFIG_PATH=$standinlib/pkgconfig pkg-config --cflags --libs QelDiagHttp \
        QelDiagUtilsHost) &&
    LD_LIBRARY_PATH=$standinlib "$work/pc-http" 0 | grep -q '^status server on port'
}
check "pkg-config against the installed packages: the samples build and run" pkgconfig_sample
check "qel-top from its package: --help, and its manual page" \
  sh -c '/usr/bin/qel-top --help | grep -q "^usage: qel-top" && test -s /usr/share/man/man1/qel-top.1.gz'
for arch in i386 powerpc; do
  check "qel-top packaged for $arch" \
    sh -c "dpkg-deb -c build/packages/$arch/qel-top_*_$arch.deb | grep -q ' ./usr/bin/qel-top\$'"
done
if [ ${#installed[@]} != 0 ]; then
  # Removed, then purged: nothing of them stays, not even in the
  # config-files state, and none of their files.
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
fi

# The powerpc packages in a sysroot, the sample cross-built against them.
sysroot=$work/sysroot-powerpc
for deb in build/packages/powerpc/*.deb; do dpkg -x "$deb" "$sysroot"; done
ppc=$PWD/build-powerpc
board_sample() {
  local lib=$sysroot/usr/lib/powerpc-linux-gnu
  PKG_CONFIG_PATH=$lib/pkgconfig:$ppc/ace-powerpc/lib/pkgconfig pkg-config --cflags --libs \
    QelDiagUtils >"$work/ppc-flags" &&
    # shellcheck disable=SC2046
    powerpc-linux-gnu-g++ -std=c++17 examples/embed_sample.cpp -o "$work/ppc-consumer" \
      $(cat "$work/ppc-flags") -I"$PWD/host" -L"$ppc/host" -lKwHostServices \
      -Wl,-rpath-link,"$ppc/ace-powerpc/lib" &&
    qemu-ppc -L /usr/powerpc-linux-gnu \
      -E LD_LIBRARY_PATH="$lib:$ppc/host:$ppc/ace-powerpc/lib" "$work/ppc-consumer" 2>/dev/null |
    grep -q "$expect"
}
check "powerpc: the sample built against the unpacked packages runs under qemu-ppc" board_sample

checks_done
