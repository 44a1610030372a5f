#!/usr/bin/env bash
# Runs inside the virtual machine, as root in the host's root directory: the
# panel's serial and fault suites against the kernel's real drivers.
#   ttyS1 <-> ttyS2     two 16550 UARTs (8250 driver) joined by a null-modem
#                       cable that the host relays
#   ttyUSB0 <-> ttyS3   an FTDI adapter (ftdi_sio) whose far end the host
#                       relays to a third UART
#   ttyACM0 <-> ttyGS0  a USB board (cdc_acm) that the guest makes itself: the
#                       kernel's USB gadget stack on its dummy USB controller,
#                       whose serial function ttyGS0 plays the board
#   vport*p*            "plug": a line to the host, which pulls and puts back
#                       the FTDI adapter over QMP
# Devices are named and owned by Debian's udev ($LICHT_UDEV holds the
# package). Prints one line a suite run and a closing "vm: N passed, N failed".
set -uo pipefail
tests=$LICHT_BUILD/tests
here=$LICHT_SOURCE/tests/vm
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp
passed=0
failed=0

wait_for() {  # wait_for <path> <seconds>: until an ordinary user of dialout may open it
  local end=$((SECONDS + $2))
  until [ -e "$1" ] && setpriv --reuid=nobody --regid=nogroup --groups=dialout test -r "$1" -a -w "$1"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}

# The package's files lie under usr/ from Debian 13 on (merged /usr).
udev_files=$LICHT_UDEV
[ -x "$udev_files/bin/udevadm" ] || udev_files=$LICHT_UDEV/usr
udevadm() { "$udev_files/bin/udevadm" "$@"; }

# udev as the distribution runs it, with its own rules. It refuses to act in
# a chroot unless told.
start_udev() {
  mkdir -p /run/udev/rules.d
  cp "$udev_files"/lib/udev/rules.d/*.rules /run/udev/rules.d/
  # The tests run as an ordinary user; the line to the cable puller is theirs.
  echo 'SUBSYSTEM=="virtio-ports", GROUP="dialout", MODE="0660"' >/run/udev/rules.d/99-lichtsteuerung-test.rules
  export SYSTEMD_IGNORE_CHROOT=1
  (exec -a systemd-udevd "$udev_files/bin/udevadm" --daemon) || echo "vm: udevd did not start"
  udevadm trigger --action=add --subsystem-match=tty --subsystem-match=virtio-ports
  udevadm settle --timeout=30
}

# The USB board: a gadget with one CDC ACM function, plugged into the dummy
# USB controller, so that cdc_acm sees a board like any other.
gadget=/sys/kernel/config/usb_gadget/lichtsteuerung
make_board() {
  mkdir "$gadget" "$gadget/strings/0x409" || return 1
  echo 0x1d6b >"$gadget/idVendor"   # Linux Foundation
  echo 0x0104 >"$gadget/idProduct"  # multifunction composite gadget
  echo 0x0100 >"$gadget/bcdDevice"
  echo 0x0200 >"$gadget/bcdUSB"
  echo Lichtsteuerung >"$gadget/strings/0x409/manufacturer"
  echo Testplatine >"$gadget/strings/0x409/product"
  echo LS0001 >"$gadget/strings/0x409/serialnumber"
  mkdir -p "$gadget/configs/c.1/strings/0x409" "$gadget/functions/acm.usb0"
  echo ACM >"$gadget/configs/c.1/strings/0x409/configuration"
  ln -s "$gadget/functions/acm.usb0" "$gadget/configs/c.1/"
  controller=$(find /sys/class/udc -mindepth 1 -maxdepth 1 -printf '%f\n' | head -n1)
  echo "$controller" >"$gadget/UDC"
}

suite() {  # suite <label> <env...> -- <program> <functions...>
  local label=$1 envs=() status start=$SECONDS
  shift
  while [ "$1" != -- ]; do envs+=("$1"); shift; done
  shift
  echo "== vm: $label"
  env "${envs[@]}" "$tests/$1" "${@:2}" -maxwarnings 0 2>&1 | grep -E '^(PASS|FAIL|SKIP|QFATAL|figure|Totals|   Loc|   Actual|   Expected)|Compared|returned FALSE'
  status=${PIPESTATUS[0]}
  echo "== vm: $label: exit $status in $((SECONDS - start)) s"
  if [ "$status" = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

echo "vm: kernel $(uname -r), $(grep -c ^processor /proc/cpuinfo) CPUs"
for tty in /sys/class/tty/ttyS*; do echo "vm: ${tty##*/} uart type $(cat "$tty/type")"; done
start=$SECONDS
start_udev
make_board || echo "vm: cannot make the USB board"
wait_for /dev/ttyUSB0 30 || echo "vm: no /dev/ttyUSB0"
wait_for /dev/ttyACM0 30 || echo "vm: no /dev/ttyACM0"
udevadm settle --timeout=30
echo "vm: udev and the USB board ready in $((SECONDS - start)) s"
plug=""
for port in /sys/class/virtio-ports/*; do
  [ "$(cat "$port/name" 2>/dev/null)" = plug ] && plug=/dev/${port##*/}
done
[ -n "$plug" ] || echo "vm: no line to the cable puller"
# The board's cable puller, on a pseudo-terminal the tests can open.
socat PTY,link=/tmp/acm-plug,raw,echo=0 EXEC:"$here/gadget-plug.sh $gadget $controller" &
for _ in $(seq 100); do [ -e /tmp/acm-plug ] && break; sleep 0.1; done
chmod 0666 "$(readlink -f /tmp/acm-plug)" || echo "vm: no line to the board's cable puller"
stat -c 'vm: %A %U:%G %n' /dev/ttyS1 /dev/ttyUSB0 /dev/ttyACM0 /dev/ttyGS0 "$plug" 2>&1
for link in /dev/serial/by-id/*; do echo "vm: by-id: $link -> $(readlink -f "$link")"; done
byid=$(compgen -G '/dev/serial/by-id/*Lichtsteuerung*-if00' | head -n1)

# No LICHTSTEUERUNG_COMn: the port names come from sysfs alone.
suite "port names from sysfs" \
  LICHT_TEST_MACHINE_PORTS="/dev/ttyS0 /dev/ttyS1 /dev/ttyS2 /dev/ttyS3 /dev/ttyUSB0 /dev/ttyACM0" \
  -- serial_test machinePortsOfThisMachine

uart=(LICHT_TEST_PORT=/dev/ttyS1 LICHT_TEST_BOARD=/dev/ttyS2)
usb=(LICHT_TEST_PORT=/dev/ttyUSB0 LICHT_TEST_BOARD=/dev/ttyS3 "LICHT_TEST_PLUG=$plug")
# cdc_acm ignores XON/XOFF: a board holds output back by not reading.
acm=(LICHT_TEST_PORT=/dev/ttyACM0 LICHT_TEST_BOARD=/dev/ttyGS0 LICHT_TEST_PLUG=/tmp/acm-plug LICHT_TEST_HOLD=unread)
for line in uart usb acm; do
  case $line in
    uart) port=("${uart[@]}") held=(heldOutputIsReported) faults=(heldOutput heldOutputAtExit) ;;
    usb) port=("${usb[@]}") held=(unpluggedPortIsReported) faults=(unplug) ;;
    acm) port=("${acm[@]}") held=(unpluggedPortIsReported) faults=(heldOutput heldOutputAtExit unplug) ;;
  esac
  suite "$line: line settings, echo, send time, held output, unplug" "${port[@]}" -- serial_test \
    connectConfiguresThePort sendCommandEchoesThenWrites sendReturnsOnceSent "${held[@]}"
  suite "$line: full sends" "${port[@]}" -- lights_test "scenarios:side light on" "scenarios:every light on" \
    "scenarios:hazard lights in one write"
  suite "$line: as a user: exclusive use, release, faults" "${port[@]}" -- fault_test \
    runsAsAnOrdinaryUser exclusiveUse secondOpenerIsRefused release "${faults[@]}"
  suite "$line: as root: flock, plain open while closing" "${port[@]}" LICHT_TEST_KEEP_ROOT=1 -- fault_test \
    "secondOpenerIsRefused:open and flock" "secondOpenerIsRefused:plain open while the kernel still sends"
done

# The board comes back as ttyACM1 while its old node is still held open; its
# by-id name follows it there.
exec 3<>/dev/ttyACM0
echo "" >"$gadget/UDC"
echo "$controller" >"$gadget/UDC"
wait_for /dev/ttyACM1 30 || echo "vm: the board did not come back as ttyACM1"
udevadm settle --timeout=30
echo "vm: by-id after re-plugging with ttyACM0 held: $byid -> $(readlink -f "$byid")"
suite "acm through its by-id name, back as ttyACM1" LICHT_TEST_PORT="$byid" LICHT_TEST_BOARD=/dev/ttyGS0 \
  -- lights_test "scenarios:side light on"
exec 3>&-

echo "vm: $passed passed, $failed failed"
