# Shared by the end-to-end tests on X11 and Wayland: the desktop their
# scenarios share, what the board receives, and running one scenario.
# shellcheck shell=bash disable=SC2034,SC2154 # the tests set some of these variables and read the others

# shellcheck source=../../scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

# Each scenario is a CTest test of its own (tests/CMakeLists.txt). The
# desktop they share is started by a fixture, a run of the same script, and
# left running; its session file in the build folder holds what the
# scenarios need to reach it, as KEY=value lines, and what ends it:
#   <test> --list                        the scenarios, "name seconds" a line
#   <test> --start <session file> ...    starts the desktop, writes the file
#   <test> --stop <session file>         ends the desktop
#   <test> <session file> ... <scenario> one scenario on it

# session_command <argument...>: does what --list, --start (with the test's
# own start_desktop, given the arguments after the session file) and --stop
# ask for, and ends the test; for a scenario it returns.
session_command() {
  case $1 in
    --list)
      list_scenarios "$0" ;;
    --start)
      session=$2
      close_session  # what a run that was killed left
      folder=$(mktemp -d)
      session_note folder "$folder"
      start_desktop "${@:3}" ;;
    --stop)
      session=$2
      close_session ;;
    *) return 0 ;;
  esac
  exit 0
}

# session_note <key> <value>: into the session file being started. A lower
# case key is for --stop alone; the scenarios export the others.
session_note() { printf '%s=%s\n' "$1" "$2" >>"$session"; }

# open_session: exports what the session file records, and fails when the
# desktop has gone (its fixture failed, or a scenario took it down).
open_session() {
  local key value pid pids=()
  [ -s "$session" ] || { echo "no desktop: $session is missing (its fixture did not run or failed)"; exit 1; }
  while IFS='=' read -r key value; do
    if [ "$key" = pid ]; then
      pids+=("$value")
    elif [[ $key =~ ^[A-Z][A-Z0-9_]*$ ]]; then
      export "$key=$value"
    fi
  done <"$session"
  for pid in "${pids[@]}"; do
    gone "$pid" && { echo "no desktop: process $pid of $session has ended"; exit 1; }
  done
  return 0
}

# close_session: ends the processes the session file names and removes the
# folder it names; then the file.
close_session() {
  local key value pids=() folders=()
  [ -e "$session" ] || return 0
  while IFS='=' read -r key value; do
    case $key in
      pid) pids+=("$value") ;;
      folder) folders+=("$value") ;;
    esac
  done <"$session"
  [ ${#pids[@]} = 0 ] || reap "${pids[@]}"
  [ ${#folders[@]} = 0 ] || rm -rf "${folders[@]}"
  rm -f "$session"
}

# scenario <function> <seconds> <title>: a scenario of the test, bound to
# that many seconds on this machine (CTest's time-out, more under an
# emulator). When it is the one asked for ($wanted), it runs in a subshell
# of its own, which stops at its first failed check (`fail`) and ends with `stop`, and
# ends the test with its status (77: it does not apply here).
scenario() {
  [ "$1" = "$wanted" ] || return 0
  scenario=$3
  local status=0
  (
    trap stop EXIT
    "$1"
  ) || status=$?
  case $status in
    0) echo "PASS: $scenario" ;;
    77) ;;
    *) echo "FAIL: $scenario (status $status)" ;;
  esac
  exit "$status"
}

# no_scenario: after the scenarios; ends a run that asked for none of them.
no_scenario() {
  echo "no such scenario: $wanted"
  exit 2
}

# list_scenarios <test script>: its scenarios, "name seconds" a line.
list_scenarios() { sed -n 's/^scenario \([a-z0-9_]*\) \([0-9]*\) .*/\1 \2/p' "$1"; }

skip() {  # ends the scenario as one that does not apply here
  echo "SKIP: $scenario: $*"
  exit 77
}

# start_board [option...]: a fresh simulated board, logging to $work; sets
# sim_pid and device. Both files are emptied here, before the board starts:
# its own redirection empties them only once the shell's child runs, and on a
# busy machine the wait below would read the last board's log before that,
# and hand the panel an empty device.
# shellcheck disable=SC2154 # work and sim are the test's
start_board() {
  : >"$work/raw"
  : >"$work/sim.log"
  "$sim" --headless --raw "$work/raw" "$@" >"$work/sim.log" 2>"$work/sim.err" &
  sim_pid=$!
  until_true 400 test -s "$work/sim.log" || fail "the simulator printed no device: $(cat "$work/sim.err")"
  device=$(head -n1 "$work/sim.log")
  [ -c "$device" ] || fail "the simulator gave no device: '$device' $(cat "$work/sim.err")"
}

send() {  # send <row=command ...>: the bytes of a full send with those rows changed
  local rows=(a0 c0 b0 e0f0j0 e0 f0 e0f0 k0 l0 g0 h0 i1 d0) change
  for change in "$@"; do rows[${change%%=*}-1]=${change#*=}; done
  printf '%s' "${rows[@]}"
}

# Connected, the side light switched on: one send.
side_light_on=$(send 3=b1)
# Then the low beam: it clears the side light, which sends, then sends itself.
low_beam_on=$(send 1=a1)$(send 1=a1)
