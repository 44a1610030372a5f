#!/usr/bin/env bash
# Runs inside the virtual machine, as root in the host's root directory: the
# panel's serial and fault suites against the kernel's real drivers.
#   ttyS1 <-> ttyS2     two 16550 UARTs (8250 driver) joined by a null-modem
#                       cable that the host relays
#   ttyUSB0 <-> ttyS3   an FTDI adapter (ftdi_sio) whose far end the host
#                       relays to a third UART
#   vport*p*            "plug": a line to the host, which pulls and puts back
#                       the FTDI adapter over QMP
# Prints one line a suite run and a closing "vm: N passed, N failed".
set -uo pipefail
tests=$LICHT_BUILD/tests
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp
passed=0
failed=0

wait_for() {  # wait_for <path> <seconds>
  local end=$((SECONDS + $2))
  until [ -e "$1" ]; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}

suite() {  # suite <label> <env...> -- <program> <functions...>
  local label=$1 envs=() status start=$SECONDS
  shift
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  echo "== vm: $label"
  env "${envs[@]}" "$tests/$@" -maxwarnings 0 2>&1 | grep -E '^(PASS|FAIL|SKIP|QFATAL|figure|Totals|   Loc|   Actual|   Expected)|Compared|returned FALSE'
  status=${PIPESTATUS[0]}
  echo "== vm: $label: exit $status in $((SECONDS - start)) s"
  if [ "$status" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

echo "vm: kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPUs"
for tty in /sys/class/tty/ttyS*; do echo "vm: ${tty##*/} uart type $(cat "$tty/type")"; done
wait_for /dev/ttyUSB0 30 || echo "vm: no /dev/ttyUSB0"
plug=""
for port in /sys/class/virtio-ports/*; do
  [ "$(cat "$port/name" 2>/dev/null)" = plug ] && plug=/dev/${port##*/}
done
[ -n "$plug" ] || echo "vm: no line to the cable puller"
echo "vm: $(ls -l /dev/ttyS1 /dev/ttyUSB0 "$plug" 2>&1 | awk '{print $1, $4, $NF}' | tr '\n' ';')"

# No LICHTSTEUERUNG_COMn: the port names come from sysfs alone.
suite "port names from sysfs" LICHT_TEST_MACHINE_PORTS="/dev/ttyS0 /dev/ttyS1 /dev/ttyS2 /dev/ttyS3 /dev/ttyUSB0" \
  -- serial_test machinePortsOfThisMachine

uart=(LICHT_TEST_PORT=/dev/ttyS1 LICHT_TEST_BOARD=/dev/ttyS2)
usb=(LICHT_TEST_PORT=/dev/ttyUSB0 LICHT_TEST_BOARD=/dev/ttyS3 LICHT_TEST_PLUG=$plug)
for line in uart usb; do
  if [ $line = uart ]; then port=("${uart[@]}"); else port=("${usb[@]}"); fi
  suite "$line: line settings, echo, held output, unplug" "${port[@]}" -- serial_test \
    connectConfiguresThePort sendCommandEchoesThenWrites \
    $([ $line = uart ] && echo heldOutputIsReported) $([ $line = usb ] && echo unpluggedPortIsReported)
  suite "$line: full sends" "${port[@]}" -- lights_test "scenarios:side light on" "scenarios:every light on" \
    "scenarios:hazard lights in one write"
  suite "$line: as a user: exclusive use, release, faults" "${port[@]}" -- fault_test \
    runsAsAnOrdinaryUser exclusiveUse secondOpenerIsRefused release \
    $([ $line = uart ] && echo heldOutput) $([ $line = usb ] && echo unplug)
  suite "$line: as root: flock" "${port[@]}" LICHT_TEST_KEEP_ROOT=1 -- fault_test "secondOpenerIsRefused:open and flock"
done

echo "vm: $passed passed, $failed failed"
