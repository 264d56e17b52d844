#!/usr/bin/env bash
# Runs the Windows build under Wine, on a virtual display (Xvfb):
#   1. every test program of the Windows build (ctest), the serial tests of tests/win32 against
#      orlo-devsim on a Wine COM port;
#   2. end to end: orlo.exe lists the COM ports Wine puts in the registry, programs a region into
#      the simulated device and reads it back, once through a port the registry lists and once
#      through a port that only Wine's dosdevices link names; a station finds the device on
#      COM3 in the polled port table and programs it once;
#   3. the start-up check of the native dialog: orlo-gui.exe --selftest.
# scripts/windows-test.sh [WINDIR] [LINUXDIR]   (build-win and build: the Windows build from
# scripts/windows-build.sh, and a Linux build whose orlo-devsim plays the device)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
win="$here/${1:-build-win}"
lin="$here/${2:-build}"

if [ -z "${DISPLAY:-}" ]; then
  # The dialogs need a display: run the whole script on a virtual one.
  exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi

export WINEPREFIX="$win/wineprefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or browser engine to install
work=$(mktemp -d)
devsim_pid=""
cleanup() {
  if [ -n "$devsim_pid" ]; then kill "$devsim_pid" 2>/dev/null || true; fi
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "== windows: $*"; }
fail() { echo "windows-test: FAILED: $*" >&2; exit 1; }

if [ ! -x "$lin/bin/orlo-devsim" ]; then
  step "building orlo-devsim in $lin"
  cmake -S "$here" -B "$lin" >/dev/null
  cmake --build "$lin" -j"$(nproc)" --target orlo-devsim >/dev/null
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "creating the Wine prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi

# The simulated device, on a pseudo-terminal that becomes two Wine COM ports: COM3, which Wine
# also lists in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (from its HKLM\Software\Wine\Ports
# key) and which is opened by its short name, and COM9, a bare dosdevices link that the
# registry does not list, opened as \\.\COM9.
"$lin/bin/orlo-devsim" --save-flash "$work/flash.bin" >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
for _ in $(seq 50); do [ -s "$work/devsim.out" ] && break; sleep 0.1; done
pty=$(head -n 1 "$work/devsim.out")
[ -c "$pty" ] || fail "orlo-devsim printed no pseudo-terminal"
wineserver -k 2>/dev/null || true
wineserver -w
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com3"
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com9"
wine reg delete 'HKLM\Software\Wine\Ports' /f >/dev/null 2>&1 || true  # an earlier run's
wine reg add 'HKLM\Software\Wine\Ports' /v COM3 /t REG_SZ /d "$pty" /f >/dev/null
# Wine reads its port key when it starts: start it again, and keep it running from here on.
wineserver -k 2>/dev/null || true
wineserver -w
wineserver -p >/dev/null 2>&1
step "COM3 and COM9 lead to the simulated device on $pty"

# Wine's own helper programs start now, with nothing of ours to hold on to.
wine "$win/bin/orlo.exe" --version >/dev/null

step "test programs (the serial tests of test_win32 on COM9)"
failed=()
for t in "$win"/bin/test_*.exe; do
  name=$(basename "$t" .exe)
  if ORLO_TEST_COM=COM9 timeout 300 wine "$t" >"$work/$name.log" 2>&1; then
    summary=$(tr -d '\r' <"$work/$name.log" | { grep -E '^\[  (PASSED|SKIPPED) +\] [0-9]' || true; } |
      tr -s ' ' | sed 's/, listed below://' | paste -sd ' ' -)
    echo "   $name: $summary"
  else
    tr -d '\r' <"$work/$name.log" | grep -vE '^\[ +(RUN|OK) +\]' | tail -n 60
    failed+=("$name")
  fi
done
((${#failed[@]} == 0)) || fail "test programs: ${failed[*]}"

# orlo.exe's lines end in CR LF, as on Windows.
orlo() { wine "$win/bin/orlo.exe" "$@" | tr -d '\r'; }
winpath() { echo "Z:${1//\//\\}"; }

step "orlo.exe ports"
orlo ports | tee "$work/ports.txt"
grep -qE '^COM3[[:space:]]+\\\\\.\\COM3' "$work/ports.txt" || fail "COM3 is not in the port list"
if grep -q '^COM9' "$work/ports.txt"; then fail "COM9 should not be in the registry's list"; fi

step "program and read back the map region through COM3 (listed in the registry)"
head -c 300000 /dev/urandom >"$work/image.map"
orlo --quiet program map "$(winpath "$work/image.map")" --port COM3 || fail "programming through COM3"
orlo --quiet read map "$(winpath "$work/back.map")" --port COM3 || fail "reading back through COM3"
cmp -n 300000 "$work/image.map" "$work/back.map" || fail "the map region read back differs"
[ "$(stat -c %s "$work/back.map")" = 1892352 ] || fail "the map read-back is not the whole region"
tail -c +300001 "$work/back.map" | tr -d '\377' | wc -c | grep -qx 0 ||
  fail "the map region past the image is not erased"

step "program and read back the application region through COM9 (dosdevices link only)"
head -c 100000 /dev/urandom >"$work/image.bin"
orlo --quiet program application "$(winpath "$work/image.bin")" --port COM9 ||
  fail "programming through COM9"
orlo --quiet read application "$(winpath "$work/back.bin")" --port COM9 ||
  fail "reading back through COM9"
cmp -n 100000 "$work/image.bin" "$work/back.bin" || fail "the application region read back differs"
orlo check --port COM9 | grep -qx '\(ff \)\{16\}' || fail "check block"

step "orlo.exe station: the device on COM3 is found in the port table and programmed once"
head -c 50000 /dev/urandom >"$work/image.adm"
orlo --json station voice "$(winpath "$work/image.adm")" --match COM3 --count 1 \
  --db "$(winpath "$work/station.db")" >"$work/station.json" || fail "the station on COM3"
grep '"event":"finished"' "$work/station.json" | grep -q '"outcome":"passed"' ||
  fail "the station's device did not pass: $(cat "$work/station.json")"
orlo history --db "$(winpath "$work/station.db")" | grep -q '^1 run in' ||
  fail "the station's run is not in its database"

step "the device's own flash holds every image"
kill -TERM "$devsim_pid"
wait "$devsim_pid" || true
devsim_pid=""
cmp -n 300000 "$work/image.map" <(tail -c +$((0x1F4000 + 1)) "$work/flash.bin") ||
  fail "the device's map region differs"
cmp -n 100000 "$work/image.bin" <(tail -c +$((0x3C3000 + 1)) "$work/flash.bin") ||
  fail "the device's application region differs"
cmp -n 50000 "$work/image.adm" "$work/flash.bin" || fail "the device's voice region differs"

step "orlo-gui.exe --selftest"
wine "$win/bin/orlo-gui.exe" --selftest | tee "$work/selftest.txt" || fail "the dialog's start-up check"
grep -q 'checks passed' "$work/selftest.txt" || fail "the dialog's start-up check printed no result"

echo "== windows: all Windows tests passed"
