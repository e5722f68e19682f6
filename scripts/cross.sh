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
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/cross.sh i686|powerpc}
scripts/setup.sh proof

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
    make -s -f GNUmakefile.ACE -j"$(nproc)" >/dev/null
    make -s -f GNUmakefile.ACE install INSTALL_PREFIX="$prefix" >/dev/null
  )
  rm -rf "$src"
}

args=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-linux-gnu.cmake"
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_GTEST_FROM_SOURCE=ON)
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
    args+=(-DACE_INCLUDE_DIR="$PWD/$build/ace-include" -DACE_LIBRARY="$acelib/libACE-7.0.8.so"
           "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386;-L;/;-E;LD_LIBRARY_PATH=$acelib")
    emulator=qemu-i386
    ;;
  powerpc)
    ace=$PWD/$build/ace-powerpc
    stamp="ace $(apt-cache policy libace-dev | sed -n 's/^ *Candidate: //p'); $(powerpc-linux-gnu-g++ --version | head -n 1)"
    if [ "$(cat "$ace/.built-with" 2>/dev/null)" = "$stamp" ]; then
      echo "cross: reusing libACE for PowerPC ($stamp)"
    else
      echo "cross: building libACE for PowerPC from Debian's source ($stamp)"
      started=$(date +%s)
      build_ace_powerpc "$ace"
      echo "$stamp" >"$ace/.built-with"
      echo "cross: libACE for PowerPC built in $(($(date +%s) - started)) s"
    fi
    args+=(-DACE_INCLUDE_DIR="$ace/include" -DACE_LIBRARY="$ace/lib/libACE.so"
           "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-ppc;-L;/usr/powerpc-linux-gnu;-E;LD_LIBRARY_PATH=$ace/lib")
    emulator=qemu-ppc
    ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" | tee "$build/ctest.log"
echo "cross: $(grep -Eo 'out of [0-9]+' "$build/ctest.log" | tail -n 1 | cut -d' ' -f3) tests ran under $emulator"
