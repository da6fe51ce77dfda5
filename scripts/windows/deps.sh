#!/usr/bin/env bash
# deps.sh [DIR]: builds the Windows (x86_64 mingw-w64) static libraries and headers the project
# needs from Debian's source packages into DIR (default build/windows/deps): Crypto++, libsodium,
# SQLite (its amalgamation), GoogleTest, and the header-only nlohmann-json and CLI11. Each
# dependency leaves a stamp in DIR/stamps and is built only once; remove its stamp (or DIR) to
# build it again. Needs scripts/windows/setup.sh to have run.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
deps=$(realpath -m "${1:-build/windows/deps}")
prefix=$deps/prefix
src=$deps/src
stamps=$deps/stamps
jobs=${VARLO_JOBS:-$(nproc)}
host=x86_64-w64-mingw32
# ccache, where there is one, makes building the dependencies again (a fresh checkout, as in CI)
# cheap.
cache=""
if command -v ccache >/dev/null; then
  cache="ccache "
fi
mkdir -p "$prefix/include" "$prefix/lib" "$src" "$stamps"

# fetch PACKAGE: unpacks Debian's source of PACKAGE (with Debian's patches) under $src and
# prints its folder.
fetch() {
  local dir
  dir=$(find "$src" -maxdepth 1 -type d -name "$1-[0-9]*" | head -n 1)
  if [ -z "$dir" ]; then
    (cd "$src" && apt-get source -qq "$1" >/dev/null 2>&1) || {
      echo "deps: apt-get source $1 failed (is a deb-src entry there? run scripts/windows/setup.sh)" >&2
      return 1
    }
    dir=$(find "$src" -maxdepth 1 -type d -name "$1-[0-9]*" | head -n 1)
  fi
  echo "$dir"
}

# step NAME FUNCTION: runs FUNCTION once, its output in $deps/NAME.log.
step() {
  if [ -f "$stamps/$1" ]; then
    return 0
  fi
  echo "deps: building $1 (log: $deps/$1.log)"
  local start=$SECONDS status
  # In a subshell of its own, not in a condition, so that its first failing command ends it.
  set +e
  (
    set -e
    "$2"
  ) >"$deps/$1.log" 2>&1
  status=$?
  set -e
  if [ "$status" != 0 ]; then
    echo "deps: building $1 failed; last lines of $deps/$1.log:" >&2
    tail -n 30 "$deps/$1.log" >&2
    exit 1
  fi
  echo "deps: $1 built in $((SECONDS - start)) s"
  touch "$stamps/$1"
}

build_sodium() {
  local dir
  dir=$(fetch libsodium)
  cd "$dir"
  ./autogen.sh -s
  ./configure --host=$host --prefix="$prefix" --disable-shared --enable-static \
    CC="${cache}$host-gcc-posix" CFLAGS="-O2"
  make -j "$jobs"
  make install
}

build_cryptopp() {
  local dir
  dir=$(fetch libcrypto++)
  cd "$dir"
  make -f GNUmakefile-cross clean >/dev/null || true
  make -f GNUmakefile-cross -j "$jobs" static \
    CXX="${cache}$host-g++-posix" AR=$host-ar RANLIB=$host-ranlib \
    CXXFLAGS="-DNDEBUG -O2 -pipe"
  mkdir -p "$prefix/include/cryptopp"
  cp ./*.h "$prefix/include/cryptopp/"
  cp libcryptopp.a "$prefix/lib/libcryptopp.a"
}

# SQLite's source tree generates its single-file amalgamation with host tools (tclsh, lemon);
# the amalgamation is then compiled for Windows.
build_sqlite() {
  local dir
  dir=$(fetch sqlite3)
  mkdir -p "$dir/varlo-host-build"
  cd "$dir/varlo-host-build"
  [ -f Makefile ] || ../configure --disable-tcl
  make sqlite3.c sqlite3.h
  ${cache}$host-gcc-posix -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c sqlite3.c -o sqlite3.o
  $host-ar rcs "$prefix/lib/libsqlite3.a" sqlite3.o
  cp sqlite3.h "$prefix/include/"
}

# GoogleTest's source as Debian's googletest package installs it.
build_gtest() {
  local build=$deps/gtest-build
  cmake -S /usr/src/googletest -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF ${cache:+-DCMAKE_CXX_COMPILER_LAUNCHER=ccache}
  cmake --build "$build" --parallel "$jobs"
  cmake --install "$build"
}

# Header-only: the headers of Debian's packages are the same on every target.
build_headers() {
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/include/CLI "$prefix/include/"
}

step headers build_headers
step sodium build_sodium
step cryptopp build_cryptopp
step sqlite build_sqlite
step gtest build_gtest
