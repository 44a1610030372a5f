#!/usr/bin/env bash
# The Windows build as a person meets it under Wine in Xvfb: the window laid
# out at 96, 144 and 192 DPI (a screenshot of each), and the installer
# installing, starting and uninstalling silently and leaving nothing.
# Usage: wine_test.sh <lichtsteuerung.exe> <build-windows folder>
set -uo pipefail
exe=$1
out=$(realpath "$2")
# shellcheck source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"
work=$(mktemp -d)
export WINEPREFIX=$work/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null; reap ${wm_pid:-} ${xvfb_pid:-}; rm -rf "$work"' EXIT
start_xvfb 1280x800x24 && start_window_manager || exit 1
wineboot -i >/dev/null 2>&1 || { echo "windows: Wine could not make its prefix"; exit 1; }
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The panel's window: the one named "window" of the program `pid`.
panel_window() { xdotool search --onlyvisible --pid "$1" --name '^window$' 2>/dev/null | head -n1 | grep .; }
client_size() { xwininfo -id "$1" | awk '/Width:/ {w = $2} /Height:/ {h = $2} END {print w "x" h}'; }

# The layout's client area is 378 x 249 at 96 DPI; at other DPI it scales,
# and every control with it (the screenshots show whether captions fit).
mkdir -p "$out/screens"
for dpi in 96 144 192; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  wineserver -k
  wineserver -w
  wine "$exe" 2>/dev/null &
  pid=$!
  if win=$(until_true 200 panel_window "$pid"); then
    expected="$(((378 * dpi + 48) / 96))x$(((249 * dpi + 48) / 96))"  # rounded, as Windows scales
    size=$(client_size "$win")
    echo "      ${dpi} dpi: client area $size"
    [ "$size" = "$expected" ] || fail "at $dpi dpi the client area is $size, not $expected"
    xdotool windowmove --sync "$win" 20 40
    sleep 0.5
    import -window root -crop "$((420 * dpi / 96))x$((340 * dpi / 96))+0+0" "$out/screens/panel-${dpi}dpi.png"
  else
    fail "no window at $dpi dpi"
  fi
  reap "$pid"
done

# Installed where Windows programs go, with a Start-menu entry; started
# from there; uninstalled without a trace.
setup=$(find "$out" -maxdepth 1 -name 'lichtsteuerung-*-setup.exe' | head -n1)
programs=$WINEPREFIX/drive_c/Program\ Files/Lichtsteuerung
menu=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Lichtsteuerung
wine "$setup" /S
wineserver -w
for file in lichtsteuerung.exe LICENSE.txt Uninstall.exe; do
  [ -f "$programs/$file" ] || fail "the installer did not install $file"
done
[ -f "$menu/Lichtsteuerung.lnk" ] || fail "the installer made no Start-menu entry"
wine "$programs/lichtsteuerung.exe" 2>/dev/null &
pid=$!
until_true 200 panel_window "$pid" >/dev/null || fail "the installed program showed no window"
reap "$pid"
wine "$programs/Uninstall.exe" /S
wineserver -w
until_true 100 not test -e "$programs" || fail "left behind: $(find "$programs" 2>/dev/null | tr '\n' ' ')"
[ ! -e "$menu" ] || fail "the Start-menu entry is left behind"
[ "$failed" = 0 ] && echo "      installer: installed, started and uninstalled silently, nothing left"
exit "$failed"
