#!/usr/bin/env bash
# The host's end of the guest's cable-puller line: takes "unplug TAG" and
# "plug TAG", one a line, on standard input, removes or adds the USB serial
# adapter through QEMU's QMP socket ($1), and answers "ok TAG" on standard
# output once QEMU has done it, or "failed TAG: why".
#
# One QMP session serves every request, and each request waits for QEMU's
# answer to that very command (by its id) before the next: QEMU serves one
# client at a time, and a session for each request would depend on QEMU
# having seen the last client go before the next one comes.
set -uo pipefail
qmp=$1
# Below the 40 s the board waits for an answer, so that it always gets one.
limit=30

coproc QMP { exec socat - UNIX-CONNECT:"$qmp"; }
exec {from_qemu}<&"${QMP[0]}" {to_qemu}>&"${QMP[1]}"

# expect <text...>: reads QEMU's lines until each text has been in one. An
# error answer or silence for $limit seconds ends it, and prints why.
expect() {
  local line wanted=("$@") i
  while [ ${#wanted[@]} -gt 0 ]; do
    if ! read -r -t "$limit" line <&"$from_qemu"; then
      echo "no answer from QEMU within $limit s (waiting for $*)"
      return 1
    fi
    [[ $line != *'"error"'* ]] || { echo "$line"; return 1; }
    for i in "${!wanted[@]}"; do
      [[ $line != *"${wanted[$i]}"* ]] || unset 'wanted[i]'
    done
  done
}

if ! session=$(expect '"QMP"' && echo '{"execute": "qmp_capabilities"}' >&"$to_qemu" && expect '"return"'); then
  echo "plug: no QMP session: $session" >&2
fi

id=0
while read -r command tag; do
  id=$((id + 1))
  start=$SECONDS
  case $command in
    # QEMU answers the command, then reports the device gone.
    unplug)
      echo "{\"execute\": \"device_del\", \"arguments\": {\"id\": \"ftdi\"}, \"id\": $id}" >&"$to_qemu"
      finished=("\"id\": $id}" '"DEVICE_DELETED", "data": {"device": "ftdi"') ;;
    plug)
      echo "{\"execute\": \"device_add\", \"arguments\": {\"driver\": \"usb-serial\", \"id\": \"ftdi\"," \
        "\"bus\": \"xhci.0\", \"chardev\": \"usb0\"}, \"id\": $id}" >&"$to_qemu"
      finished=("\"id\": $id}") ;;
    *) continue ;;
  esac
  if why=$(expect "${finished[@]}"); then
    echo "ok $tag"
  else
    echo "plug: $command: $why" >&2
    echo "failed $tag: $why"
  fi
  [ $((SECONDS - start)) -lt 5 ] || echo "plug: $command took $((SECONDS - start)) s" >&2
done
