#!/usr/bin/env bash
# Installs, with apt-get, whatever this project needs that the machine lacks.
# Idempotent, and quiet when everything is there already. Waits up to 300 s
# (QEL_LOCK_WAIT) for the package locks that another apt-get or dpkg holds.
#
#   scripts/setup.sh          build, test and demo: compiler, CMake, ACE, GoogleTest,
#                             the exporters' libraries, and the de_DE.UTF-8 locale
#                             (the tests run the outputs under it)
#   scripts/setup.sh bench    + Google Benchmark, wrk, jemalloc and mimalloc
#   scripts/setup.sh packages + dpkg-dev and lintian (this machine's packages)
#   scripts/setup.sh live     + Prometheus (server, promtool), VictoriaMetrics, headless
#                             Chromium, curl, openssl and htpasswd (apache2-utils) for
#                             the TLS recipes,
#                             slowhttptest, ss (iproute2),
#                             Python 3 (free ports), Node.js and npm (the browser tests)
#   scripts/setup.sh proof    + clang (fuzzer), sanitizer runtimes, clang-format,
#                             gcovr, the i686 and PowerPC cross compilers, qemu-user,
#                             lintian, dpkg's i386 architecture (the i686 leg
#                             unpacks Debian's i386 packages) and Debian's source
#                             packages (the PowerPC leg builds its libraries from
#                             them): what .ci/run needs
# Installs that run longer than 30 s say so every 30 s.
set -euo pipefail
. "$(dirname "$0")/lib/progress.sh"

profile=${1:-base}
need_i386=0
packages=(cmake make g++ pkg-config libace-dev libgtest-dev prometheus-cpp-dev nlohmann-json3-dev
          locales libmicrohttpd-dev libgnutls28-dev libyaml-cpp-dev libcrypt-dev
          libcurl4-openssl-dev libncurses-dev libsnappy-dev tmux curl python3)
case "$profile" in
  base) ;;
  bench) packages+=(libbenchmark-dev wrk libjemalloc2 libmimalloc2.0) ;;
  packages) packages+=(dpkg-dev lintian) ;;
  live) packages+=(prometheus victoria-metrics chromium curl python3 slowhttptest iproute2
                     openssl apache2-utils) ;;
  proof)
    packages+=(libbenchmark-dev wrk clang libclang-rt-14-dev clang-format gcovr
               libasan8 libubsan1 libtsan2
               g++-i686-linux-gnu g++-powerpc-linux-gnu qemu-user dpkg-dev perl make lintian
               autoconf automake libtool gettext)
    need_i386=1
    ;;
  *) echo "usage: $0 [base|bench|packages|live|proof]" >&2; exit 2 ;;
esac

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

# Another apt-get or dpkg (a second session's set-up, say) may hold the
# package locks: wait for them up to QEL_LOCK_WAIT seconds, then say so.
# apt-get's DPkg::Lock::Timeout covers the dpkg locks but not the lists lock
# of apt-get update, and dpkg has no such option: hence the loop as well.
lock_wait=${QEL_LOCK_WAIT:-300}
locked() {  # locked COMMAND...: as root, tried again while a lock is held
  local deadline=$((SECONDS + lock_wait)) err status waited=0 cmd
  err=$(mktemp)
  while :; do
    cmd=("$@")
    if [ "$1" = apt-get ]; then
      # The first try does not wait, so that the wait is announced.
      cmd=(env DEBIAN_FRONTEND=noninteractive apt-get
           -o "DPkg::Lock::Timeout=$((waited && deadline > SECONDS ? deadline - SECONDS : 0))" "${@:2}")
    fi
    status=0
    "${sudo_cmd[@]}" "${cmd[@]}" 2>"$err" || status=$?
    if [ $status = 0 ] || ! grep -qiE 'could not get lock|unable to (lock|acquire)|lock was locked' "$err"; then
      cat "$err" >&2
      rm -f "$err"
      return $status
    fi
    if [ $SECONDS -ge $deadline ]; then
      cat "$err" >&2
      rm -f "$err"
      echo "setup: gave up after $lock_wait s waiting for the package lock, which another" \
           "apt-get or dpkg still holds; run scripts/setup.sh again once that is" \
           "done (QEL_LOCK_WAIT sets the wait in seconds)" >&2
      return $status
    fi
    if [ $waited = 0 ]; then
      echo "setup: another apt-get or dpkg holds the package lock; waiting up to $lock_wait s" >&2
      waited=1
    fi
    sleep 2
  done
}

# A mirror caught mid-sync can fail one index; what the install needs is
# then judged by the install itself.
refresh_lists() {
  with_progress "setup: apt-get update" locked apt-get update -qq ||
    echo "setup: apt-get update reported errors; going on" >&2
}

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
  locked dpkg --add-architecture i386
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
  with_progress "setup: installing ${#missing[@]} packages" \
    locked apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Node.js and npm, for the browser tests, where the machine has none.
if [ "$profile" = live ] && ! command -v npm >/dev/null; then
  echo "setup: installing nodejs npm" >&2
  refresh_lists
  with_progress "setup: installing nodejs npm" \
    locked apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi

# A German locale (decimal comma), generated from the locales package.
if ! locale -a 2>/dev/null | grep -qix 'de_DE.utf8'; then
  echo "setup: generating the de_DE.UTF-8 locale" >&2
  "${sudo_cmd[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
