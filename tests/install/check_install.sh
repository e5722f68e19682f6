#!/usr/bin/env bash
# Installs the build into temporary prefixes and checks them from outside:
#  - the default install holds the library, its headers, the CMake package
#    and QelDiagUtils.pc, and none of the stand-in host services;
#  - the shared library exports the public classes only, and no test seam;
#  - with the component `standins` added, the README's sample builds and
#    runs against the installed tree, through find_package and pkg-config.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
sample=$source/examples/embed_sample.cpp
expect='queueDepth: 42, '
fail() { echo "install check: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'libQelDiagUtils.so.*.*.*' | head -n 1)
[ -n "$lib" ] || fail "no libQelDiagUtils.so.X.Y.Z installed"
libdir=$(dirname "$lib")
[ -L "$libdir/libQelDiagUtils.so" ] && [ -L "$libdir/libQelDiagUtils.so.1" ] \
  || fail "missing SONAME links in $libdir"
readelf -d "$lib" | grep -q 'SONAME.*\[libQelDiagUtils.so.1\]' || fail "bad SONAME"
for f in include/QelDiagUtils/KwSrvrStatsCollector.h include/QelDiagUtils/KwRingBuffer.h \
         "${libdir#"$prefix"/}/pkgconfig/QelDiagUtils.pc" \
         "${libdir#"$prefix"/}/cmake/QelDiagUtils/QelDiagUtilsConfig.cmake"; do
  [ -e "$prefix/$f" ] || fail "default install lacks $f"
done
standins=$(cd "$prefix" && find . \( -name 'KwTimerMgr.h' -o -name 'KwLinuxMutex.h' \
  -o -name 'KwTimeConvert.h' -o -name 'dlog.h' -o -name 'libdlog*' -o -name 'libKwHostServices*' \
  -o -name 'QelDiagUtilsHost.pc' -o -name 'QelDiagUtilsStandinsTargets*' \
  -o -name 'QelDiagUtilsHostConfig*' \) -print)
[ -z "$standins" ] || fail "default install holds stand-ins: $standins"

# Load-time dependencies: ACE, the logging library and the C/C++ runtime only.
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for dep in $needed; do
  case "$dep" in
    libACE*.so*|libdlog.so.1|libstdc++.so.6|libgcc_s.so.1|libc.so.6|libm.so.6|ld-linux*) ;;
    *) fail "unexpected NEEDED entry: $dep" ;;
  esac
done
echo "$needed" | grep -q '^libACE' && echo "$needed" | grep -qx 'libdlog.so.1' \
  || fail "ACE or the logging library is not a load-time dependency"

# Exported symbols: the public classes only, and nothing written for tests.
symbols=$(nm -DC --defined-only "$lib" | cut -d' ' -f3- | sed 's/@@QELDIAG_1$//')
public='^((KwSrvrStatsCollector|KwTimeTracker|KwMaxValue|KwSrvrStatsCount|KwStatsCounter)::|(KwStatsReportText|KwTakeStatsSnapshot)[[(])'
meta='^(typeinfo for|typeinfo name for|vtable for) (KwSrvrStatsCollector|KwTimeTracker|KwMaxValue)$'
bad=$(echo "$symbols" | grep -vE "$public" | grep -vE "$meta" | grep -vx 'QELDIAG_1' || true)
[ -z "$bad" ] || fail "symbols exported beyond the public classes: $bad"
seams=$(echo "$symbols" | grep -iE 'peer|poll|manual|advance|inject' || true)
[ -z "$seams" ] || fail "test seams exported: $seams"
# (KwStatsCounter, a shipped class, is the collector's one friend.)
seams=$(grep -E '\bfriend\b|Peer|MANUAL_CLOCK|Advance\(|s_poll' "$prefix"/include/QelDiagUtils/*.h |
  grep -v 'friend class KwStatsCounter;' || true)
[ -z "$seams" ] || fail "test hooks in the installed headers: $seams"

# The add-on libraries, where built: of the project's own names, only their
# public classes and functions leave them.
for addon in libQelDiagExport libQelDiagHttp libQelDiagPush; do
  addonlib=$(find "$prefix" -name "$addon.so.*.*.*" | head -n 1)
  [ -n "$addonlib" ] || continue
  own=$(nm -DC --defined-only "$addonlib" | cut -d' ' -f3- | grep -E '(^| )Kw' |
        grep -vE '^((KwStatsHttpServer|KwStatsPrometheus|KwStatsPusher|KwStatsPushOptions)::|KwStatsJson\[)' |
        grep -vxE '(typeinfo for|typeinfo name for|vtable for) KwStatsPrometheus' || true)
  [ -z "$own" ] || fail "$addon exports more than its public names: $own"
done

# The snapshot and the add-ons' headers need nothing of ACE or the collector.
for header in KwStatsSnapshot.h KwStatsTypes.h KwStatsPrometheus.h KwStatsJson.h \
              KwStatsHttpServer.h KwStatsPusher.h; do
  file=$prefix/include/QelDiagUtils/$header
  [ ! -e "$file" ] || ! grep -qE '#include "(ace/|KwSrvrStatsCollector)' "$file" \
    || fail "$header includes ACE or the collector's header"
done

# The stand-ins, on request, and the sample built against library + stand-ins.
cmake --install "$build" --prefix "$prefix" --component standins >/dev/null
[ -e "$prefix/include/QelDiagUtilsHost/KwTimerMgr.h" ] && [ -e "$libdir/libdlog.so.1" ] \
  && [ -e "$libdir/libKwHostServices.so.1" ] || fail "component standins is incomplete"

# The host headers the library is built against declare what a host
# provides and nothing of the tests; the mutex the collector holds by value
# is exactly the pthread mutex it wraps.
hooks=$(grep -lE 'Waiters|MANUAL_CLOCK|Advance\(|FailNext|dlog_set_sink' \
  "$prefix"/include/QelDiagUtilsHost/{KwLinuxMutex,KwTimerMgr,KwTimeConvert,dlog}.h || true)
[ -z "$hooks" ] || fail "test hooks in the host headers: $hooks"
printf '#include "KwLinuxMutex.h"\nstatic_assert(sizeof(KwLinuxMutex) == sizeof(pthread_mutex_t), "");\n' |
  g++ -std=c++17 -fsyntax-only -I"$prefix/include/QelDiagUtilsHost" -x c++ - \
  || fail "KwLinuxMutex is not the size of pthread_mutex_t"

cmake -S "$source/tests/install/consumer" -B "$work/cmake-consumer" \
      -DCMAKE_PREFIX_PATH="$prefix" -DSAMPLE_SOURCE="$sample" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer" 2>/dev/null | grep -q "$expect" \
  || fail "find_package consumer did not report"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 "$sample" -o "$work/pc-consumer" \
    $(pkg-config --cflags --libs QelDiagUtils QelDiagUtilsHost)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer" 2>/dev/null | grep -q "$expect" \
  || fail "pkg-config consumer did not report"
echo "install checks passed"
