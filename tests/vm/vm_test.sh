#!/usr/bin/env bash
# The serial suites on the kernel's real drivers: boots Debian's own kernel
# in QEMU with four 16550 UARTs and an FTDI USB serial adapter, gives it a
# USB board of its own (cdc_acm, through the kernel's USB gadget stack), and
# runs the guest side (guest.sh) there against this build, which the guest
# sees through the host's root directory, mounted read-only.
# Usage: vm_test.sh <source folder> <build folder>
#
# The kernel and udev packages are downloaded once (apt-get download) into
# <build>/vm-cache. Exit 77 (skipped) when QEMU is missing, except in CI.
set -uo pipefail
source=$(realpath "$1")
build=$(realpath "$2")
cache=$build/vm-cache
here=$source/tests/vm

# The guest runs this build and this machine's own tools: on another
# architecture (an arm64 board) they would need that architecture's kernel
# and machine model, whose UARTs are not the 16550s tested here.
if [ "$(uname -m)" != x86_64 ]; then
  echo "vm: skipped on $(uname -m): the virtual machine boots Debian's amd64 kernel, which cannot run this build"
  exit 77
fi

if ! command -v qemu-system-x86_64 >/dev/null || ! [ -x /bin/busybox ]; then
  echo "vm: qemu-system-x86 or busybox-static is not installed (scripts/setup-debian --test installs them)"
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi

# The drivers the guest needs; prepare_kernel puts them, after those they
# need themselves, into the initramfs and lists them in load order.
# cdc-acm drives a USB board; the gadget stack on the dummy host controller
# (dummy_hcd, usb_f_acm) is that board, with /dev/ttyGS0 as its far end.
wanted="xhci-pci ftdi_sio cdc-acm dummy_hcd usb_f_acm virtio_pci virtio_console 9pnet_virtio 9p"

# Debian's kernel, uncompressed: QEMU boots an ELF kernel through its PVH
# entry and skips the seconds that decompressing takes under emulation.
prepare_kernel() {
  local package version
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  [ -n "$package" ] || { echo "vm: apt knows no linux-image-amd64 (run apt-get update)"; return 1; }
  kernel=$cache/$package
  [ "$(cat "$kernel/root/modules/wanted" 2>/dev/null)" = "$wanted" ] && [ -s "$kernel/vmlinux" ] &&
    [ -s "$kernel/initrd.gz" ] && return 0
  rm -rf "$kernel"
  mkdir -p "$kernel/deb" "$kernel/root/bin" "$kernel/root/modules" "$kernel/root/etc"
  (cd "$kernel/deb" && apt-get download -q "$package" >/dev/null 2>&1) || { echo "vm: cannot download $package"; return 1; }
  dpkg-deb -x "$kernel"/deb/*.deb "$kernel/deb/x"
  version=${package#linux-image-}
  # vmlinuz is a bzImage around the compressed ELF kernel (xz on Debian 12,
  # zstd on Debian 13), which starts at the first stream header.
  local image=$kernel/deb/x/boot/vmlinuz-$version offset format magic
  for format in xz zstd; do
    magic=$([ $format = xz ] && printf '\xfd7zXZ' || printf '\x28\xb5\x2f\xfd')
    offset=$(LC_ALL=C grep -Fabo "$magic" "$image" | head -n1 | cut -d: -f1)
    [ -n "$offset" ] || continue
    tail -c +$((offset + 1)) "$image" | $format -dc 2>/dev/null >"$kernel/vmlinux"
    break
  done
  [ "$(head -c 4 "$kernel/vmlinux" | od -An -c | tr -d ' ')" = '177ELF' ] || { echo "vm: no ELF kernel in $image"; return 1; }

  # Under /lib on Debian 12, under /usr/lib on Debian 13 (merged /usr).
  local modules
  modules=$(find "$kernel/deb/x" -maxdepth 4 -path "*/lib/modules/$version" | head -n1)
  cp /bin/busybox "$kernel/root/bin/"
  cp "$here/init" "$kernel/root/init"
  # The drivers the guest needs and, before each, those it needs itself (the
  # "depends=" of its .modinfo): the two releases split and build in
  # different ones (fscache went into netfs; Debian 13 builds virtio in).
  # Debian 13 ships its modules xz-compressed; busybox loads plain ones.
  local -A file=()
  local path name seen=" "
  while read -r path; do
    name=${path##*/}
    file[${name%.ko*}]=$path
  done < <(find "$modules" -name '*.ko' -o -name '*.ko.xz')
  need() {
    local dep
    [[ $seen == *" $1 "* ]] && return 0
    seen+="$1 "
    if [ -z "${file[$1]:-}" ]; then
      grep -q "/$1\.ko\$" "$modules/modules.builtin" && return 0
      echo "vm: $package has no $1"
      return 1
    fi
    case ${file[$1]} in
      *.xz) xz -dc "${file[$1]}" ;;
      *) cat "${file[$1]}" ;;
    esac >"$kernel/root/modules/$1.ko"
    for dep in $(tr '\0' '\n' <"$kernel/root/modules/$1.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
      need "$dep" || return 1
    done
    echo "$1" >>"$kernel/root/modules/order"
  }
  for name in $wanted; do need "$name" || return 1; done
  echo "$wanted" >"$kernel/root/modules/wanted"
  (cd "$kernel/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$kernel/initrd.gz")
  rm -rf "$kernel/deb"
}

# Debian's udev, to name and own the guest's devices as the distribution
# does. Debian 12's udevadm carries systemd's shared code inside, so the
# package runs on the host's libraries whatever systemd version the host
# has, if any; Debian 13's uses libsystemd-shared, which comes with systemd.
prepare_udev() {
  udev=$cache/udev
  [ -x "$udev/bin/udevadm" ] || [ -x "$udev/usr/bin/udevadm" ] && return 0
  rm -rf "$udev" "$cache/udev-deb"
  mkdir -p "$cache/udev-deb"
  (cd "$cache/udev-deb" && apt-get download -q udev >/dev/null 2>&1) || { echo "vm: cannot download udev"; return 1; }
  dpkg-deb -x "$cache"/udev-deb/udev_*.deb "$udev"
  rm -rf "$cache/udev-deb"
}

prepare_kernel || exit 1
prepare_udev || exit 1
# The initramfs is cheap to rebuild; the init in it follows the source.
if ! cmp -s "$here/init" "$kernel/root/init"; then
  cp "$here/init" "$kernel/root/init"
  (cd "$kernel/root" && find . | cpio -o -H newc --quiet | gzip -1 >"$kernel/initrd.gz")
fi

rm -f "$build/vm-test.log"
work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

socket() { echo "socket,id=$1,path=$work/$1.sock,server=on,wait=off"; }
start=$SECONDS
qemu-system-x86_64 -machine pc -accel tcg -smp 2 -m 1536 -display none -monitor none -nic none -no-reboot \
  -kernel "$kernel/vmlinux" -initrd "$kernel/initrd.gz" \
  -append "console=ttyS0 8250.nr_uarts=6 quiet loglevel=1 panic=-1 LICHT_SOURCE=$source LICHT_BUILD=$build LICHT_UDEV=$udev" \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -chardev file,id=console,path="$work/console.log" -serial chardev:console \
  -chardev "$(socket s1)" -serial chardev:s1 \
  -chardev "$(socket s2)" -serial chardev:s2 \
  -chardev "$(socket s3)" -serial chardev:s3 \
  -device qemu-xhci,id=xhci -chardev "$(socket usb0)" -device usb-serial,id=ftdi,bus=xhci.0,chardev=usb0 \
  -device virtio-serial-pci -chardev "$(socket plug)" -device virtserialport,chardev=plug,name=plug \
  -qmp unix:"$work/qmp.sock",server=on,wait=off >"$work/qemu.log" 2>&1 &
qemu=$!
pids+=("$qemu")
for sock in s1 s2 s3 usb0 plug qmp; do
  for _ in $(seq 200); do [ -S "$work/$sock.sock" ] && break; sleep 0.05; done
done
# The cables: ttyS1 to ttyS2, the adapter's far end to ttyS3. Both relays
# always read, since QEMU stalls the whole machine when nobody reads a USB
# serial chardev.
socat UNIX-CONNECT:"$work/s1.sock" UNIX-CONNECT:"$work/s2.sock" &
pids+=($!)
socat UNIX-CONNECT:"$work/usb0.sock" UNIX-CONNECT:"$work/s3.sock" &
pids+=($!)
socat UNIX-CONNECT:"$work/plug.sock" EXEC:"$here/plug.sh $work/qmp.sock" 2>"$work/plug.log" &
pids+=($!)

# Follow the console until the machine powers off, at most 6 minutes.
for _ in $(seq 3600); do kill -0 $qemu 2>/dev/null || break; sleep 0.1; done
if kill -0 $qemu 2>/dev/null; then
  echo "vm: the machine did not finish within 6 minutes"
  kill $qemu
fi
wait $qemu 2>/dev/null
tr -d '\r' <"$work/console.log" | grep -v '^\[ *[0-9.]*\] ' | tee "$build/vm-test.log"
echo "vm: $((SECONDS - start)) s from boot to power-off"
# What the cable puller had to say (slow or failed requests), and what failed
# once more, last: the whole log is long, and a failure is read from its end.
sed 's/^/vm: host: /' "$work/plug.log"
grep -q '^vm: [0-9]* passed, 0 failed$' "$build/vm-test.log" && exit 0
cat "$work/qemu.log"
echo "vm: what failed:"
awk '/^== vm: / && !/: exit [0-9]+ in / { n = 0 }
  { suite[n++] = $0 }
  /^== vm: .*: exit [1-9][0-9]* in / {
    for (i = 0; i < n; i++)
      if (suite[i] !~ /^(PASS|SKIP|figure|Totals)/) print suite[i]
  }' "$build/vm-test.log"
exit 1
