#!/usr/bin/env bash
# The cable puller of the guest's USB board: takes "unplug" and "plug", one
# a line, on standard input, takes the gadget ($1) off its USB controller
# ($2) or puts it back, and answers "ok" on standard output.
set -uo pipefail
while read -r command; do
  case $command in
    unplug) echo "" >"$1/UDC" ;;
    plug) echo "$2" >"$1/UDC" ;;
    *) continue ;;
  esac
  echo ok
done
