#!/usr/bin/env bash
# The end-to-end demonstration, on this machine and without hardware: a virtual DESFire card on
# a virtual reader becomes a token that the module host lists, inspects, unlocks and reads, that
# the local token service keeps, and that a fresh host gets back with the card off the reader.
#
# Runs as root (pcscd), after the build (bash scripts/main.sh does both). It starts, in a
# temporary folder: its own pcscd with vsmartcard's vpcd reader ("Varlo Demo Reader 00 00" on
# port 35963; a pcscd already running is stopped first), varlo-vcard with a card image made from
# scripts/demo/demo_token.json, and varlo-tokend on a socket folder and store of its own. Every
# varlo-host call loads build/normal's module, which logs to a file in that folder.
#
# Each step says what happens and what was seen, and checks it: a step that does not show what
# it should ends the demo with a message and exit code 1. Everything started here is stopped
# and the folder removed on success, failure and Ctrl-C alike (VARLO_DEMO_KEEP=1 keeps the
# folder, with every log, for a look afterwards).
#
# demo_token.json keeps one object per line: the checks read the PIN, the label and the
# objects "certificate", "note" and "secret" from it.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/normal
description=$root/scripts/demo/demo_token.json
HOST=$build/apps/host/varlo-host
TOKEND=$build/apps/tokend/varlo-tokend
VCARD=$build/apps/vcard/varlo-vcard
CARDIMAGE=$build/apps/cardimage/varlo-cardimage
MODULE=$build/module/libMDesfireVarloLibrary.so
KEY='SOFTWARE\Varlo\DesfireModuleDemo'

PORT=35963  # vpcd's default port; the tests use 35970 and 35971
READER="Varlo Demo Reader 00 00"
VPCD_DRIVER=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
PCSCD_PID_FILE=/run/pcscd/pcscd.pid
# Shared with the tests that run pcscd, so that the demo and a test run take turns.
LOCK_FILE=/tmp/varlo-pcscd.lock
TIMEOUT=10  # seconds, the deadline of every wait

# ---------------------------------------------------------------- output and checks

step_number=0
step() {
  step_number=$((step_number + 1))
  printf '\n[%d] %s\n' "$step_number" "$1"
}
say() { printf '    %s\n' "$@"; }
seen() { printf '    seen: %s\n' "$@"; }
indent() { sed 's/^/      | /'; }
fail() {
  if ((step_number == 0)); then
    printf 'demo: cannot start: %s\n' "$*" >&2
  else
    printf '\ndemo: FAILED in step %d: %s\n' "$step_number" "$*" >&2
  fi
  exit 1
}

now_ms() {
  local t=${EPOCHREALTIME//[.,]/}
  echo $((t / 1000))
}

# wait_for SECONDS COMMAND...: runs COMMAND until it succeeds; false at the deadline.
wait_for() {
  local deadline=$(($(now_ms) + $1 * 1000))
  shift
  until "$@"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.05
  done
}

alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

# The value of "KEY": "..." on the description's line that holds MATCH.
description_field() {
  grep -F -- "$1" "$description" | sed -n "s/.*\"$2\": *\"\\([^\"]*\\)\".*/\\1/p" | head -n 1
}

# ---------------------------------------------------------------- clean-up

tmp=""
lock_fd=""
pcscd_pid=""
tokend_pid=""
vcard_pid=""
vcard_in=""
vcard_out=""
watch_pid=""
restart_pcscd_socket=""

# stop_process NAME PID: SIGTERM, at most 5 s to end, then SIGKILL. Sets stopped_code.
stop_process() {
  local name=$1 pid=$2
  stopped_code=0
  [[ -n $pid ]] || return 0
  if alive "$pid"; then
    kill -TERM "$pid" 2>/dev/null || true
    if ! wait_for 5 eval "! alive $pid"; then
      echo "demo: $name (pid $pid) did not end within 5 s of SIGTERM: killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
    fi
  fi
  wait "$pid" 2>/dev/null && stopped_code=0 || stopped_code=$?
}

show_log() {
  [[ -s $2 ]] || return 0
  printf '\n--- %s (last lines of %s)\n' "$1" "$2" >&2
  tail -n 15 "$2" >&2
}

cleanup() {
  local status=$?
  trap '' INT TERM HUP
  set +e
  if [[ -n $watch_pid || -n $vcard_pid || -n $tokend_pid || -n $pcscd_pid ]]; then
    printf '\nstopping what the demo started\n'
  fi
  stop_process "varlo-host watch" "$watch_pid"
  if [[ -n $vcard_pid ]] && alive "$vcard_pid"; then
    # "quit" takes the card off the reader and ends the program.
    printf 'quit\n' 1>&"$vcard_in" 2>/dev/null
    wait_for 5 eval "! alive $vcard_pid"
  fi
  stop_process varlo-vcard "$vcard_pid"
  stop_process varlo-tokend "$tokend_pid"
  stop_process pcscd "$pcscd_pid"
  if [[ -n $pcscd_pid ]]; then
    rm -f "$PCSCD_PID_FILE"
  fi
  if [[ -n $restart_pcscd_socket ]]; then
    echo "starting the system's pcscd.socket again"
    systemctl start pcscd.socket
  fi
  # A failed step shows the logs; Ctrl-C (130) and the like do not.
  if ((status == 1)) && [[ -n $tmp ]]; then
    show_log "pcscd" "$tmp/pcscd.log"
    show_log "varlo-vcard" "$tmp/vcard.log"
    show_log "varlo-tokend" "$tmp/tokend.log"
    show_log "varlo-host watch (standard error)" "$tmp/watch.err"
    # The module's own debug lines would bury what went wrong.
    grep -v '\]\[DBUG\]\[' "$tmp/module-log/desfire_varlo_module.log" \
      >"$tmp/module-log.txt" 2>/dev/null
    show_log "module log, without its debug lines" "$tmp/module-log.txt"
  fi
  if [[ -n $tmp ]]; then
    if [[ ${VARLO_DEMO_KEEP:-} == 1 ]]; then
      echo "kept the demo's folder with its logs: $tmp"
    else
      rm -rf "$tmp"
    fi
  fi
  if ((status == 0)); then
    echo "demo passed: every step showed what it should; nothing of the demo is left running"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'echo "demo: interrupted" >&2; exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# ---------------------------------------------------------------- the parts

# pcsc_scan -c lists the readers once with the card state pcscd has for each.
card_state() {
  timeout 5 pcsc_scan -c -n 2>/dev/null |
    awk -v reader="$READER" '
      $0 ~ /Reader [0-9]+: / { mine = (substr($0, index($0, ": ") + 2) == reader) }
      mine && /Card state:/ { print; exit }'
}
pcscd_sees_card() { card_state | grep -q "Card inserted"; }
pcscd_sees_empty() { card_state | grep -q "Card removed"; }
pcscd_lists_reader() {
  alive "$pcscd_pid" || fail "pcscd ended at start-up"
  timeout 5 pcsc_scan -r 2>/dev/null | grep -qF "$READER"
}

# A service that ended on its own would otherwise show up later as a puzzling answer.
check_services() {
  alive "$pcscd_pid" || fail "pcscd has ended"
  alive "$tokend_pid" || fail "varlo-tokend has ended"
}

vcard() {
  local answer
  check_services
  alive "$vcard_pid" || fail "varlo-vcard has ended"
  printf '%s\n' "$1" 1>&"$vcard_in"
  read -r -t "$TIMEOUT" answer <&"$vcard_out" || fail "varlo-vcard did not answer \"$1\""
  [[ $answer == ok* ]] || fail "varlo-vcard answered \"$1\" with: $answer"
}

present_card() {
  vcard "present $image"
  wait_for "$TIMEOUT" pcscd_sees_card || fail "pcscd did not see the card within $TIMEOUT s"
  seen "pcscd: card inserted in $READER"
}

remove_card() {
  vcard "remove"
  wait_for "$TIMEOUT" pcscd_sees_empty || fail "pcscd did not see the card leave within $TIMEOUT s"
  seen "pcscd: $READER is empty"
}

# The programs started here keep none of the demo's own descriptors: the lock and the card's
# control pipes.
host() {
  "$HOST" --module "$MODULE" --key "$KEY" "$@" {lock_fd}>&- {vcard_in}>&- {vcard_out}>&-
}

# run_host EXPECTED_EXIT PIN ARGS...: runs varlo-host (PIN, if not empty, on its standard input),
# shows the command and what it printed, checks the exit code. The output is left in $output.
run_host() {
  local expected=$1 pin=$2 code
  shift 2
  check_services
  if [[ -n $pin ]]; then
    say "\$ echo $pin | varlo-host $*"
    output=$(host "$@" 2>&1 <<<"$pin") && code=0 || code=$?
  else
    say "\$ varlo-host $*"
    output=$(host "$@" 2>&1 </dev/null) && code=0 || code=$?
  fi
  printf '%s\n' "$output" | indent
  host_runs=$((host_runs + 1))
  if ((code != expected)); then
    check_services
    fail "varlo-host $* ended with exit code $code, not $expected"
  fi
}

expect_output() {
  grep -qF -- "$1" <<<"$output" || fail "$2"
}

service_list() { VARLO_PIPE_DIR=$pipe_dir "$TOKEND" list 2>&1; }
service_has_token() { service_list | grep -q "$uid"; }
service_lacks_token() { ! service_list | grep -q "$uid"; }

# The watcher writes one JSON record per line: {"events":N,"time":"...","tokens":[...]}.
watch_count() { wc -l <"$tmp/watch.jsonl"; }
watch_last() { tail -n 1 "$tmp/watch.jsonl"; }
watch_error_check() {
  alive "$watch_pid" || fail "varlo-host watch has ended"
  ! grep -q '^{"error"' "$tmp/watch.jsonl" ||
    fail "varlo-host watch reported: $(grep '^{"error"' "$tmp/watch.jsonl" | tail -n 1)"
}
# watch_shows AFTER yes|no: a record after line AFTER whose token list has (yes) or lacks (no)
# the demo token.
watch_shows() {
  watch_error_check
  (($(watch_count) > $1)) || return 1
  if [[ $2 == yes ]]; then
    [[ $(watch_last) == *"\"serial\":\"$uid\""* ]]
  else
    [[ $(watch_last) != *"\"serial\":\"$uid\""* ]]
  fi
}
# One line for a record: time, events so far, each token with its label, PIN state, objects.
watch_summary() {
  local record tokens
  record=$(watch_last)
  tokens=$(grep -o '{[^{}]*"serial":"[0-9a-f]*"[^{}]*}' <<<"$record" |
    sed -e 's/.*"label":"\([^"]*\)".*"pin":"\([^"]*\)".*"publicObjects":\([0-9]*\).*"serial":"\([0-9a-f]*\)".*/\4 "\1" (PIN \2, \3 public objects)/') || true
  printf 'varlo-host watch: [%s] events: %s, tokens: %s\n' \
    "$(sed -n 's/.*"time":"\([^"]*\)".*/\1/p' <<<"$record")" \
    "$(sed -n 's/.*"events":\([0-9]*\).*/\1/p' <<<"$record")" \
    "${tokens:-none}"
}
wait_watch() {
  local change=added
  [[ $2 == yes ]] || change=removed
  wait_for "$TIMEOUT" watch_shows "$1" "$2" ||
    fail "varlo-host watch did not show the token $change within $TIMEOUT s"
  seen "$(watch_summary)"
}

# ---------------------------------------------------------------- preconditions

((EUID == 0)) || fail "run the demo as root: it runs its own pcscd"
for program in "$HOST" "$TOKEND" "$VCARD" "$CARDIMAGE" "$MODULE"; do
  [[ -e $program ]] || fail "$program is missing: build first (bash scripts/main.sh)"
done
for tool in pcsc_scan flock timeout ps; do
  command -v "$tool" >/dev/null || fail "$tool is missing: bash scripts/setup.sh installs it"
done
[[ -e $VPCD_DRIVER ]] ||
  fail "the vpcd reader driver is missing: $VPCD_DRIVER (Debian package vsmartcard-vpcd)"
PCSCD=$(command -v pcscd || echo /usr/sbin/pcscd)

PIN=$(description_field '"pin"' pin)
uid=$(description_field '"uid"' uid)
label=$(description_field '"label": "' label)
note=$(description_field '"label": "note"' text)
secret=$(description_field '"label": "secret"' text)
certificate=$(description_field '"label": "certificate"' content)
[[ -n $PIN && -n $uid && -n $label && -n $note && -n $secret && -n $certificate ]] ||
  fail "$description lacks the PIN, UID, label or the objects certificate, note and secret"
wrong_pin=0000
[[ $PIN != "$wrong_pin" ]] || wrong_pin=1111

echo "varlo demo: a virtual DESFire card becomes a token of the module, end to end"

exec {lock_fd}>>"$LOCK_FILE"
chmod 0666 "$LOCK_FILE" 2>/dev/null || true
if ! flock -n "$lock_fd"; then
  echo "waiting (at most 5 minutes) for the tests that use pcscd to finish"
  flock -w 300 "$lock_fd" || fail "$LOCK_FILE is still held by another program"
fi

tmp=$(mktemp -d -t varlo-demo.XXXXXX)
pipe_dir=$tmp/pipe
mkdir -p "$tmp/reader.conf.d" "$tmp/state" "$tmp/module-log"

# ---------------------------------------------------------------- the steps

step "pcscd with the virtual reader"
if command -v systemctl >/dev/null && systemctl is-active --quiet pcscd.socket 2>/dev/null; then
  say "stopping the system's pcscd.socket and pcscd.service; they are started again at the end"
  systemctl stop pcscd.socket pcscd.service
  restart_pcscd_socket=1
fi
for pid in $(pgrep -x pcscd || true); do
  alive "$pid" || continue
  say "stopping the pcscd already running (pid $pid): the demo runs its own pcscd" \
    "and does not restart this one"
  kill -TERM "$pid"
  wait_for "$TIMEOUT" eval "! alive $pid" || fail "the running pcscd (pid $pid) did not stop"
done
# A pcscd that was killed leaves its pid file behind, and a new one refuses to start while it
# names a live process.
rm -f "$PCSCD_PID_FILE"
# vpcd reads its port from the device name; pcscd offers the device's two slots "00 00" and
# "00 01" (the second on the next port, unused here).
cat >"$tmp/reader.conf.d/vpcd" <<EOF
FRIENDLYNAME "${READER% 00 00}"
DEVICENAME   /dev/null:$PORT
LIBPATH      $VPCD_DRIVER
CHANNELID    $PORT
EOF
"$PCSCD" --foreground --config "$tmp/reader.conf.d" >"$tmp/pcscd.log" 2>&1 {lock_fd}>&- &
pcscd_pid=$!
wait_for "$TIMEOUT" pcscd_lists_reader || fail "pcscd did not list $READER within $TIMEOUT s"
pcscd_sees_empty || fail "$READER is not empty"
seen "pcscd (pid $pcscd_pid) lists \"$READER\" (vpcd, port $PORT), no card on it"

step "the local token service"
VARLO_PIPE_DIR=$pipe_dir "$TOKEND" --foreground --store "$tmp/state/tokens.db" \
  >"$tmp/tokend.log" 2>&1 {lock_fd}>&- &
tokend_pid=$!
tokend_ready() {
  alive "$tokend_pid" || fail "varlo-tokend ended at start-up"
  VARLO_PIPE_DIR=$pipe_dir "$TOKEND" status >/dev/null 2>&1
}
wait_for "$TIMEOUT" tokend_ready || fail "varlo-tokend did not answer within $TIMEOUT s"
seen "varlo-tokend (pid $tokend_pid) listens in $pipe_dir, its store $tmp/state/tokens.db is empty"

step "the demo card"
image=$tmp/demo_card.json
"$CARDIMAGE" make "$description" -o "$image" || fail "varlo-cardimage could not make the card image"
coproc VCARD { exec "$VCARD" --port "$PORT" 2>"$tmp/vcard.log" {lock_fd}>&-; }
# shellcheck disable=SC2153  # coproc sets VCARD_PID
vcard_pid=$VCARD_PID
# Copies of the coprocess's pipes: bash closes its own as soon as the coprocess ends.
exec {vcard_in}>&"${VCARD[1]}" {vcard_out}<&"${VCARD[0]}"
vcard status
say "varlo-cardimage made the card image from scripts/demo/demo_token.json; varlo-vcard"
say "(pid $vcard_pid) holds it, ready to be put on the reader"
seen "card UID $uid, label \"$label\", PIN $PIN" \
  "objects: certificate and note (public), secret (private)"

# Every module loaded from here on finds this service and logs to a file of the demo's.
export VARLO_PIPE_DIR=$pipe_dir
export VARLO_USER_REGISTRY=$tmp/registry.reg VARLO_MACHINE_REGISTRY=$tmp/registry.reg
printf 'target=%s\n>default=debug\n' "$tmp/module-log" >"$tmp/log_settings.txt"
cat >"$tmp/registry.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\$KEY]
"LogSettingsPath"="$tmp/log_settings.txt"
EOF

step "the host watches: varlo-host watch runs in the background"
say "a module reports the cards presented while it is loaded, so this host stays up while the"
say "card comes and goes; the one-off varlo-host calls below get their tokens from the service"
# Not through host(): a function in the background runs in a subshell, and $! would name that.
"$HOST" --module "$MODULE" --key "$KEY" --json watch >"$tmp/watch.jsonl" 2>"$tmp/watch.err" \
  {lock_fd}>&- {vcard_in}>&- {vcard_out}>&- &
watch_pid=$!
host_runs=1
wait_watch 0 no

step "the card is presented"
say "the module in varlo-host watch reads the card, adds its token and stores it in the service"
mark=$(watch_count)
present_card
wait_watch "$mark" yes
wait_for "$TIMEOUT" service_has_token ||
  fail "the service did not store the token within $TIMEOUT s"
seen "varlo-tokend list:"
service_list | indent

step "the token's capabilities (a fresh varlo-host; the token comes from the service)"
run_host 0 "" info
expect_output "$uid" "info does not show the serial $uid"
expect_output "\"$label\"" "info does not show the label \"$label\""
if ! grep -Eq '^tcinpu +false' <<<"$output" || ! grep -Eq '^tcipil +false' <<<"$output"; then
  fail "info does not show a PIN that is set and not locked (tcinpu, tcipil)"
fi
seen "serial $uid, label \"$label\", a PIN set and not locked"

step "a wrong PIN, then the right one"
run_host 4 "$wrong_pin" login --pin-stdin
expect_output RESULT_PIN_INCORRECT "a wrong PIN was not answered RESULT_PIN_INCORRECT"
seen "wrong PIN $wrong_pin refused (exit code 4)"
run_host 0 "$PIN" login --pin-stdin
expect_output "PIN accepted" "the right PIN was not accepted"
seen "PIN $PIN accepted"

step "objects found: the public ones without a PIN, all of them with it"
run_host 0 "" find --public
expect_output "certificate" "find --public does not show the certificate"
expect_output "note" "find --public does not show the note"
! grep -q "secret" <<<"$output" || fail "find --public shows the private object"
seen "2 public objects, the private one hidden"
run_host 0 "$PIN" find --pin-stdin
expect_output "secret" "find with the PIN does not show the private object"
expect_output "private" "find with the PIN shows no private object"
seen "3 objects with the PIN"

step "objects read"
run_host 0 "" read --label note
[[ $output == "$note" ]] || fail "the note reads \"$output\", not \"$note\""
seen "the public note, without a PIN"
run_host 0 "" read --label certificate --hex
[[ ${output,,} == "${certificate,,}" ]] || fail "the certificate reads $output, not $certificate"
seen "the public certificate's bytes, as written on the card"
run_host 0 "$PIN" read --label secret --pin-stdin
[[ $output == "$secret" ]] || fail "the secret reads \"$output\", not \"$secret\""
seen "the private object, with the PIN"

step "the card is presented again: its token is removed"
say "presenting a card toggles its token; taking it off the reader changes nothing"
mark=$(watch_count)
remove_card
present_card
wait_watch "$mark" no
wait_for "$TIMEOUT" service_lacks_token || fail "the service still keeps the token after $TIMEOUT s"
seen "varlo-tokend list: the token is gone"

step "the card is presented once more: its token is back"
mark=$(watch_count)
remove_card
present_card
wait_watch "$mark" yes
wait_for "$TIMEOUT" service_has_token ||
  fail "the service did not store the token within $TIMEOUT s"
seen "varlo-tokend list: the token is stored again"

step "the card leaves the reader and the host ends"
remove_card
stop_process "varlo-host watch" "$watch_pid"
watch_pid=""
((stopped_code == 0)) || fail "varlo-host watch ended with exit code $stopped_code"
[[ $(watch_last) == *"\"serial\":\"$uid\""* ]] || fail "the token left with the card"
seen "the token stayed when the card left; varlo-host watch ended cleanly (exit code 0)"

step "the host restarted: a fresh varlo-host, no card on the reader"
say "the module loads the tokens the service kept"
pcscd_sees_empty || fail "$READER is not empty"
run_host 0 "" list
expect_output "$uid" "the fresh host does not list the token $uid"
seen "token $uid restored from the service"
run_host 0 "" read --label note
[[ $output == "$note" ]] || fail "the note reads \"$output\", not \"$note\""
seen "its public note, read without the card"

module_log=$tmp/module-log/desfire_varlo_module.log
[[ -s $module_log ]] || fail "the module wrote no log to $module_log"
printf '\nthe modules of the %s varlo-host runs logged %s lines to %s\n' \
  "$host_runs" "$(wc -l <"$module_log")" "$module_log"
if [[ ${VARLO_DEMO_KEEP:-} != 1 ]]; then
  echo "(removed with the demo's folder; VARLO_DEMO_KEEP=1 keeps it)"
fi
