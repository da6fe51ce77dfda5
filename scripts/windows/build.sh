#!/usr/bin/env bash
# Cross-builds the Windows (x86_64) module MDesfireVarloLibrary.dll, the programs and the test
# suites into build/windows with mingw-w64, warnings treated as errors. Installs what is missing
# (scripts/windows/setup.sh) and builds the dependencies from Debian's source packages once into
# build/windows/deps (VARLO_WINDOWS_DEPS_DIR overrides; reused when present).
# Extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/windows/setup.sh

jobs=${VARLO_JOBS:-$(nproc)}
deps=$(realpath -m "${VARLO_WINDOWS_DEPS_DIR:-build/windows/deps}")
bash scripts/windows/deps.sh "$deps"

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE="$(pwd)/cmake/mingw-w64.cmake" \
  -DVARLO_WINDOWS_DEPS="$deps/prefix" -DVARLO_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
cmake --build build/windows --parallel "$jobs"
