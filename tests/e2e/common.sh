# Shared by the end-to-end tests on X11 and Wayland: what the board receives,
# and running scenarios.
# shellcheck shell=bash disable=SC2034 # the variables are the tests'

# shellcheck source=../../scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"

passed=0
failed=0
skipped=0

# run <name> <function>: one scenario in a subshell of its own, which stops at
# its first failure and ends with `stop`. E2E_ONLY=<part of a name> runs only
# those.
run() {
  [[ $1 == *"${E2E_ONLY:-}"* ]] || return 0
  scenario=$1
  local status=0 started=$SECONDS
  (
    trap stop EXIT
    "$2"
  ) || status=$?
  case $status in
    # Its time, for the record: what a run of the suite spends where.
    0) echo "PASS: $scenario ($((SECONDS - started)) s)"; passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
}

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
