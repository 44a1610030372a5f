#!/usr/bin/env bash
# The cable puller of the guest's USB board: takes "unplug TAG" and
# "plug TAG", one a line, on standard input, takes the gadget ($1) off its
# USB controller ($2) or puts it back, and answers "ok TAG" on standard
# output, or "failed TAG: why".
set -uo pipefail
while read -r command tag; do
  case $command in
    unplug) controller="" ;;
    plug) controller=$2 ;;
    *) continue ;;
  esac
  if why=$(printf '%s\n' "$controller" 2>&1 >"$1/UDC"); then
    echo "ok $tag"
  else
    echo "failed $tag: $why"
  fi
done
