#!/usr/bin/env bash
# build.sh <name> [cmake options...]: configures and builds build/<name> with Ninja, warnings
# treated as errors (as in CI).
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
cmake -S . -B "build/$name" -G Ninja -DVARLO_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
cmake --build "build/$name" --parallel "${VARLO_JOBS:-$(nproc)}"
