#!/usr/bin/env bash
# Installs, with apt-get, whatever this project needs that the machine lacks.
# Idempotent, and quiet when everything is there already.
#
#   scripts/setup.sh          build, test and demo: compiler, CMake, ACE, GoogleTest,
#                             the exporters' libraries, and the de_DE.UTF-8 locale
#                             (the tests run the outputs under it)
#   scripts/setup.sh bench    + Google Benchmark, wrk, jemalloc and mimalloc
#   scripts/setup.sh live     + Prometheus (server, promtool), headless Chromium, curl,
#                             Node.js and npm (the browser tests)
#   scripts/setup.sh proof    + clang (fuzzer), sanitizer runtimes, clang-format,
#                             gcovr, the i686 and PowerPC cross compilers, qemu-user,
#                             the 32-bit runtime, lintian, and Debian's source
#                             packages (the cross legs build ACE, civetweb and
#                             prometheus-cpp from them): what .ci/run needs
set -euo pipefail

profile=${1:-base}
packages=(cmake make g++ pkg-config libace-dev libgtest-dev prometheus-cpp-dev nlohmann-json3-dev
          libcivetweb-dev locales)
case "$profile" in
  base) ;;
  bench) packages+=(libbenchmark-dev wrk libjemalloc2 libmimalloc2.0) ;;
  live) packages+=(prometheus chromium curl) ;;
  proof)
    packages+=(libbenchmark-dev wrk clang libclang-rt-14-dev clang-format gcovr
               libasan8 libubsan1 libtsan2
               g++-i686-linux-gnu g++-powerpc-linux-gnu qemu-user dpkg-dev perl make lintian
               libc6:i386 libstdc++6:i386)
    ;;
  *) echo "usage: $0 [base|bench|live|proof]" >&2; exit 2 ;;
esac

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

# A mirror caught mid-sync can fail one index; what the install needs is
# then judged by the install itself.
refresh_lists() {
  "${sudo_cmd[@]}" apt-get update -qq || echo "setup: apt-get update reported errors; going on" >&2
}

need_i386=0
for pkg in "${packages[@]}"; do
  if [[ $pkg == *:i386 ]]; then need_i386=1; fi
done
# Source packages: a deb-src entry for every Debian deb entry, unless the
# machine has some already.
has_deb_src() {
  grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/
}
add_deb_src() {
  local list=/etc/apt/sources.list.d/qel-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types: deb(\n|$)/ { sub(/Types: deb/, "Types: deb-src"); print }' \
      /etc/apt/sources.list.d/debian.sources | "${sudo_cmd[@]}" tee "$list.sources" >/dev/null
  else
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | "${sudo_cmd[@]}" tee "$list.list" >/dev/null
  fi
}

updated=0
if [ "$profile" = proof ] && ! has_deb_src; then
  add_deb_src
  refresh_lists
  updated=1
fi
if [ $need_i386 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  refresh_lists
  updated=1
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then missing+=("$pkg"); fi
done
if [ ${#missing[@]} != 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  if [ $updated = 0 ]; then refresh_lists; fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# Node.js and npm, for the browser tests, where the machine has none.
if [ "$profile" = live ] && ! command -v npm >/dev/null; then
  echo "setup: installing nodejs npm" >&2
  refresh_lists
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    nodejs npm >/dev/null
fi

# A German locale (decimal comma), generated from the locales package.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the de_DE.UTF-8 locale" >&2
  "${sudo_cmd[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
