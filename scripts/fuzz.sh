#!/usr/bin/env bash
# fuzz.sh [TARGET] [SECONDS]: builds the libFuzzer targets in build/fuzz with clang (ASan +
# UBSan) and runs TARGET, or every target, for SECONDS each (default 30), starting from its
# corpus in fuzz/corpus/TARGET. New inputs go to build/fuzz/corpus/TARGET, never into the tree;
# a crashing input is kept as build/fuzz/crashes/TARGET/crash-*. Exit 0 only when no target
# crashed.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:-all}
seconds=${2:-30}
jobs=${VARLO_JOBS:-$(nproc)}

export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Warnings do not stop this build: it exists to run the targets, the g++ builds judge warnings.
cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARLO_FUZZ=ON -DVARLO_WARNINGS_AS_ERRORS=OFF \
  "${launcher[@]}" >/dev/null
if [ "$target" = all ]; then
  cmake --build build/fuzz --parallel "$jobs" --target fuzz_targets
  targets=()
  for dir in fuzz/corpus/*/; do
    targets+=("$(basename "$dir")")
  done
else
  cmake --build build/fuzz --parallel "$jobs" --target "$target"
  targets=("$target")
fi

# The module's logger reads its settings through the registry: give it none, so that nothing
# is logged to a file while fuzzing.
export VARLO_USER_REGISTRY=/nonexistent VARLO_MACHINE_REGISTRY=/nonexistent
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$t
  crashes=build/fuzz/crashes/$t
  mkdir -p "$corpus" "$crashes"
  log=build/fuzz/$t.log
  echo "== $t: ${seconds} s =="
  if build/fuzz/fuzz/"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E 'DONE|stat::number_of_executed_units' "$log" || true
  else
    echo "fuzz: $t FAILED (log $log, inputs in $crashes):"
    grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -5 || true
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: crashes in ${failed[*]}"
  exit 1
fi
echo "fuzz: no crash in ${targets[*]}"
