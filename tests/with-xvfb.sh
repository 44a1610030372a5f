#!/usr/bin/env bash
# Runs a command on a private Xvfb server with Qt's xcb platform.
set -euo pipefail
# shellcheck source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
trap 'reap ${xvfb_pid:-}' EXIT
start_xvfb
QT_QPA_PLATFORM=xcb "$@"
