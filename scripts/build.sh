#!/usr/bin/env bash
# build.sh <name> [cmake options...]: configures and builds build/<name> with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1
shift
cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
cmake --build "build/$name" --parallel "${VARLO_JOBS:-$(nproc)}"
