#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways: a normal build, an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of the
# suites that exercise threads; last, a brief run of every fuzz target. Services the tests need (pcscd with the virtual reader, the
# local token service) are started by the tests' own ctest fixtures.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=${VARLO_JOBS:-$(nproc)}
run_ctest() {
  (cd "build/$1" && ctest --output-on-failure --timeout 600 -j "$jobs" "${@:2}")
}

echo "== normal build =="
bash scripts/build.sh normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest normal

echo "== address + undefined behaviour sanitizer build =="
bash scripts/build.sh asan -DCMAKE_BUILD_TYPE=Debug -DVARLO_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan

echo "== thread sanitizer build (concurrent suites) =="
cmake -S . -B build/tsan -G Ninja -DVARLO_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=Debug \
  -DVARLO_SANITIZE=thread >/dev/null
cmake --build build/tsan --parallel "$jobs" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest tsan -L concurrency

echo "== fuzz targets, ${VARLO_FUZZ_SECONDS:-10} s each (clang, ASan + UBSan) =="
bash scripts/fuzz.sh all "${VARLO_FUZZ_SECONDS:-10}"
