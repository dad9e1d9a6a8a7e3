#!/usr/bin/env bash
# Installs everything the builds and tests need on a Debian 12 machine, and cross-builds the
# MinGW-w64 libraries from Debian's source packages into a cache outside the repository.
# Idempotent: a second run only checks stamps and takes seconds.
set -euo pipefail

CACHE=${CORLINQ_DEPS_DIR:-/var/cache/corlinq-deps}
MINGW_PREFIX=${CACHE}/mingw64
HOST=x86_64-w64-mingw32
JOBS=$(nproc)

log() { printf '[deps] %s\n' "$*"; }

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

PACKAGES=(
  build-essential cmake ninja-build pkg-config dpkg-dev ca-certificates openssl curl python3 bc procps
  clang libclang-rt-14-dev
  mingw-w64 wine wine64 xvfb x11-utils imagemagick fonts-wqy-microhei
  libmbedtls-dev libssl-dev libtinyxml2-dev libjsoncpp-dev libcurl4-openssl-dev libcpp-httplib-dev
  libmicrohttpd-dev libgnutls28-dev
  googletest libgtest-dev libgmock-dev
  nginx-light wrk time ccache openbox
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# deb-src is needed for the cross-built libraries; enable it once.
SRC_LIST=/etc/apt/sources.list.d/corlinq-deb-src.sources
need_update=0
if [ ! -f "$SRC_LIST" ]; then
  log "enabling deb-src"
  $SUDO tee "$SRC_LIST" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if [ ${#missing[@]} -gt 0 ] || [ $need_update -eq 1 ]; then
  log "apt-get update"
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The posix thread model gives the cross compiler std::thread and std::mutex.
CC_X=${HOST}-gcc-posix
CXX_X=${HOST}-g++-posix

mkdir -p "$CACHE/src" "$CACHE/build" "$MINGW_PREFIX"

src_version() { # package -> version of the source package apt would fetch
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ {print $2; exit}'
}

fetch_source() { # package version -> directory of the unpacked source
  local pkg=$1 ver=$2 dir="$CACHE/src/${1}_${2}"
  if [ ! -f "$dir/.unpacked" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    chmod 755 "$dir"
    (cd "$dir" && apt-get source -qq --download-only "$pkg=$ver" >/dev/null 2>&1 \
       && dpkg-source -x ./*.dsc tree >/dev/null 2>&1)
    touch "$dir/.unpacked"
  fi
  echo "$dir/tree"
}

TOOLCHAIN_FILE="$CACHE/mingw-toolchain.cmake"
cat > "$TOOLCHAIN_FILE.tmp" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER ${CC_X})
set(CMAKE_CXX_COMPILER ${CXX_X})
set(CMAKE_RC_COMPILER ${HOST}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
cmp -s "$TOOLCHAIN_FILE.tmp" "$TOOLCHAIN_FILE" 2>/dev/null && rm "$TOOLCHAIN_FILE.tmp" || mv "$TOOLCHAIN_FILE.tmp" "$TOOLCHAIN_FILE"

built_prefixes=()

build_cmake_pkg() { # srcpkg name extra-cmake-args...
  local pkg=$1 name=$2; shift 2
  local ver; ver=$(src_version "$pkg")
  [ -n "$ver" ] || { echo "no source version for $pkg" >&2; exit 1; }
  local prefix="$MINGW_PREFIX/${name}-${ver}"
  built_prefixes+=("$prefix")
  [ -f "$prefix/.built" ] && return 0
  log "cross-building $name $ver"
  local src; src=$(fetch_source "$pkg" "$ver")
  local bdir="$CACHE/build/${name}-${ver}"
  rm -rf "$bdir" "$prefix"
  cmake -S "$src" -B "$bdir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@" >"$bdir.log" 2>&1 \
    || { tail -30 "$bdir.log"; exit 1; }
  cmake --build "$bdir" -j"$JOBS" >>"$bdir.log" 2>&1 && cmake --install "$bdir" >>"$bdir.log" 2>&1 \
    || { tail -30 "$bdir.log"; exit 1; }
  touch "$prefix/.built"
}

build_openssl() {
  local ver; ver=$(src_version openssl)
  local prefix="$MINGW_PREFIX/openssl-${ver}"
  built_prefixes+=("$prefix")
  [ -f "$prefix/.built" ] && return 0
  log "cross-building openssl $ver"
  local src; src=$(fetch_source openssl "$ver")
  local bdir="$CACHE/build/openssl-${ver}"
  rm -rf "$bdir" "$prefix" && cp -a "$src" "$bdir"
  (cd "$bdir" && CC=gcc-posix ./Configure mingw64 --cross-compile-prefix=${HOST}- no-shared no-tests \
      --prefix="$prefix" --libdir=lib >"$bdir.log" 2>&1 \
    && make -j"$JOBS" build_libs >>"$bdir.log" 2>&1 && make install_dev >>"$bdir.log" 2>&1) \
    || { tail -30 "$bdir.log"; exit 1; }
  touch "$prefix/.built"
}

build_cmake_pkg mbedtls mbedtls -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
build_cmake_pkg tinyxml2 tinyxml2 -Dtinyxml2_BUILD_TESTING=OFF -DBUILD_TESTING=OFF
build_cmake_pkg libjsoncpp jsoncpp -DJSONCPP_WITH_TESTS=OFF -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DBUILD_STATIC_LIBS=ON -DJSONCPP_WITH_PKGCONFIG_SUPPORT=OFF -DJSONCPP_WITH_CMAKE_PACKAGE=ON
build_openssl

# The win64 preset reads this file to find the cross-built libraries.
{
  echo "# written by scripts/deps.sh"
  echo "list(APPEND CMAKE_FIND_ROOT_PATH ${built_prefixes[*]})"
  echo "list(APPEND CMAKE_PREFIX_PATH ${built_prefixes[*]})"
} > "$MINGW_PREFIX/prefixes.cmake.tmp"
mv "$MINGW_PREFIX/prefixes.cmake.tmp" "$MINGW_PREFIX/prefixes.cmake"
log "ready: $MINGW_PREFIX"
