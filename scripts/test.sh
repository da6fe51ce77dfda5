#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways, with both compilers the
# project supports: a normal build (g++), an AddressSanitizer + UndefinedBehaviorSanitizer build
# (clang), and a ThreadSanitizer build of the suites that exercise threads (g++). A fourth,
# compile-only build with g++ at -O3 (Release) catches the warnings that only its optimiser
# finds; then the Windows DLL, cross-built with mingw-w64 and tested under Wine
# (scripts/windows/test.sh); last, a brief run of every fuzz target. Services the tests need
# (pcscd with the virtual reader, the local token service) are started by the tests' own ctest
# fixtures. Every test carries its own time limit.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${VARLO_JOBS:-$(nproc)}
clang=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
run_ctest() {
  (cd "build/$1" && ctest --output-on-failure -j "$jobs" "${@:2}")
}
stage() {
  echo "== $1 =="
  SECONDS=0
}
stage_done() {
  echo "== $1: ${SECONDS} s =="
}

stage "normal build (g++, RelWithDebInfo)"
bash scripts/build.sh normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest normal
stage_done normal

stage "address + undefined behaviour sanitizer build (clang, Debug)"
bash scripts/build.sh asan "${clang[@]}" -DCMAKE_BUILD_TYPE=Debug -DVARLO_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan
stage_done asan

stage "thread sanitizer build of the concurrent suites (g++, Debug)"
cmake -S . -B build/tsan -G Ninja -DVARLO_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DVARLO_SANITIZE=thread >/dev/null
cmake --build build/tsan --parallel "$jobs" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan -L concurrency
stage_done tsan

stage "release build, compile only (g++, Release)"
bash scripts/build.sh release -DCMAKE_BUILD_TYPE=Release
stage_done release

stage "windows cross-build (mingw-w64), its suites under Wine"
bash scripts/windows/test.sh
stage_done windows

stage "fuzz targets, ${VARLO_FUZZ_SECONDS:-10} s each (clang, ASan + UBSan)"
bash scripts/fuzz.sh all "${VARLO_FUZZ_SECONDS:-10}"
stage_done fuzz
