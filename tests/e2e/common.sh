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
  local status=0
  (
    trap stop EXIT
    "$2"
  ) || status=$?
  case $status in
    0) echo "PASS: $scenario"; passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)) ;;
    *) failed=$((failed + 1)) ;;
  esac
}

skip() {  # ends the scenario as one that does not apply here
  echo "SKIP: $scenario: $*"
  exit 77
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
