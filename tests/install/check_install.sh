#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks what the shared library
# exposes, and builds and runs the README's sample against the installed tree
# twice: through find_package and through pkg-config.
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
sample=$source/examples/embed_sample.cpp
expect='queueDepth: 42, '

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name 'libQelDiagUtils.so.*.*.*' | head -n 1)
libdir=$(dirname "$lib")
[ -L "$libdir/libQelDiagUtils.so" ] && [ -L "$libdir/libQelDiagUtils.so.1" ] \
  || { echo "missing SONAME links in $libdir"; exit 1; }
readelf -d "$lib" | grep -q 'SONAME.*\[libQelDiagUtils.so.1\]' || { echo "bad SONAME"; exit 1; }

# Load-time dependencies: ACE, the logging library and the C/C++ runtime only.
needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for dep in $needed; do
  case "$dep" in
    libACE*.so*|libdlog.so.1|libstdc++.so.6|libgcc_s.so.1|libc.so.6|libm.so.6|ld-linux*) ;;
    *) echo "unexpected NEEDED entry: $dep"; exit 1 ;;
  esac
done
echo "$needed" | grep -q '^libACE' && echo "$needed" | grep -qx 'libdlog.so.1' \
  || { echo "ACE or the logging library is not a load-time dependency"; exit 1; }

# Exported symbols: the public classes only.
public='^(KwSrvrStatsCollector|KwTimeTracker|KwMaxValue|KwSrvrStatsCount)::'
meta='^(typeinfo for|typeinfo name for|vtable for) (KwSrvrStatsCollector|KwTimeTracker|KwMaxValue)$'
bad=$(nm -D --defined-only "$lib" | c++filt | cut -d' ' -f3- | sed 's/@@QELDIAG_1$//' \
      | grep -vE "$public" | grep -vE "$meta" | grep -vx 'QELDIAG_1' || true)
[ -z "$bad" ] || { echo "symbols exported beyond the public classes:"; echo "$bad"; exit 1; }

# find_package
cmake -S "$source/tests/install/consumer" -B "$work/cmake-consumer" \
      -DCMAKE_PREFIX_PATH="$prefix" -DSAMPLE_SOURCE="$sample" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer" 2>/dev/null | grep -q "$expect" \
  || { echo "find_package consumer did not report"; exit 1; }

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
g++ -std=c++17 "$sample" -o "$work/pc-consumer" \
    $(pkg-config --cflags --libs QelDiagUtils QelDiagUtilsHost)
LD_LIBRARY_PATH=$libdir "$work/pc-consumer" 2>/dev/null | grep -q "$expect" \
  || { echo "pkg-config consumer did not report"; exit 1; }
echo "install checks passed"
