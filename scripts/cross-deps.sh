#!/usr/bin/env bash
# Cross-builds, from Debian's source packages, the shared libraries that a
# target program with TLS, a terminal UI and YAML settings links against,
# and installs them into a prefix of their own:
#
#   scripts/cross-deps.sh i686 PREFIX      32-bit x86
#   scripts/cross-deps.sh powerpc PREFIX   32-bit big-endian PowerPC
#
# What the status server needs: libmicrohttpd with GnuTLS (and GnuTLS's own
# gmp, nettle and libtasn1; without p11-kit and IDN), yaml-cpp 0.7 and
# libxcrypt (libcrypt.so.1, which the cross sysroots lack); and what qel-top
# needs: libcurl (HTTP and HTTPS over OpenSSL 3.0, nothing else, as Debian's
# libcurl4 is) and ncurses 6.4 (wide, with libtinfo apart). PREFIX gets lib/
# (not multiarch), include/, lib/pkgconfig and lib/cmake, and is built again
# from scratch on every run.
# The sources are unpacked into a temporary folder beside PREFIX, removed
# when the script ends. The libraries carry no run path: a program links
# against them with -Wl,-rpath-link,PREFIX/lib (libraries of libraries:
# GnuTLS's nettle and gmp, for one) and finds them at
# run time through LD_LIBRARY_PATH or where the target installs them.
# curl's CMake build knows OpenSSL but not GnuTLS, and Debian's own libcurl4
# is on OpenSSL: hence two TLS libraries, each where Debian has it.
#
# Needs autoconf, automake and libtool (scripts/setup.sh proof installs
# them): gmp's, GnuTLS's and libxcrypt's source trees are regenerated.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/cross-deps.sh i686|powerpc PREFIX"
arch=${1:?$usage}
prefix=${2:?$usage}
case "$arch" in
  i686 | powerpc) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
for tool in apt-get dpkg-source cmake perl autoreconf libtoolize "$arch-linux-gnu-gcc" \
            "$arch-linux-gnu-g++"; do
  command -v "$tool" >/dev/null || { echo "cross-deps: $tool is missing" >&2; exit 1; }
done

host=$arch-linux-gnu
build_triplet=$(gcc -dumpmachine)
toolchain=$PWD/cmake/toolchain-$host.cmake
jobs=$(nproc)
mkdir -p "$(dirname "$prefix")"
prefix=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
rm -rf "$prefix"
mkdir -p "$prefix/lib/pkgconfig"
src=$(mktemp -d "$(dirname "$prefix")/cross-deps-source.XXXXXX")
trap 'rm -rf "$src"' EXIT

# Only the prefix's .pc files: the build machine's would hand its own
# headers and libraries to the cross compiler.
export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=

# step NAME COMMAND...: runs COMMAND with its output in NAME's log, and shows
# the end of that log if it fails.
step() {
  local log=$src/$1.log
  shift
  if ! "$@" >>"$log" 2>&1; then
    echo "cross-deps: failed: $*" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
}

# fetch PACKAGE: unpacks Debian's source package into $src/PACKAGE and
# prints the path of its tree. The security archive can list a version whose
# .dsc is not on the mirror yet: the next older version is taken then.
fetch() {
  local pkg=$1 dir=$src/$1 version root
  for version in $(apt-cache showsrc "$pkg" |
                   awk -v p="$pkg" '/^Package: /{ours = $2 == p} ours && /^Version: /{print $2}' |
                   sort -rVu); do
    rm -rf "$dir" && mkdir -p "$dir"
    if (cd "$dir" && apt-get source -qq "$pkg=$version" >/dev/null 2>&1); then
      root=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)
      if [ -n "$root" ]; then
        echo "$pkg $version" >>"$src/versions"
        echo "$root"
        return 0
      fi
    fi
  done
  echo "cross-deps: apt-get source $pkg gave no source tree" >&2
  exit 1
}

# timed NAME BUILDER: runs BUILDER and says how long it took.
timed() {
  local started=$SECONDS
  "$2"
  echo "cross-deps: $1 built in $((SECONDS - started)) s"
}

cmake_common=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release
              -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON
              -DCMAKE_FIND_ROOT_PATH="$prefix" -DCMAKE_PREFIX_PATH="$prefix"
              -DCMAKE_SKIP_INSTALL_RPATH=ON)

# cmake_build NAME SOURCE OPTION...: configures, builds and installs a CMake project.
cmake_build() {
  local name=$1 source=$2
  shift 2
  step "$name" cmake -S "$source" -B "$src/$name-build" "${cmake_common[@]}" "$@"
  step "$name" cmake --build "$src/$name-build" -j"$jobs"
  step "$name" cmake --install "$src/$name-build"
}

started=$SECONDS
gmp=$(fetch gmp)
nettle=$(fetch nettle)
libtasn1=$(fetch libtasn1-6)
gnutls=$(fetch gnutls28)
libmicrohttpd=$(fetch libmicrohttpd)
openssl=$(fetch openssl)
curl=$(fetch curl)
ncurses=$(fetch ncurses)
yamlcpp=$(fetch yaml-cpp)
libxcrypt=$(fetch libxcrypt)
echo "cross-deps: Debian's sources fetched in $((SECONDS - started)) s"

# The libraries, headers and .pc files only: no programs, tests or manuals.
# OPENSSLDIR is Debian's, so that the target finds its openssl.cnf and
# certificates where Debian keeps them.
build_openssl() (
  local target=linux-x86
  [ "$arch" != powerpc ] || target=linux-ppc
  cd "$openssl"
  step openssl ./Configure "$target" --cross-compile-prefix="$host-" --prefix="$prefix" \
       --libdir=lib --openssldir=/usr/lib/ssl shared no-tests
  step openssl make -j"$jobs" build_libs
  step openssl make install_dev
)

# autotools NAME TREE OPTION...: configures, builds and installs a shared
# library only.
autotools() {
  local name=$1 tree=$2
  shift 2
  (cd "$tree" &&
     step "$name" ./configure --build="$build_triplet" --host="$host" --prefix="$prefix" \
          --libdir="$prefix/lib" --disable-static "$@" &&
     step "$name" make -j"$jobs" &&
     step "$name" make install)
}

# Debian's gmp tree has no doc/, which its Makefile.in still names: the
# build files are made again from Makefile.am.
build_gmp() {
  (cd "$gmp" && step gmp autoreconf -fi)
  autotools gmp "$gmp"
}
build_nettle() {
  autotools nettle "$nettle" --disable-documentation --disable-openssl \
    --with-include-path="$prefix/include" --with-lib-path="$prefix/lib"
}
build_libtasn1() { autotools libtasn1 "$libtasn1" --disable-doc --disable-valgrind-tests; }
# Debian's patches change configure.ac and Makefile.am: regenerated, less
# gettext's and gtk-doc's own steps. The parts of libunistring it needs, its
# own copy; no p11-kit (PKCS #11 tokens) or IDN (host names beyond ASCII),
# which a status server does without. Certificates where Debian keeps them.
build_gnutls() {
  (cd "$gnutls" && AUTOPOINT=true GTKDOCIZE=true step gnutls autoreconf -fi)
  autotools gnutls "$gnutls" --without-p11-kit --without-idn --with-included-unistring \
    --disable-doc --disable-tools --disable-tests --disable-cxx --disable-guile --disable-libdane \
    --without-tpm --without-tpm2 --disable-nls --without-zlib --without-brotli --without-zstd \
    --disable-rpath --enable-ld-version-script \
    --with-default-trust-store-file=/etc/ssl/certs/ca-certificates.crt \
    GMP_CFLAGS="-I$prefix/include" GMP_LIBS="-L$prefix/lib -lgmp"
}
build_libmicrohttpd() {
  autotools libmicrohttpd "$libmicrohttpd" --with-gnutls="$prefix" --enable-https \
    --disable-doc --disable-examples --disable-curl
  grep -q 'HTTPS support: *yes' "$src/libmicrohttpd.log" ||
    { echo "cross-deps: libmicrohttpd was built without HTTPS" >&2; exit 1; }
}

# CMake too: Debian's patches rename the autotools library for its GnuTLS
# and NSS flavours. The certificates are looked for where Debian has them.
build_curl() {
  cmake_build curl "$curl" -DOPENSSL_ROOT_DIR="$prefix" -DCURL_USE_OPENSSL=ON -DHTTP_ONLY=ON \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_DISABLE_LDAP=ON \
    -DCURL_DISABLE_LDAPS=ON -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
    -DUSE_NGHTTP2=OFF -DUSE_NGTCP2=OFF -DUSE_QUICHE=OFF -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF \
    -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DCURL_USE_GSSAPI=OFF \
    -DCURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt -DCURL_CA_PATH=/etc/ssl/certs
}

# Configured as Debian's wide build is (libtinfo apart, versioned symbols,
# headers straight in include/), less the terminfo database, which the
# target has: it is looked for where Debian installs it.
build_ncurses() (
  cd "$ncurses"
  step ncurses ./configure --build="$build_triplet" --host="$host" --with-build-cc=gcc \
       --prefix="$prefix" --libdir="$prefix/lib" --with-shared --without-normal --without-debug \
       --without-profile --without-ada --without-progs --without-tests --without-manpages \
       --without-cxx-binding --enable-widec --enable-overwrite --with-termlib=tinfo \
       --with-versioned-syms --disable-termcap --disable-db-install --disable-rpath \
       --disable-stripping --enable-pc-files --with-pkg-config-libdir="$prefix/lib/pkgconfig" \
       --with-default-terminfo-dir=/usr/share/terminfo \
       --with-terminfo-dirs=/etc/terminfo:/lib/terminfo:/usr/share/terminfo
  step ncurses make -j"$jobs" libs
  step ncurses make install.libs
)

build_yamlcpp() {
  cmake_build yaml-cpp "$yamlcpp" -DYAML_BUILD_SHARED_LIBS=ON -DYAML_CPP_BUILD_TESTS=OFF \
    -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF
}

# The glibc-compatible library, libcrypt.so.1, as Debian's libcrypt1 is,
# with the strong hashes (bcrypt, yescrypt...) and glibc's own.
build_libxcrypt() (
  cd "$libxcrypt"
  step libxcrypt autoreconf -fi
  step libxcrypt ./configure --build="$build_triplet" --host="$host" --prefix="$prefix" \
       --libdir="$prefix/lib" --enable-hashes=strong,glibc --enable-obsolete-api=glibc \
       --disable-xcrypt-compat-files --disable-static --disable-werror
  step libxcrypt make -j"$jobs"
  step libxcrypt make install
)

timed gmp build_gmp
timed nettle build_nettle
timed libtasn1 build_libtasn1
timed gnutls build_gnutls
timed libmicrohttpd build_libmicrohttpd
timed openssl build_openssl
timed libcurl build_curl
timed ncurses build_ncurses
timed yaml-cpp build_yamlcpp
timed libxcrypt build_libxcrypt

# Shared libraries only, and a note of what they were built from.
rm -rf "$prefix"/lib/*.a "$prefix"/lib/*.la "$prefix/share" "$prefix/bin"
{ cat "$src/versions"; "$host-g++" --version | head -n 1; } >"$prefix/.built-with"
echo "cross-deps: $arch libraries in $prefix/lib: $(cd "$prefix/lib" && ls ./*.so | sed 's|^\./||' | tr '\n' ' ')"
