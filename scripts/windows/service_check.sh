#!/usr/bin/env bash
# service_check.sh BUILD_DIR: the Windows build end to end under Wine (WINEPREFIX and the like
# set by scripts/windows/test.sh), with no card reader:
#   1. log settings in the Windows registry: a .reg file imported with regedit names the module's
#      log settings file, which sends its log to a folder of this check's own;
#   2. varlo-tokend.exe serves its named pipe, with a store of its own;
#   3. a module client (varlo_tokend_probe.exe) stores two sample tokens in the service;
#   4. varlo-host.exe loads MDesfireVarloLibrary.dll, which connects to the service over the
#      pipe: `list` shows both tokens, restored from the service;
#   5. the module wrote its log where the registry's settings said.
# Every wait has a deadline; what this script started is ended on every exit.
set -euo pipefail
build=$(realpath "$1")
TOKEND=$build/apps/tokend/varlo-tokend.exe
HOST=$build/apps/host/varlo-host.exe
PROBE=$build/tests/service/varlo_tokend_probe.exe
MODULE=$build/module/MDesfireVarloLibrary.dll
PIPE='\\.\pipe\{969D51FF-A05A-4534-932D-014340F25540}'
KEY='SOFTWARE\Varlo\DesfireModuleWineCheck'
TIMEOUT=20  # seconds, the deadline of every wait (Wine starts programs slowly)

fail() {
  echo "windows service check: FAILED: $*" >&2
  for log in "$tmp"/*.log "$tmp"/log/*; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  exit 1
}
# wait_for SECONDS COMMAND...: runs COMMAND until it succeeds or the deadline passes.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/varlo-wine-check.XXXXXX")
tokend_pid=""
cleanup() {
  if [ -n "$tokend_pid" ] && kill -0 "$tokend_pid" 2>/dev/null; then
    kill -TERM "$tokend_pid" 2>/dev/null || true
    wait_for 5 eval "! kill -0 $tokend_pid 2>/dev/null" || kill -KILL "$tokend_pid" 2>/dev/null || true
    wait "$tokend_pid" 2>/dev/null || true
  fi
  wine reg delete "HKCU\\$KEY" /f >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "[1] log settings in the registry: HKEY_CURRENT_USER\\$KEY"
mkdir -p "$tmp/log"
win_log_dir=$(winepath -w "$tmp/log")
win_settings=$(winepath -w "$tmp/log_settings.txt")
printf 'target=%s\n>default=debug\n' "$win_log_dir" >"$tmp/log_settings.txt"
# .reg text: backslashes doubled inside strings.
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\%s]\r\n"LogSettingsPath"="%s"\r\n' \
  "$KEY" "${win_settings//\\/\\\\}" >"$tmp/settings.reg"
wine regedit /S "$(winepath -w "$tmp/settings.reg")"
wine reg query "HKCU\\$KEY" /v LogSettingsPath | grep -qF "$win_settings" ||
  fail "regedit did not import $tmp/settings.reg"

echo "[2] varlo-tokend.exe on $PIPE"
wine "$TOKEND" --foreground --store "$(winepath -w "$tmp/tokens.db")" >"$tmp/tokend.log" 2>&1 &
tokend_pid=$!
tokend_ready() {
  kill -0 "$tokend_pid" 2>/dev/null || fail "varlo-tokend.exe ended at start-up"
  wine "$TOKEND" status >/dev/null 2>&1
}
wait_for "$TIMEOUT" tokend_ready || fail "varlo-tokend.exe did not answer within $TIMEOUT s"

echo "[3] two sample tokens stored by a module client"
wine "$PROBE" "$PIPE" sample:1a2b3c4d5e6f70 sample:01020304050607 getall >"$tmp/probe.out" 2>"$tmp/probe.log" ||
  fail "varlo_tokend_probe.exe failed"
grep -q '^tokens ' "$tmp/probe.out" || fail "the probe got no token list"
wine "$TOKEND" list >"$tmp/list.out" 2>&1 || fail "varlo-tokend.exe list failed"

echo "[4] varlo-host.exe list through MDesfireVarloLibrary.dll"
wine "$HOST" --module "$(winepath -w "$MODULE")" --key "$KEY" --json list >"$tmp/host.out" 2>"$tmp/host.log" ||
  fail "varlo-host.exe list failed: $(cat "$tmp/host.out")"
for label in "token 7365887390543728" "token 283686952306183"; do
  grep -qE "\"label\": *\"$label\"" "$tmp/host.out" || fail "the host does not list \"$label\": $(cat "$tmp/host.out")"
done
echo "    listed: $(grep -oE '"serial": *"[0-9a-f]+"' "$tmp/host.out" | tr '\n' ' ')"

echo "[5] the module's log in the folder the registry named"
log_lines=$(cat "$tmp"/log/* 2>/dev/null | wc -l)
((log_lines > 0)) || fail "the module wrote no log to $tmp/log"
echo "    $log_lines lines in $(ls "$tmp/log")"
echo "windows service check: passed"
