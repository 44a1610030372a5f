# Sourced by the project's scripts and end-to-end tests: running as root,
# bounded waits, ending processes, and an X server of their own.
# shellcheck shell=bash

# What to put before a command that needs root: nothing for root, sudo else.
# shellcheck disable=SC2034 # for the scripts that source this
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)

# export_source_date_epoch: every time stamp a build writes into a file is
# SOURCE_DATE_EPOCH; where the caller has not set it, the last commit's time.
export_source_date_epoch() {
  SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
  export SOURCE_DATE_EPOCH
}

# until_true <tries> <command...>: runs the command every 50 ms until it
# succeeds, at most <tries> times.
until_true() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.05; done
  return 1
}

# not <command...>: succeeds when the command fails.
not() { ! "$@"; }

# gone <pid>: the process has ended. One whose parent has gone is a zombie
# once it ends, until its new parent waits for it, if it ever does.
gone() { ! kill -0 "$1" 2>/dev/null || [[ $(cat "/proc/$1/stat" 2>/dev/null) == *") Z "* ]]; }

# reap <pid...>: asks the processes to end, and makes them after 5 s.
reap() {
  local pid
  kill "$@" 2>/dev/null
  for pid in "$@"; do
    until_true 100 gone "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || true  # its status is of no interest here
  done
  return 0
}

# start_xvfb [WxHxD]: an X server on a free display, exported as DISPLAY;
# its process is xvfb_pid. Says why and fails when none comes up.
start_xvfb() {
  local answer
  answer=$(mktemp)
  Xvfb -displayfd 3 -screen 0 "${1:-1024x768x24}" -nolisten tcp 3>"$answer" 2>"$answer.err" &
  xvfb_pid=$!
  if ! until_true 200 test -s "$answer"; then
    echo "Xvfb did not start within 10 s: $(tail -n3 "$answer.err")" >&2
    reap "$xvfb_pid"
    rm -f "$answer" "$answer.err"
    return 1
  fi
  DISPLAY=":$(cat "$answer")"
  export DISPLAY
  rm -f "$answer" "$answer.err"
}

# start_window_manager: openbox on DISPLAY, so that windows are framed and
# take the focus as on a desktop; its process is wm_pid.
start_window_manager() {
  openbox --sm-disable >/dev/null 2>&1 &
  # shellcheck disable=SC2034 # for the caller
  wm_pid=$!
  until_true 200 wmctrl -m >/dev/null 2>&1 && return 0
  echo "openbox did not start within 10 s on $DISPLAY" >&2
  return 1
}
