#!/usr/bin/env bash
# The libraries a cross build of the project links against, made once per
# target and kept in a cache outside the clone:
#
#   scripts/cross-deps.sh i686      Debian's own i386 packages (ACE, GnuTLS,
#                                   libmicrohttpd, libcurl, ncurses, yaml-cpp,
#                                   libcrypt, prometheus-cpp, snappy,
#                                   GoogleTest and what they need), fetched
#                                   through the i386 architecture of dpkg and
#                                   unpacked into a folder: nothing is built.
#                                   (Installing them beside the build
#                                   machine's own is not possible: libace-dev,
#                                   libyaml-cpp-dev and civetweb are not
#                                   Multi-Arch.)
#   scripts/cross-deps.sh powerpc   built from Debian's source packages, which
#                                   Debian has for no PowerPC of 32 bits: ACE,
#                                   prometheus-cpp (core), libmicrohttpd on
#                                   GnuTLS (with gmp, nettle and libtasn1),
#                                   libcurl on the same GnuTLS, ncurses,
#                                   yaml-cpp, libxcrypt and snappy
#   scripts/cross-deps.sh --help
#
# Prints the folder's path as its one line of standard output; progress and
# timings go to standard error. The folder is named by a key of what makes
# it: the Debian versions it is made from, this script's hash and the cross
# compiler's version. An existing folder of that key is reused at once; a new
# one is complete once its env.sh is written (last), and of a target's
# folders the three used last are kept; two runs for one target take turns.
# QEL_CROSS_CACHE sets the cache's place (by default
# ${XDG_CACHE_HOME:-~/.cache}/qel-diag-utils/cross).
#
# Each folder holds env.sh, which scripts/cross.sh sources:
#   QEL_DEPS_ROOTS      roots for CMake's find_* (CMAKE_FIND_ROOT_PATH)
#   QEL_DEPS_LIBDIRS    folders of the shared libraries, ':'-separated
#                       (the link's -rpath-link, the emulator's library path)
#   QEL_DEPS_INCLUDES   folders of headers, ':'-separated
#   QEL_DEPS_PKGCONFIG  PKG_CONFIG_LIBDIR; QEL_DEPS_PKGSYSROOT its sysroot
#   QEL_DEPS_ACE_INCLUDE, QEL_DEPS_ACE_LIBRARY   the target's ACE
#   QEL_DEPS_QEMU_ROOT  the C library's root, for qemu's -L
#   QEL_DEPS_GTEST      ON where GoogleTest comes built (i686)
#
# Needs (scripts/setup.sh proof installs them): the cross compilers,
# dpkg-dev, and for PowerPC autoconf, automake, libtool, gettext and perl.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/progress.sh
usage="usage: scripts/cross-deps.sh i686|powerpc"
case "${1:-}" in
  -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
  i686) host=i686-linux-gnu debarch=i386 ;;
  powerpc) host=powerpc-linux-gnu debarch=powerpc ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
arch=$1
say() { echo "cross-deps: $*" >&2; }
for tool in apt-get apt-cache dpkg-deb "$host-gcc" "$host-g++"; do
  command -v "$tool" >/dev/null || { say "$tool is missing (scripts/setup.sh proof)"; exit 1; }
done

# What the target needs, by Debian's binary package names.
i386_packages=(libace-dev prometheus-cpp-dev civetweb libmicrohttpd-dev libgnutls28-dev
               libyaml-cpp-dev libcrypt-dev libcurl4-openssl-dev libncurses-dev libgtest-dev
               libsnappy-dev libc6 libstdc++6)
powerpc_sources=(libace-dev prometheus-cpp-dev libgmp-dev nettle-dev libtasn1-6-dev libgnutls28-dev
                 libmicrohttpd-dev libcurl4-gnutls-dev libncurses-dev libyaml-cpp-dev libcrypt-dev
                 libsnappy-dev)


# ---------------------------------------------------------------------------
# i686: Debian's i386 packages and everything they depend on, less the
# compiler's own C library headers (the cross compiler brings its own).
unpack_i386() {
  local debs=$work/debs list
  mkdir -p "$debs"
  list=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
           --no-replaces --no-enhances "${i386_packages[@]/%/:i386}" nlohmann-json3-dev 2>/dev/null |
         grep -E '^[a-z0-9][^ ]*(:i386)?$' | sort -u |
         grep -E ':i386$|^nlohmann-json3-dev$' |
         grep -vE '^(libc6-dev|linux-libc-dev|libc-dev-bin|libnsl-dev|libtirpc-dev|rpcsvc-proto|ncurses-bin|gcc-[0-9]+-base):')
  [ -n "$list" ] || { say "apt-cache knows no i386 packages: is the i386 architecture added?"; exit 1; }
  # shellcheck disable=SC2086
  (cd "$debs" && with_progress "cross-deps: downloading $(wc -w <<<"$list") i386 packages" \
     apt-get download -q $list >"$work/download.log" 2>&1) ||
    { cat "$work/download.log" >&2; exit 1; }
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$prefix"
    echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)" >>"$work/versions"
  done
  # Links that name an absolute path point into the folder instead.
  local link target
  while IFS= read -r link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$prefix$target")" "$link"
  done < <(find "$prefix" -type l -lname '/*')
  rm -rf "$prefix/usr/share/doc" "$prefix/usr/share/man" "$prefix/usr/share/locale"
  local lib=usr/lib/i386-linux-gnu
  cat >"$work/env.sh" <<EOF
QEL_DEPS_ROOTS="$dest;$dest/usr"
QEL_DEPS_LIBDIRS="$dest/$lib:$dest/lib/i386-linux-gnu"
QEL_DEPS_INCLUDES="$dest/usr/include/i386-linux-gnu:$dest/usr/include"
QEL_DEPS_PKGCONFIG="$dest/$lib/pkgconfig:$dest/usr/share/pkgconfig"
QEL_DEPS_PKGSYSROOT="$dest"
QEL_DEPS_ACE_INCLUDE="$dest/usr/include"
QEL_DEPS_ACE_LIBRARY="$dest/$lib/libACE.so"
QEL_DEPS_QEMU_ROOT="$dest"
QEL_DEPS_GTEST=ON
EOF
}

# ---------------------------------------------------------------------------
# PowerPC: from Debian's sources. Each library's output goes to a log of its
# own, shown when it fails.
jobs=$(nproc)
build_triplet=$(gcc -dumpmachine)
toolchain=$PWD/cmake/toolchain-$host.cmake

step() {
  local log=$work/$1.log
  shift
  if ! "$@" >>"$log" 2>&1; then
    say "failed: $*"
    tail -n 40 "$log" >&2
    exit 1
  fi
}

# fetch PACKAGE: unpacks Debian's source package into $src/PACKAGE and
# prints its tree. The security archive can list a version whose .dsc is
# not on the mirror yet: the next older one is taken then.
fetch() {
  local pkg=$1 dir=$src/$1 version root
  for version in $(apt-cache showsrc "$pkg" |
                   awk -v p="$pkg" '/^Package: /{ours = $2 == p} ours && /^Version: /{print $2}' |
                   sort -rVu); do
    rm -rf "$dir" && mkdir -p "$dir"
    if (cd "$dir" && apt-get source -qq --only-source "$pkg=$version" >/dev/null 2>&1); then
      root=$(find "$dir" -mindepth 1 -maxdepth 1 -type d | head -n 1)
      if [ -n "$root" ]; then
        echo "$pkg $version (source)" >>"$work/versions"
        echo "$root"
        return 0
      fi
    fi
  done
  say "apt-get source $pkg gave no source tree (are deb-src entries there? scripts/setup.sh proof)"
  exit 1
}

cmake_build() {  # cmake_build NAME SOURCE OPTION...
  local name=$1 source=$2
  shift 2
  step "$name" cmake -S "$source" -B "$src/$name-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=ON -DCMAKE_FIND_ROOT_PATH="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_SKIP_INSTALL_RPATH=ON "$@"
  step "$name" cmake --build "$src/$name-build" -j"$jobs"
  step "$name" cmake --install "$src/$name-build"
}

autotools() {  # autotools NAME TREE OPTION...: a shared library only
  local name=$1 tree=$2
  shift 2
  (cd "$tree" &&
     step "$name" ./configure --build="$build_triplet" --host="$host" --prefix="$prefix" \
          --libdir="$prefix/lib" --disable-static "$@" &&
     step "$name" make -j"$jobs" &&
     step "$name" make install)
}

# libACE, configured as Debian's (its config.h), named libACE-<version>.so
# as Debian's is.
build_ace() {
  local root
  root=$(fetch ace)
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
    step ace perl "$ACE_ROOT/bin/mpc.pl" -type gnuace ace.mpc
    step ace make -f GNUmakefile.ACE -j"$jobs" versioned_so=2
    step ace make -f GNUmakefile.ACE install INSTALL_PREFIX="$prefix" versioned_so=2
  )
}

# prometheus-cpp's core (the exporters need no server, push or compression
# of its own), and nlohmann-json's headers beside it.
build_prometheus_cpp() {
  local tree
  tree=$(fetch prometheus-cpp)
  cmake_build prometheus-cpp "$tree" -DENABLE_PULL=OFF -DENABLE_PUSH=OFF \
    -DENABLE_COMPRESSION=OFF -DENABLE_TESTING=OFF -DUSE_THIRDPARTY_LIBRARIES=OFF
  mkdir -p "$prefix/include" "$prefix/lib/cmake"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/lib/cmake/"
}

# Debian's gmp tree has no doc/, which its Makefile.in still names: the
# build files are made again from Makefile.am.
build_gmp() {
  local tree
  tree=$(fetch gmp)
  (cd "$tree" && step gmp autoreconf -fi)
  autotools gmp "$tree"
}
build_nettle() {
  local tree
  tree=$(fetch nettle)
  autotools nettle "$tree" --disable-documentation --disable-openssl \
    --with-include-path="$prefix/include" --with-lib-path="$prefix/lib"
}
build_libtasn1() {
  local tree
  tree=$(fetch libtasn1-6)
  autotools libtasn1 "$tree" --disable-doc --disable-valgrind-tests
}
# Debian's patches change configure.ac and Makefile.am: regenerated, less
# gettext's and gtk-doc's own steps. The parts of libunistring it needs, its
# own copy; no p11-kit (PKCS #11 tokens) or IDN (host names beyond ASCII),
# which a status server does without. Certificates where Debian keeps them.
build_gnutls() {
  local tree
  tree=$(fetch gnutls28)
  (cd "$tree" && AUTOPOINT=true GTKDOCIZE=true step gnutls autoreconf -fi)
  autotools gnutls "$tree" --without-p11-kit --without-idn --with-included-unistring \
    --disable-doc --disable-tools --disable-tests --disable-cxx --disable-guile --disable-libdane \
    --without-tpm --without-tpm2 --disable-nls --without-zlib --without-brotli --without-zstd \
    --disable-rpath --enable-ld-version-script \
    --with-default-trust-store-file=/etc/ssl/certs/ca-certificates.crt \
    GMP_CFLAGS="-I$prefix/include" GMP_LIBS="-L$prefix/lib -lgmp"
}
build_libmicrohttpd() {
  local tree
  tree=$(fetch libmicrohttpd)
  autotools libmicrohttpd "$tree" --with-gnutls="$prefix" --enable-https \
    --disable-doc --disable-examples --disable-curl
  grep -q 'HTTPS support: *yes' "$work/libmicrohttpd.log" ||
    { say "libmicrohttpd was built without HTTPS"; exit 1; }
}
# libcurl on the GnuTLS above, HTTP and HTTPS only, as Debian's
# libcurl3-gnutls is (libcurl-gnutls.so.4: Debian's patches name it so); a
# second TLS library would double what the board carries. libcurl.so, for
# the link, points at it. Debian's last patch renames the library for its
# NSS flavour: taken back out, as Debian's own GnuTLS build does.
build_curl() {
  local tree
  tree=$(fetch curl)
  (cd "$tree" && step curl patch -R -p1 -i debian/patches/99_nss.patch && step curl autoreconf -fi)
  (cd "$tree" &&
     step curl ./configure --build="$build_triplet" --host="$host" --prefix="$prefix" \
          --libdir="$prefix/lib" --disable-static --with-gnutls="$prefix" --without-openssl \
          --enable-http --disable-ftp --disable-file --disable-ldap --disable-ldaps \
          --disable-rtsp --disable-dict --disable-telnet --disable-tftp --disable-pop3 \
          --disable-imap --disable-smb --disable-smtp --disable-gopher --disable-mqtt \
          --disable-manual --disable-docs --without-zlib --without-brotli --without-zstd \
          --without-libidn2 --without-libpsl --without-nghttp2 --without-libssh2 \
          --without-librtmp --without-libgsasl --disable-rpath \
          --with-ca-bundle=/etc/ssl/certs/ca-certificates.crt --with-ca-path=/etc/ssl/certs &&
     step curl make -j"$jobs" -C lib &&
     step curl make -C lib install &&
     step curl make -C include install &&
     step curl make install-pkgconfigDATA)
  [ -e "$prefix/lib/libcurl.so" ] || ln -s libcurl-gnutls.so.4 "$prefix/lib/libcurl.so"
}
# Configured as Debian's wide build is (libtinfo apart, versioned symbols,
# headers straight in include/), less the terminfo database, which the
# target has: it is looked for where Debian installs it.
build_ncurses() {
  local tree
  tree=$(fetch ncurses)
  (cd "$tree" &&
     step ncurses ./configure --build="$build_triplet" --host="$host" --with-build-cc=gcc \
          --prefix="$prefix" --libdir="$prefix/lib" --with-shared --without-normal \
          --without-debug --without-profile --without-ada --without-progs --without-tests \
          --without-manpages --without-cxx-binding --enable-widec --enable-overwrite \
          --with-termlib=tinfo --with-versioned-syms --disable-termcap --disable-db-install \
          --disable-rpath --disable-stripping --enable-pc-files \
          --with-pkg-config-libdir="$prefix/lib/pkgconfig" \
          --with-default-terminfo-dir=/usr/share/terminfo \
          --with-terminfo-dirs=/etc/terminfo:/lib/terminfo:/usr/share/terminfo &&
     step ncurses make -j"$jobs" libs &&
     step ncurses make install.libs)
}
build_yamlcpp() {
  local tree
  tree=$(fetch yaml-cpp)
  cmake_build yaml-cpp "$tree" -DYAML_BUILD_SHARED_LIBS=ON \
    -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF
}
# The glibc-compatible libcrypt.so.1, as Debian's libcrypt1 is, with the
# strong hashes (bcrypt, yescrypt...) and glibc's own.
build_libxcrypt() {
  local tree
  tree=$(fetch libxcrypt)
  (cd "$tree" &&
     step libxcrypt autoreconf -fi &&
     step libxcrypt ./configure --build="$build_triplet" --host="$host" --prefix="$prefix" \
          --libdir="$prefix/lib" --enable-hashes=strong,glibc --enable-obsolete-api=glibc \
          --disable-xcrypt-compat-files --disable-static --disable-werror &&
     step libxcrypt make -j"$jobs" &&
     step libxcrypt make install)
}
build_snappy() {
  local tree
  tree=$(fetch snappy)
  cmake_build snappy "$tree" -DSNAPPY_BUILD_TESTS=OFF -DSNAPPY_BUILD_BENCHMARKS=OFF
}

build_powerpc() {
  mkdir -p "$src" "$prefix/lib/pkgconfig"
  # Only the folder's .pc files: the build machine's would hand its own
  # headers and libraries to the cross compiler.
  export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig PKG_CONFIG_PATH= PKG_CONFIG_SYSROOT_DIR=
  local lib
  for lib in ace prometheus_cpp gmp nettle libtasn1 gnutls libmicrohttpd curl ncurses yamlcpp \
             libxcrypt snappy; do
    with_progress "cross-deps: $lib for $arch" "build_$lib"
    rm -rf "${src:?}"/*
  done
  rm -rf "$prefix"/lib/*.a "$prefix"/lib/*.la "$prefix/share/doc" "$prefix/share/man" \
         "$prefix/share/info" "$prefix/bin"
  cat >"$work/env.sh" <<EOF
QEL_DEPS_ROOTS="$dest"
QEL_DEPS_LIBDIRS="$dest/lib"
QEL_DEPS_INCLUDES=""
QEL_DEPS_PKGCONFIG="$dest/lib/pkgconfig"
QEL_DEPS_PKGSYSROOT=""
QEL_DEPS_ACE_INCLUDE="$dest/include"
QEL_DEPS_ACE_LIBRARY="$dest/lib/libACE.so"
QEL_DEPS_QEMU_ROOT="/usr/powerpc-linux-gnu"
QEL_DEPS_GTEST=OFF
EOF
}

# The Debian versions: "package: candidate" for each, in one call.
candidates() { apt-cache policy "$@" | awk '/^[^ ]/ { name = $1 } /^ *Candidate:/ { print name, $2 }'; }
if [ "$arch" = i686 ]; then
  key_input=$(candidates "${i386_packages[@]/%/:i386}")
else
  key_input=$(candidates "${powerpc_sources[@]}")
fi
# What makes them, and nothing else: an edit elsewhere in this script (a
# comment, the cache's upkeep) reuses what was made.
key_input+=$'\n'$(declare -f unpack_i386 build_powerpc step fetch cmake_build autotools \
                   $(compgen -A function build_) with_progress)
key_input+=$'\n'$(cat "$toolchain")$'\n'$("$host-g++" --version | head -n 1)
key=$(sha256sum <<<"$key_input" | cut -c1-16)
cache=${QEL_CROSS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qel-diag-utils/cross}
dest=$cache/$arch-$key
mkdir -p "$cache"
exec 9>"$cache/.$arch.lock"
if ! flock -n 9; then
  say "another run is making $arch's libraries; waiting for it"
  flock 9
fi
if [ -f "$dest/env.sh" ]; then
  say "reusing $dest"
  touch "$dest/last-used"
  echo "$dest"
  exit 0
fi
# Made in place (the paths of .pc files and CMake packages are final), and
# complete once env.sh is there: a folder without it is made again.
rm -rf "$dest"
prefix=$dest
mkdir -p "$prefix"
work=$(mktemp -d "$cache/.$arch-work.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/source
started=$SECONDS
say "making $arch's libraries in $dest"
if [ "$arch" = i686 ]; then unpack_i386; else build_powerpc; fi
{ cat "$work/versions"; "$host-g++" --version | head -n 1; } >"$dest/built-from"
mv "$work/env.sh" "$dest/env.sh"
touch "$dest/last-used"
# Clones of other versions of this script share the cache: the three folders
# of this target used last stay, older ones go.
ls -dt "$cache/$arch"-*/last-used 2>/dev/null | tail -n +4 | while IFS= read -r stale; do
  rm -rf "$(dirname "$stale")"
done
say "$arch's libraries made in $((SECONDS - started)) s: $dest"
echo "$dest"
