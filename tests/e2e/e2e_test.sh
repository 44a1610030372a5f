#!/usr/bin/env bash
# Drives the real panel like a person: a real X server with a window manager,
# mouse clicks on the controls, the echo boxes closed with the Return key,
# and the simulator as the board. Checks what the board received.
# A Windows build (lichtsteuerung.exe) runs the same scenarios under Wine.
# Each scenario is a CTest test; the X server and window manager (under
# Wine also its prefix) are their fixture's (common.sh):
#   e2e_test.sh --list
#   e2e_test.sh --start <session file> [<lichtsteuerung.exe>]
#   e2e_test.sh --stop <session file>
#   e2e_test.sh <session file> <lichtsteuerung> <lichtgeraet-sim> <xping> <scenario>
#
# Every wait polls a condition and gives up after a bound. A scenario runs
# in a subshell of its own and stops at its first failed check (`fail`).
set -uo pipefail
# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"

# A real X server on a free display, and a window manager so that boxes take
# the keyboard focus as they do on a desktop; for the .exe, Wine's prefix.
start_desktop() {  # start_desktop [<lichtsteuerung.exe>]
  # What the desktop's processes say goes to a log of its own: CTest would
  # wait for them to let go of the test's output.
  started() { "$@" >>"$folder/desktop.log" 2>&1 || { cat "$folder/desktop.log"; close_session; exit 1; }; }
  started start_xvfb
  session_note pid "$xvfb_pid"
  session_note DISPLAY "$DISPLAY"
  started start_window_manager
  session_note pid "$wm_pid"
  if [[ ${1:-} == *.exe ]]; then
    export WINEPREFIX=$folder/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    started wineboot -i
    session_note WINEPREFIX "$WINEPREFIX"
    echo "e2e: $(wine --version) in $WINEPREFIX"
  fi
}
session_command "${1:?usage: e2e_test.sh --list | --start SESSION [EXE] | --stop SESSION | SESSION PANEL SIM XPING SCENARIO}" "${@:2}"
session=$1 panel=$2 sim=$3 xping=$4 wanted=$5
open_session
work=$(mktemp -d)
shots=${E2E_SHOTS:-}  # a folder for a screenshot of every failure
export QT_QPA_PLATFORM=xcb

fail() {  # ends the scenario
  echo "FAIL: $scenario: $*"
  if [ -n "$shots" ]; then
    mkdir -p "$shots"
    local shot
    shot="$shots/failure-$(date +%s%N).png"
    import -window root "$shot" 2>/dev/null && echo "      screen: $shot"
  fi
  exit 1
}

# Control centres in the window's client area (check boxes: their indicator).
declare -A at=(
  [comportbut]="264 224" [Standlicht]="23 32" [Abblendlicht]="23 56" [Fernlicht]="23 80"
  [Links]="175 32" [Com6]="295 182"
)

# Under Wine a port name is mapped in Wine's registry, which its server reads
# when it starts; the Windows build keeps a port with share mode 0 and a
# named mutex, so whether it holds the port shows in the open descriptors.
# A screen reader's view comes from an MSAA client of the build's own.
# The server a scenario leaves is ended with it, so that none lingers into
# the next, nor holds the test's output open for CTest to wait on.
wine=0
trap 'rm -rf "$work"; [ "$wine" = 0 ] || wineserver -k 2>/dev/null' EXIT
if [[ $panel == *.exe ]]; then
  wine=1
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  msaa=$(dirname "$panel")/../tests/windows/msaa_check.exe
fi

# Wine gives the machine's own serial ports (/dev/ttyS0 ...) the first COM
# numbers no mapping takes. Where a scenario needs a machine with its
# mapped ports alone, Wine, its server included, runs where /dev has none:
# "${without_serial_ports[@]}" COMMAND... (the command keeps the process).
# In a chroot "/" is no mount point, whose propagation unshare cannot set:
# the mounts below are kept from the machine's own view by hand instead.
without_serial_ports=(unshare --mount --propagation unchanged)
[ "$(id -u)" = 0 ] || without_serial_ports+=(--map-root-user)
# shellcheck disable=SC2016 # expanded by the inner shell
without_serial_ports+=(bash -c '
  set -e
  if ! mount --make-rprivate / 2>/dev/null; then
    mount --make-rprivate /dev
    mount --make-rprivate /tmp
  fi
  old=$(mktemp -d)
  mount --bind /dev "$old"
  mount -t tmpfs -o mode=755 no-serial-ports /dev
  for node in null zero full random urandom tty ptmx; do
    [ -e "$old/$node" ] || continue
    touch "/dev/$node"
    mount --bind "$old/$node" "/dev/$node"
  done
  for folder in pts shm; do
    mkdir -p "/dev/$folder"
    mount --bind "$old/$folder" "/dev/$folder"
  done
  exec "$@"' bash)

mapped=""
only_mapped_ports=0  # under Wine: no port but the mapped ones
run_panel() {  # run_panel VAR=value...: the panel with LICHTSTEUERUNG_COMn=device mappings
  if [ "$wine" = 0 ]; then
    env "$@" "$panel" 2>"$work/panel.err" &
    return
  fi
  if [ "$mapped" != "$*" ]; then
    local mapping
    for mapping in "$@"; do
      [[ $mapping == LICHTSTEUERUNG_COM* ]] || continue
      mapping=${mapping#LICHTSTEUERUNG_}
      # A port mapped to a missing device is one Wine does not have: Wine 8
      # opens a name whose device is missing as something that is no port.
      if [ -e "${mapping#*=}" ]; then
        wine reg add 'HKLM\Software\Wine\Ports' /v "${mapping%%=*}" /t REG_SZ /d "${mapping#*=}" /f
      else
        wine reg delete 'HKLM\Software\Wine\Ports' /v "${mapping%%=*}" /f
      fi >/dev/null 2>&1
    done
    wineserver -k
    wineserver -w
    mapped="$*"
  fi
  if [ "$only_mapped_ports" = 1 ]; then
    wineserver -k
    wineserver -w
    "${without_serial_ports[@]}" wine "$panel" 2>"$work/panel.err" &
  else
    wine "$panel" 2>"$work/panel.err" &
  fi
}
# Whether the panel (under Wine: its server) has the port open.
port_held() {
  if [ "$wine" = 0 ]; then
    ! flock --nonblock "$device" true
    return
  fi
  local process
  for process in "$panel_pid" $(pgrep -x wineserver); do
    find "/proc/$process/fd" -lname "$device" 2>/dev/null | grep -q .
  done
}

board_port=COM1      # where start() wires the board
sim_options=()       # how start() starts it
start() {  # start [VAR=value ...]: a fresh board and a fresh panel
  start_board "${sim_options[@]}"
  run_panel "LICHTSTEUERUNG_$board_port=$device" "$@"
  panel_pid=$!
  win=$(find_window "$panel_pid")
  [ -n "$win" ] || fail "the panel window did not appear"
  # The window manager frames and places a new window after it has appeared;
  # on a busy machine a click aimed before that lands where the window was
  # not yet, and its box never comes.
  until_true 200 framed || fail "the window manager did not frame the panel"
  settled
}

framed() { xprop -id "$win" _NET_FRAME_EXTENTS | grep -q =; }

# find_window <pid>: prints the panel window of that process, once it is there.
panel_window() { xdotool search --all --onlyvisible --pid "$1" --name '^window$' 2>/dev/null | head -n1 | grep .; }
find_window() { until_true 400 panel_window "$1"; }

stop() { reap "${panel_pid:-}" "${sim_pid:-}"; }

click() {  # click <control>: raised first, so no other window takes the click
  # shellcheck disable=SC2086
  xdotool windowactivate --sync "$win" mousemove --window "$win" ${at[$1]} click 1
}

# The boxes the panel has open: its visible windows other than the panel
# that have a title (a tooltip has none).
boxes_open() {
  local window
  for window in $(xdotool search --onlyvisible --pid "$panel_pid" 2>/dev/null); do
    [ "$window" != "$win" ] && [ -n "$(xdotool getwindowname "$window" 2>/dev/null)" ] && echo "$window"
  done
}
one_box() { box=$(boxes_open | head -n1); [ -n "$box" ]; }
box_closed() { ! xdotool getwindowname "$box" >/dev/null 2>&1 || ! boxes_open | grep -qx "$box"; }

# settled: the panel has handled everything sent to it so far (or has ended).
# Its handlers open their boxes before they return to the event loop, so
# after this every box that is coming exists.
settled() {
  kill -0 "$panel_pid" 2>/dev/null || return 0
  "$xping" "$win" 10 2>/dev/null && return 0
  # Its window gone, it is on its way out; that it ends, the scenario checks.
  ! xdotool getwindowname "$win" >/dev/null 2>&1 || fail "the panel did not answer"
}

close_box() {  # close_box <which>: the next box, closed with the keyboard
  until_true 100 one_box || fail "$1 did not appear"
  xdotool windowactivate --sync "$box" key --clearmodifiers Return 2>/dev/null
  until_true 100 box_closed || fail "$1 did not close"
}

answer() {  # answer <n>: close n boxes, one after another; then no more come
  local n=$1 i
  for ((i = 1; i <= n; i++)); do close_box "box $i of $n"; done
  settled
  [ -z "$(boxes_open)" ] || fail "more boxes than the $n expected"
}

raw_is() { [ "$(cat "$work/raw")" = "$1" ]; }

expect_raw() {  # expect_raw <bytes>: exactly these bytes reached the board
  # The panel has written them before its handler returned; the simulator
  # may still be reading them.
  settled
  until_true 40 raw_is "$1" || fail "board received '$(cat "$work/raw")', expected '$1'"
}


# Under Wine also what another program sends to a greyed-out box: a click
# notification (BN_CLICKED), a BM_SETCHECK, or a click once it has made the
# box look enabled, for the side light runs no send and checks nothing;
# connected, the same for the front fog lights, which no one may switch on,
# leaves the next send with "g0".
greyed_boxes_send_nothing() {
  start
  click Standlicht; click Abblendlicht; click Links
  local how
  if [ "$wine" = 1 ]; then
    for how in notify check enable; do
      timeout 60 wine "$msaa" post Standlicht "$how" || fail "no $how posted to Standlicht"
    done
  fi
  answer 0
  expect_raw ""
  [ "$wine" = 1 ] || return 0
  click comportbut; answer 0
  for how in notify check mouse enable; do
    timeout 60 wine "$msaa" post Nebelscheinwerfer "$how" || fail "no $how posted to Nebelscheinwerfer"
  done
  answer 0
  click Standlicht; answer 13
  expect_raw "$side_light_on"
}

side_light_sends_the_state() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  expect_raw "$side_light_on"
  grep -q 'b1  Standlicht an' "$work/sim.log" || fail "board did not switch the side light on"
  ! grep -q Protokollfehler "$work/sim.log" || fail "board saw a protocol error"
}

low_beam_interlock() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  click Abblendlicht; answer 26
  click Fernlicht; answer 0
  click Standlicht; answer 13
  click Abblendlicht; answer 13
  expect_raw "$side_light_on$low_beam_on$(send 1=a1 2=c1 3=b1)$(send 3=b1)"
}

disconnect_sends_then_frees_the_port() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  click comportbut; answer 13
  expect_raw "$(send 3=b1)$(send)"
  ! port_held || fail "the port is still held after disconnecting"
  click Standlicht; answer 0
}

# Under Wine, the adapter is one Windows numbered COM9, on a machine with no
# other port: the box for Com1 names COM9 and how to give it a number the
# panel offers (read through MSAA; a screenshot in screens/).
unmapped_port_is_told() {
  if [ "$wine" = 1 ]; then
    board_port=COM9 only_mapped_ports=1 start LICHTSTEUERUNG_COM1=/dev/ttyNOSUCH1
    click comportbut
    until_true 100 one_box || fail "no open-failure box"
    timeout 60 wine "$msaa" box Com1 "gibt es auf diesem Rechner nicht" COM9 -Manager Anschlusseinstellungen COM-Anschlussnummer ||
      fail "the open-failure box does not name COM9 and how to renumber it"
    mkdir -p screens
    xdotool windowactivate --sync "$box" && import -window root screens/com9-open-failure.png
    # Another program's click on a port item under it moves nothing, nor
    # its check of one once the box is closed: the next connect still tries
    # Com1.
    local how
    for how in click mouse check; do
      timeout 60 wine "$msaa" post Com2 "$how" || fail "no $how posted to Com2"
    done
    answer 1
    timeout 60 wine "$msaa" post Com2 check || fail "no check sent to Com2"
    click comportbut
    until_true 100 one_box || fail "no second open-failure box"
    timeout 60 wine "$msaa" box Com1 || fail "a click under the box moved the port"
    answer 1
    # The user's own click on a port item still chooses it.
    click Com6
    click comportbut
    until_true 100 one_box || fail "no open-failure box for Com6"
    timeout 60 wine "$msaa" box Com6 || fail "a click on Com6 did not choose it"
    answer 1
  else
    start LICHTSTEUERUNG_COM6=/dev/ttyNOSUCH6
    click Com6
    click comportbut; answer 1
  fi
  click Standlicht; answer 0  # still disconnected: the boxes stay greyed out
  click comportbut; answer 1  # and the button still connects
  expect_raw ""
}

closing_while_connected_exits_cleanly() {
  start
  click comportbut; answer 0
  click Standlicht; answer 13
  wmctrl -i -c "$win"
  until_true 100 gone "$panel_pid" || fail "the panel did not end"
  wait "$panel_pid"
  local code=$?
  [ "$code" = 0 ] || fail "exit code $code"
  expect_raw "$(send 3=b1)"
}

second_panel_cannot_take_the_port() {
  start
  click comportbut; answer 0
  local first=$win first_pid=$panel_pid
  run_panel LICHTSTEUERUNG_COM1="$device"
  panel_pid=$!
  win=$(find_window "$panel_pid")
  [ -n "$win" ] || fail "the second panel window did not appear"
  for _ in $(seq 20); do
    click comportbut; answer 1       # the open-failure message, every time
  done
  click Standlicht; answer 0         # the second panel never connected
  reap "$panel_pid"
  win=$first panel_pid=$first_pid
  click Standlicht; answer 13        # the first one still owns the port
  expect_raw "$(send 3=b1)"
}

# Both cores busy, as when the user compiles something: the panel then
# handles the keyboard's repeats late, when Qt no longer flags them.
load_cores() {
  for _ in 1 2; do
    (while :; do :; done) &
    loaders+=($!)
  done
}
loaders=()

# A box holds the whole panel until it is closed. What comes from outside
# while it is up (a click on "trennen", a close request, a screen reader's
# press on "trennen") runs nothing: a handler run by it would open a box of
# its own, a close would end the window. Linux's reader needs the
# accessibility bus from before the panel starts.
outside_actions=("a click on trennen" "a close request" "a screen reader's press" "a change of Links")
act_from_outside() {  # act_from_outside <action> <the box that is up, as a failure names it>
  case $1 in
    *click*)  # not raised first: the window manager would hand the activation to the box
      # shellcheck disable=SC2086
      xdotool mousemove --window "$win" ${at[comportbut]}
      local key value x=0 y=0 width=0 height=0 pointer_x=0 pointer_y=0
      while IFS='=' read -r key value; do
        case $key in
          X) x=$value ;;
          Y) y=$value ;;
          WIDTH) width=$value ;;
          HEIGHT) height=$value ;;
          POINTER_X) pointer_x=$value ;;
          POINTER_Y) pointer_y=$value ;;
        esac
      done < <(xdotool getwindowgeometry --shell "$box"; xdotool getmouselocation --shell | sed 's/^/POINTER_/')
      ((pointer_x < x || pointer_x >= x + width || pointer_y < y || pointer_y >= y + height)) ||
        fail "$2 covers trennen"
      xdotool click 1
      # Under Wine also a click another program posts, which the box cannot hold off.
      [ "$wine" = 0 ] || timeout 60 wine "$msaa" post trennen || fail "no click posted to trennen" ;;
    *close*)
      wmctrl -i -c "$win"
      # Wine passes no close on to a disabled window; the taskbar's or another program's comes as a message.
      [ "$wine" = 0 ] || timeout 60 wine "$msaa" post close || fail "no close posted" ;;
    *reader*)
      if [ "$wine" = 1 ]; then
        timeout 60 wine "$msaa" refused trennen
      else  # Qt's AT-SPI bridge answers every action with success
        timeout 60 "$(dirname "$0")/atspi_check.py" "$panel_pid" "$device" press trennen
      fi || fail "the screen reader's press on trennen failed or was not refused" ;;
    *Links*)  # the rest of the send, and the next, must still read it unchecked
      if [ "$wine" = 1 ]; then
        local how
        for how in check mouse notify; do
          timeout 60 wine "$msaa" post Links "$how" || fail "no $how posted to Links"
        done
      else
        timeout 60 "$(dirname "$0")/atspi_check.py" "$panel_pid" "$device" toggle Links
      fi || fail "the screen reader's toggle of Links failed" ;;
    *) fail "no such action: $1" ;;
  esac
  settled
  if [ "$(boxes_open)" != "$box" ] || ! kill -0 "$panel_pid" 2>/dev/null ||
    ! xdotool search --onlyvisible --pid "$panel_pid" 2>/dev/null | grep -qx "$win"; then
    fail "$1 under $2 ran something"
  fi
}

held_enter_connects_once() {
  start
  trap 'stop; reap "${loaders[@]}"' EXIT
  click comportbut; answer 0
  click comportbut; answer 0  # disconnected again, with the focus on the button
  [ "$(xset q | awk '/auto repeat:/ {print $3}')" = on ] || fail "the X server does not repeat keys"
  inotifywait --monitor --event open,close --format '%e' "$device" >>"$work/opens" 2>"$work/watch" &
  local watch=$! round opens once=0
  until_true 100 grep -q 'Watches established' "$work/watch" || fail "no watch on $device"
  # The watch reports late on a busy machine: a round starts once it has
  # reported the close of every open before, the test's own flock probes too.
  caught_up() { [ "$(grep -c '^OPEN' "$work/opens")" = "$(grep -c 'CLOSE' "$work/opens")" ]; }
  load_cores
  for round in $(seq 20); do
    until_true 100 caught_up || fail "round $round: the watch on $device fell behind"
    : >"$work/opens"
    xdotool windowactivate --sync "$win" keydown Return
    sleep 1.5  # the key is held down this long, as a person might
    xdotool keyup Return
    settled
    opens=$(grep -c '^OPEN' "$work/opens")
    [ "$opens" = 1 ] || fail "round $round: the port was opened $opens times ($(tr '\n' ' ' <"$work/opens"))"
    once=$((once + 1))
    # A real second press after the release still acts: it disconnects.
    xdotool windowactivate --sync "$win" key Return
    settled
    until_true 100 not port_held || fail "round $round: the second press did not disconnect"
  done
  reap "$watch" "${loaders[@]}"
  echo "      held Enter for 1.5 s, both cores busy: the port opened once in $once of 20 rounds"
  xdotool windowactivate --sync "$win" key Return  # connected
  settled
  click Standlicht; answer 13
  expect_raw "$(send 3=b1)"
}

# Held Enter over the first echo box of a send closes that box only; under
# the next four, what comes from outside runs nothing. Both cores busy.
held_enter_closes_one_box() {
  trap 'stop; reap "${loaders[@]}" ${bus_pid:-}' EXIT
  [ "$wine" = 1 ] || accessibility_bus
  start
  click comportbut; answer 0
  click Standlicht
  until_true 100 one_box || fail "no echo box"
  load_cores
  xdotool windowactivate --sync "$box" keydown Return
  sleep 1.5
  xdotool keyup Return
  settled
  expect_raw "a0"
  echo "      held Enter over the first of 13 boxes, both cores busy: $(wc -c <"$work/raw") bytes sent"
  local n=1 action
  for action in "${outside_actions[@]}"; do
    n=$((n + 1))
    until_true 100 one_box || fail "no echo box $n"
    act_from_outside "$action" "echo box $n"
    close_box "echo box $n"
  done
  reap "${loaders[@]}"
  answer $((12 - ${#outside_actions[@]}))
  expect_raw "$side_light_on"
  # Still connected: the button reads "trennen" and disconnects. Under Wine
  # another program's WM_QUIT under its first box: the box comes back, and
  # the program ends, with 0, only once the send is over.
  click comportbut
  if [ "$wine" = 1 ]; then
    until_true 100 one_box || fail "no echo box for the disconnect"
    local quit_under=$box
    timeout 60 wine "$msaa" post quit || fail "no quit posted"
    another_box() { one_box && [ "$box" != "$quit_under" ]; }
    until_true 100 another_box || fail "the box did not come back after a quit"
  fi
  answer 13
  expect_raw "$side_light_on$(send)"
  if [ "$wine" = 1 ]; then
    until_true 100 gone "$panel_pid" || fail "the panel did not end after the send"
    wait "$panel_pid"
    local code=$?
    [ "$code" = 0 ] || fail "exit code $code after the quit"
  fi
  echo "      under echo boxes 2 to 5, a click, a close request, a reader's press and a change of Links: 13 boxes, still" \
    "connected, board got '$side_light_on'; then disconnecting: 13 boxes, '$(send)'"
}

# The keyboard alone: Enter on the button that has the focus at the start
# connects, Tab goes on to the side light (the port group is greyed out by
# then), Space switches it.
keyboard_alone() {
  start
  xdotool windowactivate --sync "$win" key Return
  answer 0
  xdotool windowactivate --sync "$win" key Tab space
  answer 13
  expect_raw "$side_light_on"
}

# The echo box is a transient window of the panel; an error box has no owner
# but still comes up above the panel with the keyboard focus.
boxes_stand_above_the_panel() {
  start
  click comportbut; answer 0
  click Standlicht
  until_true 100 one_box || fail "no echo box"
  local owner
  owner=$(xprop -id "$box" WM_TRANSIENT_FOR | awk '{print $NF}')
  [ "$((owner))" = "$((win))" ] || fail "the echo box is transient for '$owner', not the panel ($win)"
  answer 13
  reap "$sim_pid"  # the board's end goes away: every write now fails
  click Standlicht
  until_true 100 one_box || fail "no echo box"
  xdotool windowactivate --sync "$box" key --clearmodifiers Return
  until_true 100 error_box || fail "no error box after a failed write"
  focused() { [ "$(xdotool getactivewindow)" = "$box" ]; }
  until_true 100 focused || fail "the error box has no keyboard focus"
  local stacking
  stacking=$(xprop -root _NET_CLIENT_LIST_STACKING | tr -d ',' | tr ' ' '\n' | grep '^0x')
  local box_at panel_at i=0 id
  for id in $stacking; do
    i=$((i + 1))
    [ "$((id))" = "$((box))" ] && box_at=$i
    [ "$((id))" = "$((win))" ] && panel_at=$i
  done
  [ "${box_at:-0}" -gt "${panel_at:-99}" ] || fail "the error box is not above the panel"
  answer 25
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# A board that stops reading (XON/XOFF, held from before the connect), both
# cores busy: each write gives up at its deadline and says so in a
# "WriteFile" box, the window goes on answering, nothing from outside runs
# under the boxes, a disconnect does not wait for what is held, and once the
# board reads again a connect's and a disconnect's sends arrive whole.
held_output_is_reported() {
  sim_options=(--hold)
  trap 'stop; reap "${loaders[@]}" ${bus_pid:-}' EXIT
  [ "$wine" = 1 ] || accessibility_bus
  start
  load_cores
  click comportbut; answer 0
  click Standlicht
  local n waits=() started
  for n in $(seq 13); do
    until_true 100 echo_box || fail "no echo box for command $n"
    close_box "echo box $n"
    started=$(now_ms)
    until_true 100 error_box || fail "no WriteFile box for command $n"
    waits+=($(($(now_ms) - started)))
    ((n > ${#outside_actions[@]})) || act_from_outside "${outside_actions[n - 1]}" "the WriteFile box of command $n"
    close_box "the WriteFile box of command $n"
  done
  settled
  [ -z "$(boxes_open)" ] || fail "more boxes than the 26 of the send"
  echo "      held output, both cores busy: 13 WriteFile boxes, each after its echo box closed in $(printf '%s\n' "${waits[@]}" |
    sort -n | awk '{a[NR]=$1} END {printf "median %d ms, slowest %d ms", a[int((NR+1)/2)], a[NR]}')"
  expect_raw ""
  # The reset's send is held too: 13 echo boxes and 13 WriteFile boxes.
  click comportbut
  for n in $(seq 26); do close_box "box $n of the disconnect"; done
  started=$(now_ms)
  until_true 100 not port_held || fail "the port is still held after disconnecting"
  settled
  echo "      held output: from the disconnect's last box to the port free: $(($(now_ms) - started)) ms"
  [ -z "$(boxes_open)" ] || fail "a box is still open after disconnecting"
  reap "${loaders[@]}"
  kill -USR2 "$sim_pid"
  until_true 100 grep -q XON "$work/sim.log" || fail "the board sent no XON"
  click comportbut; answer 0
  click Standlicht; answer 13
  expect_raw "$side_light_on"
  click comportbut; answer 13
  expect_raw "$side_light_on$(send)"
  echo "      under WriteFile boxes 1 to 4, a click, a close request, a reader's press and a change of Links: 26 boxes, still" \
    "connected (the disconnect's 26 boxes), board got '' while held; after XON: '$(cat "$work/raw")'"
}
error_box() { one_box && [ "$(xdotool getwindowname "$box")" = WriteFile ]; }
echo_box() { one_box && [ "$(xdotool getwindowname "$box")" != WriteFile ]; }

# A session bus of the scenario's own (bus_pid, for its trap to reap) with the
# accessibility bus, for the panels started after this and a screen reader.
accessibility_bus() {
  dbus-daemon --session --fork --print-address=4 --print-pid=5 4>"$work/bus" 5>"$work/bus.pid" ||
    fail "no session bus"
  bus_pid=$(cat "$work/bus.pid")
  export DBUS_SESSION_BUS_ADDRESS QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
  DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
  # The accessibility bus starts on first use; the panel would wait for it
  # before it shows its window, which takes long on a busy machine.
  until_true 400 dbus-send --session --print-reply=literal --reply-timeout=5000 --dest=org.a11y.Bus \
    /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1 || fail "no accessibility bus"
}

# A screen reader's user: the tree, the descriptions and a full send through
# AT-SPI (atspi_check.py), on a session bus of the scenario's own; under
# Wine through MSAA (msaa_check.exe).
screen_reader_operates_the_panel() {
  if [ "$wine" = 1 ]; then
    start
    timeout 120 wine "$msaa" || fail "the screen reader could not operate it"
    expect_raw "$(send 3=b1)"
    return
  fi
  trap 'stop; reap ${bus_pid:-}' EXIT
  accessibility_bus
  start
  xdotool windowactivate --sync "$win"
  timeout 120 "$(dirname "$0")/atspi_check.py" "$panel_pid" "$device" || fail "the screen reader could not operate it"
  expect_raw "$(send 3=b1)"
}

# A desktop's session manager logs out, through XSMP as GNOME's and KDE's
# speak it to X11 programs (xsmp_manager.cpp, beside xping). Under an echo
# box the panel cancels the log-out and the send goes on; a Die that comes
# regardless ends it with 0 before the command of the box that is up is
# written; with no box up the log-out goes ahead. Windows' refusal of a
# log-off is the Wine scenarios'.
log_out_under_a_box_is_cancelled() {
  [ "$wine" = 0 ] || skip "XSMP is X11's"
  mkfifo "$work/xsmp"
  "${xping%xping}xsmp_manager" "$work/xsmp" >"$work/xsmp.log" 2>&1 &
  manager_pid=$!
  trap 'stop; reap "$manager_pid"' EXIT
  local taken=1 code  # the manager's log lines taken so far: its address
  until_true 100 test -s "$work/xsmp.log" || fail "the session manager did not start"
  local address
  address=$(head -n1 "$work/xsmp.log")
  [[ $address == local/* ]] || fail "the session manager gave no address: $address"
  # tell <message>: the manager sends it. A FIFO nobody reads would block
  # the write until CTest's time-out, so a manager that has ended is told.
  tell() {
    gone "$manager_pid" && fail "the session manager has ended ($(tail -n1 "$work/xsmp.log"))"
    echo "$1" >"$work/xsmp"
  }
  # xsmp <message|-> <answer...>: the manager sends the message (-: none),
  # and the panel's next messages to it are exactly these.
  xsmp() {
    local message=$1 want got lines
    shift
    [ "$message" = - ] || tell "$message"
    want=$(printf '%s\n' "$@")
    answered() {
      lines=$(tail -n +"$((taken + 1))" "$work/xsmp.log")
      got=$(grep -v '^>' <<<"$lines" | sed 's/^< //')
      [ "$got" = "$want" ] && { [ "$message" = - ] || grep -qx "> $message" <<<"$lines"; }
    }
    until_true 200 answered || fail "to '$message' the panel answered '${got//$'\n'/, }', not '${want//$'\n'/, }'"
    [ -z "$lines" ] || taken=$((taken + $(grep -c '' <<<"$lines")))
  }
  ended() {  # ended <what ended it>: the panel has ended, with 0
    until_true 200 gone "$panel_pid" || fail "the panel did not end on $1"
    wait "$panel_pid"
    code=$?
    [ "$code" = 0 ] || fail "exit code $code after $1"
  }
  local session=(SESSION_MANAGER="$address" ICEAUTHORITY="$work/iceauthority")
  local cancelled=("InteractRequest normal" "InteractDone cancel-shutdown" "SaveYourselfDone failure")

  start "${session[@]}"
  xsmp - RegisterClient "SaveYourselfDone success"
  click comportbut; answer 0
  click Standlicht
  until_true 100 one_box || fail "no echo box"
  local first=$box
  xsmp SaveYourself "${cancelled[@]}"
  xsmp ShutdownCancelled
  settled
  [ "$(boxes_open)" = "$first" ] || fail "the cancelled log-out took the first echo box down"
  expect_raw ""
  echo "      log-out under echo box 1 of 13: cancelled, the box still up, board got '$(cat "$work/raw")'"
  answer 13
  expect_raw "$side_light_on"

  click Standlicht
  close_box "echo box 1"; close_box "echo box 2"
  until_true 100 one_box || fail "no echo box 3"
  xsmp SaveYourself "${cancelled[@]}"
  tell Die
  ended "Die under echo box 3"
  expect_raw "$side_light_on$(send | head -c 4)"
  xsmp - gone  # ended at the box, it closed its connection by ending
  echo "      log-out cancelled, then Die under echo box 3 of 13: exit code $code, board got '$(cat "$work/raw")'"

  reap "$sim_pid"  # start makes a board of its own
  start "${session[@]}"
  xsmp - RegisterClient "SaveYourselfDone success"
  click comportbut; answer 0
  click Standlicht; answer 13
  xsmp SaveYourself "SaveYourselfDone success"
  tell Die
  ended "Die with no box up"
  expect_raw "$side_light_on"
  xsmp - CloseConnection
  echo "      log-out with no box up: done, then Die: exit code $code, board got '$(cat "$work/raw")'"
}

# Each with its bound in seconds on this machine, under Wine or not.
scenario greyed_boxes_send_nothing 60 "greyed-out boxes send nothing"
scenario side_light_sends_the_state 60 "side light sends the whole state"
scenario low_beam_interlock 90 "low beam interlock"
scenario disconnect_sends_then_frees_the_port 60 "disconnect sends, then frees the port"
scenario unmapped_port_is_told 90 "an unmapped port is told"
scenario keyboard_alone 60 "the keyboard alone connects and switches the side light"
scenario closing_while_connected_exits_cleanly 60 "closing while connected exits 0"
scenario second_panel_cannot_take_the_port 120 "a second panel cannot take the port, 20 of 20"
scenario held_enter_connects_once 180 "held Enter connects once, 20 rounds with both cores busy"
scenario held_enter_closes_one_box 120 \
  "held Enter over a box closes that box only; under the next four nothing from outside runs; both cores busy"
scenario boxes_stand_above_the_panel 90 "boxes stand above the panel"
scenario held_output_is_reported 180 \
  "a board that stops reading: every write told; nothing from outside runs under its boxes; both cores busy"
scenario screen_reader_operates_the_panel 120 "a screen reader operates the panel"
scenario log_out_under_a_box_is_cancelled 90 \
  "a log-out under a box is cancelled; a Die regardless ends the panel before the box's command is written"
no_scenario
