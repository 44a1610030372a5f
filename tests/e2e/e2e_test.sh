#!/usr/bin/env bash
# Drives the real panel like a person: a real X server with a window manager,
# mouse clicks on the controls, the echo boxes closed with the Return key,
# and the simulator as the board. Checks what the board received.
# Usage: e2e_test.sh <lichtsteuerung> <lichtgeraet-sim>
set -uo pipefail
panel=$1
sim=$2
work=$(mktemp -d)
pids=()
passed=0
failed=0

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

shots=${E2E_SHOTS:-}  # a folder for a screenshot of every failure
fail() {
  echo "FAIL: $scenario: $*"
  failed=$((failed + 1))
  scenario_ok=0
  if [ -n "$shots" ]; then
    mkdir -p "$shots"
    import -window root "$shots/failure-$failed.png" 2>/dev/null && echo "      screen: $shots/failure-$failed.png"
  fi
}

# A real X server on a free display, and a window manager so that boxes take
# the keyboard focus as they do on a desktop.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
openbox --sm-disable >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do wmctrl -m >/dev/null 2>&1 && break; sleep 0.05; done
export QT_QPA_PLATFORM=xcb

# Control centres in the window's client area (check boxes: their indicator).
declare -A at=(
  [comportbut]="264 224" [Standlicht]="23 32" [Abblendlicht]="23 56" [Fernlicht]="23 80"
  [Links]="175 32" [Com6]="295 182"
)

start() {  # start [VAR=value ...]: a fresh board and a fresh panel
  : >"$work/raw"
  "$sim" --headless --raw "$work/raw" >"$work/sim.log" 2>>"$work/sim.err" &
  sim_pid=$!
  pids+=($sim_pid)
  for _ in $(seq 400); do [ -s "$work/sim.log" ] && break; sleep 0.05; done
  device=$(head -n1 "$work/sim.log")
  [ -c "$device" ] || fail "the simulator gave no device: '$device' $(cat "$work/sim.err")"
  env LICHTSTEUERUNG_COM1="$device" "$@" "$panel" 2>"$work/panel.err" &
  panel_pid=$!
  pids+=($panel_pid)
  win=$(find_window "$panel_pid")
  [ -n "$win" ] || fail "the panel window did not appear"
}

find_window() {  # find_window <pid>: the panel window of that process
  local id=""
  for _ in $(seq 400); do
    id=$(xdotool search --all --onlyvisible --pid "$1" --name '^window$' 2>/dev/null | head -n1)
    [ -n "$id" ] && break
    sleep 0.05
  done
  echo "$id"
}

stop() {
  kill "$panel_pid" "$sim_pid" 2>/dev/null
  wait "$panel_pid" "$sim_pid" 2>/dev/null
}

click() {  # click <control>: raised first, so no other window takes the click
  # shellcheck disable=SC2086
  xdotool windowactivate --sync "$win" mousemove --window "$win" ${at[$1]} click 1
}

boxes_open() { xdotool search --onlyvisible --name '^lichtsteuerung$' 2>/dev/null | head -n1; }

answer() {  # answer <n>: close n boxes with the keyboard, one after another
  local n=$1 i box
  for ((i = 1; i <= n; i++)); do
    box=""
    for _ in $(seq 100); do box=$(boxes_open); [ -n "$box" ] && break; sleep 0.05; done
    [ -n "$box" ] || { fail "box $i of $n did not appear"; return; }
    xdotool windowactivate --sync "$box" key --clearmodifiers Return 2>/dev/null
    for _ in $(seq 100); do xdotool getwindowname "$box" >/dev/null 2>&1 && \
      [ "$(boxes_open)" = "$box" ] || break; sleep 0.05; done
  done
  # No further box may follow.
  sleep 0.4
  [ -z "$(boxes_open)" ] || fail "more boxes than the $n expected"
}

expect_raw() {  # expect_raw <bytes>: exactly these bytes reached the board
  local got=""
  for _ in $(seq 40); do got=$(cat "$work/raw"); [ "$got" = "$1" ] && return; sleep 0.05; done
  fail "board received '$got', expected '$1'"
}

send() {  # send <row=command ...>: the bytes of a full send with those rows changed
  local rows=(a0 c0 b0 e0f0j0 e0 f0 e0f0 k0 l0 g0 h0 i1 d0) change
  for change in "$@"; do rows[${change%%=*}-1]=${change#*=}; done
  printf '%s' "${rows[@]}"
}

run() {  # run <name> <function>
  scenario=$1
  scenario_ok=1
  "$2"
  [ "$scenario_ok" = 1 ] && { echo "PASS: $scenario"; passed=$((passed + 1)); }
}

greyed_boxes_send_nothing() {
  start
  click Standlicht; click Abblendlicht; click Links
  answer 0
  expect_raw ""
  stop
}

side_light_sends_the_state() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  expect_raw "$(send 3=b1)"
  grep -q 'b1  Standlicht an' "$work/sim.log" || fail "board did not switch the side light on"
  ! grep -q Protokollfehler "$work/sim.log" || fail "board saw a protocol error"
  stop
}

low_beam_interlock() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  click Abblendlicht; answer 26
  click Fernlicht; answer 0
  click Standlicht; answer 13
  click Abblendlicht; answer 13
  expect_raw "$(send 3=b1)$(send 1=a1)$(send 1=a1)$(send 1=a1 2=c1 3=b1)$(send 3=b1)"
  stop
}

disconnect_sends_then_frees_the_port() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  click comportbut; answer 13
  expect_raw "$(send 3=b1)$(send)"
  flock --nonblock "$device" true || fail "the port is still held after disconnecting"
  click Standlicht; answer 0
  stop
}

unmapped_port_is_told() {
  start LICHTSTEUERUNG_COM6=/dev/ttyNOSUCH6
  click Com6
  click comportbut; answer 1
  click Standlicht; answer 0  # still disconnected: the boxes stay greyed out
  click comportbut; answer 1  # and the button still connects
  expect_raw ""
  stop
}

closing_while_connected_exits_cleanly() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  wmctrl -i -c "$win"
  local code=""
  for _ in $(seq 100); do kill -0 "$panel_pid" 2>/dev/null || break; sleep 0.05; done
  wait "$panel_pid"; code=$?
  [ "$code" = 0 ] || fail "exit code $code"
  expect_raw "$(send 3=b1)"
  stop
}

second_panel_cannot_take_the_port() {
  start
  click comportbut; answer 0
  local first=$win first_pid=$panel_pid
  LICHTSTEUERUNG_COM1="$device" "$panel" 2>/dev/null &
  panel_pid=$!
  pids+=($panel_pid)
  win=$(find_window "$panel_pid")
  [ -n "$win" ] || fail "the panel window did not appear"
  local try
  for try in $(seq 20); do
    click comportbut; answer 1       # the open-failure message, every time
    [ "$scenario_ok" = 1 ] || break
  done
  click Standlicht; answer 0         # the second panel never connected
  win=$first
  click Standlicht; answer 13        # the first one still owns the port
  expect_raw "$(send 3=b1)"
  kill "$first_pid" 2>/dev/null
  stop
}

run "greyed-out boxes send nothing" greyed_boxes_send_nothing
run "side light sends the whole state" side_light_sends_the_state
run "low beam interlock" low_beam_interlock
run "disconnect sends, then frees the port" disconnect_sends_then_frees_the_port
run "an unmapped port is told" unmapped_port_is_told
run "closing while connected exits 0" closing_while_connected_exits_cleanly
run "a second panel cannot take the port, 20 of 20" second_panel_cannot_take_the_port

echo "e2e: $passed passed, $failed failed"
[ "$failed" = 0 ]
