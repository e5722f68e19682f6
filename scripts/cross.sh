#!/usr/bin/env bash
# Cross-builds the library and its tests and runs the tests under qemu-user.
#
#   scripts/cross.sh i686     32-bit x86 (`long` is 32 bits, as on the boards):
#                             the whole library and every test, with Debian's
#                             32-bit ACE runtime unpacked into the build tree.
#   scripts/cross.sh powerpc  the boards' own big-endian PowerPC: the whole
#                             library is compiled (Debian has no PowerPC ACE to
#                             link), and the tests that need no ACE are run.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/cross.sh i686|powerpc}
scripts/setup.sh proof

build=build-$arch
mkdir -p "$build/ace-include"
# Only the ACE headers are taken from the host: the rest of /usr/include is
# the host's own C library.
ln -sfn /usr/include/ace "$build/ace-include/ace"

args=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-linux-gnu.cmake"
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_WERROR=ON -DQEL_GTEST_FROM_SOURCE=ON
      -DQEL_BUILD_EXAMPLES=OFF -DACE_INCLUDE_DIR="$PWD/$build/ace-include")
case "$arch" in
  i686)
    ace=$PWD/$build/ace-i386
    if [ ! -e "$ace/usr/lib/i386-linux-gnu/libACE-7.0.8.so" ]; then
      rm -rf "$ace" && mkdir -p "$ace"
      (cd "$ace" && apt-get download -q libace-7.0.8:i386 >/dev/null && dpkg -x libace-7.0.8_*_i386.deb .)
    fi
    acelib=$ace/usr/lib/i386-linux-gnu
    args+=(-DACE_LIBRARY="$acelib/libACE-7.0.8.so"
           "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386;-L;/;-E;LD_LIBRARY_PATH=$acelib")
    ;;
  powerpc)
    args+=(-DQEL_LINK_ACE=OFF "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-ppc;-L;/usr/powerpc-linux-gnu")
    ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac

cmake -S . -B "$build" "${args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
