#!/usr/bin/env bash
# The host's end of the guest's cable-puller line: takes "unplug" and "plug",
# one a line, on standard input, removes or adds the USB serial adapter
# through QEMU's QMP socket ($1), and answers "ok" on standard output once
# QEMU has done it.
set -uo pipefail
qmp=$1

# request <command> <what the answer holds once it is done>
request() {
  local line
  coproc QMP { exec socat - UNIX-CONNECT:"$qmp"; }
  read -r -t 10 line <&"${QMP[0]}"  # the greeting
  echo '{"execute": "qmp_capabilities"}' >&"${QMP[1]}"
  read -r -t 10 line <&"${QMP[0]}"
  echo "$1" >&"${QMP[1]}"
  while read -r -t 20 line <&"${QMP[0]}"; do
    case $line in
      *"$2"*) break ;;
      *'"error"'*) echo "plug: $line" >&2; break ;;
    esac
  done
  kill "$QMP_PID" 2>/dev/null
  wait "$QMP_PID" 2>/dev/null
}

while read -r command; do
  case $command in
    unplug) request '{"execute": "device_del", "arguments": {"id": "ftdi"}}' DEVICE_DELETED ;;
    plug) request '{"execute": "device_add", "arguments": {"driver": "usb-serial", "id": "ftdi",
                   "bus": "xhci.0", "chardev": "usb0"}}' '"return"' ;;
    *) continue ;;
  esac
  echo ok
done
