#!/usr/bin/env bash
# Runs a command on a private Xvfb server with Qt's xcb platform.
set -uo pipefail
work=$(mktemp -d)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb "$@"
