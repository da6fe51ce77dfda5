#!/usr/bin/env bash
# Builds the Windows tree (scripts/windows/build.sh) and tests it on this machine, under Wine,
# headless: the DLL's export and import tables, the ctest suites that need no card reader (each
# program run by Wine through CMAKE_CROSSCOMPILING_EMULATOR), then the settings read from the
# Windows registry and the module host listing tokens that varlo-tokend.exe restored
# (scripts/windows/service_check.sh). Wine keeps its prefix in build/windows/wine; everything
# this script starts under Wine is ended when it ends.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
bash scripts/windows/build.sh

jobs=${VARLO_JOBS:-$(nproc)}
build=$root/build/windows
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: console programs need neither, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

stop_wine() {
  wineserver -k 2>/dev/null || true
}
trap stop_wine EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows test: creating the Wine prefix $WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
# One wineserver for every program of the run, instead of one started (and ended) per program
# (it answers 2 when a server of this prefix is running already).
wineserver -p || [ $? = 2 ]
wine wineboot --init >/dev/null 2>&1

echo "== export and import table of MDesfireVarloLibrary.dll =="
cmake -DOBJDUMP=x86_64-w64-mingw32-objdump -DDLL="$build/module/MDesfireVarloLibrary.dll" \
  -P cmake/check_dll_exports.cmake

echo "== test suites under Wine =="
(cd "$build" && ctest --output-on-failure -j "$jobs")

echo "== registry settings, varlo-tokend.exe and the module host =="
bash scripts/windows/service_check.sh "$build"
