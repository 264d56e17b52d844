#!/usr/bin/env bash
# orlo beside the plain pyserial client (bench/reference_client.py), in the same run, against
# orlo-devsim processes paced like 115200 baud 8N1 (--baud 115200) and unpaced. For each case
# it prints the measured time of each against the wire time, and the target.
#
# Wire time: every byte both ways at 10 bits a byte and 115200 baud, as the other benchmarks
# count it, including the two check exchanges a region's run now has (before its first frame
# and after its last reply: an 11-byte request and its 27-byte answer each, 76 bytes in all;
# a resend would add one more, none of these runs has a NAK). The reference client makes the
# same two exchanges, so both put the same bytes on the wire.
#
# Cases (targets in brackets):
#   one     a one-block user image, paced and unpaced   [paced: within 0.03 s of the wire time;
#           unpaced: under 0.03 s]; median of --runs (paced) and 3 x --runs (unpaced)
#   map     a 32 KiB map image, paced, program + verify [measured / wire within 1.005]
#   gang    N paced devices, a 16 KiB map image, one orlo command with N --port; the reference
#           is N client processes started together     [32: within 1.02 of one device's wire]
#   voice   the full voice region (2048000 bytes), unpaced, program + verify  [under 0.3 s]
#   read    the voice region read back, unpaced          [orlo within 2 x the client]
# Every run must exit 0; every device's flash (and every file read back) is compared with the
# image afterwards, and a mismatch is printed as FAILED (exit status 1).
#
# Times are wall clock from the start of the process to its exit (orlo's start-up included);
# the client's own figure from its port's open to its end is shown beside it ("from open").
# CPU is user + system seconds of the process (GNU time, 10 ms steps).
#
#   bench/run_vs_reference.sh [-b BUILD_DIR] [-c one,map,gang,voice,read] [-g 32,64,128] [-r RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=build cases=one,map,gang,voice,read gangs=32,64,128 runs=5
while getopts "b:c:g:r:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    c) cases=$OPTARG ;;
    g) gangs=$OPTARG ;;
    r) runs=$OPTARG ;;
    *) sed -n '/^#   bench/p' "$0"; exit 2 ;;
  esac
done
case $build in /*) bin=$build/bin ;; *) bin=$here/$build/bin ;; esac
for exe in orlo orlo-devsim; do
  [ -x "$bin/$exe" ] || { echo "run_vs_reference: no $bin/$exe (build it first)" >&2; exit 2; }
done
python=/usr/bin/python3
client=$here/bench/reference_client.py
"$python" -c 'import serial' 2>/dev/null ||
  { echo "run_vs_reference: pyserial is missing (scripts/setup.sh installs python3-serial)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orlo-vs-reference.XXXXXX")
pids=() ports=() flashes=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true  # 128 devices: a pseudo-terminal each
failed=0

# --- devices ---------------------------------------------------------------------------------
# start_devices N paced|unpaced [FLASH_IN]: fresh devices in pids/ports/flashes.
start_devices() {
  local n=$1 pace=() in=()
  [ "$2" = paced ] && pace=(--baud 115200)
  [ -n "${3:-}" ] && in=(--flash-in "$3")
  pids=() ports=() flashes=()
  rm -f "$work"/dev*.out  # a port line left from the devices before is not this device's
  local i
  for ((i = 0; i < n; ++i)); do
    flashes[i]=$work/flash$i.bin
    "$bin/orlo-devsim" "${pace[@]}" "${in[@]}" --save-flash "${flashes[i]}" \
      > "$work/dev$i.out" 2> /dev/null &
    pids[i]=$!
  done
  for ((i = 0; i < n; ++i)); do
    local tries=0
    until [ -s "$work/dev$i.out" ] && ports[i]=$(head -n 1 "$work/dev$i.out") && [ -n "${ports[i]}" ]; do
      ((++tries > 500)) && { echo "run_vs_reference: a device did not start" >&2; exit 1; }
      sleep 0.01
    done
  done
}

# stop_devices BASE IMAGE: stops them (each saves its flash) and counts the flashes that do
# not hold IMAGE at BASE into `wrong`.
stop_devices() {
  local base=$(($1)) image=$2 size i
  size=$(stat -c %s "$image")
  kill -TERM "${pids[@]}" 2>/dev/null || true
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  wrong=0
  for ((i = 0; i < ${#pids[@]}; ++i)); do
    cmp -s -n "$size" -i "$base:0" "${flashes[i]}" "$image" || ((++wrong))
    rm -f "${flashes[i]}"
  done
  pids=() ports=()
}

# --- timing ----------------------------------------------------------------------------------
# timed OUT CMD...: runs CMD with its output in OUT; sets wall (s), cpu (s) and rc.
timed() {
  local out=$1 t0 t1
  shift
  t0=$EPOCHREALTIME
  rc=0
  /usr/bin/time -f '%U %S' -o "$work/time" "$@" > "$out" 2>&1 || rc=$?
  t1=$EPOCHREALTIME
  wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
  cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/time" 2>/dev/null || echo "?")
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# The client's own seconds from open to end, from its output line.
from_open() { awk '/done in/ { print $(NF - 1) }' "$1"; }
wire_of_program() {  # seconds on the wire of one region run of BYTES: start, blocks, two checks
  awk -v b="$1" 'BEGIN { n = int((b + 4095) / 4096); printf "%.4f", (14 + 2 * n * 4114 + 76) * 10 / 115200 }'
}
load() { awk '{ printf "load %s %s %s", $1, $2, $3 }' /proc/loadavg; }
# What else was running: other compilers and test programs on the two cores.
others() {
  local cc tests
  cc=$(pgrep -c -x 'cc1plus|cc1|ld|collect2' 2>/dev/null || true)
  tests=$(pgrep -c -f '/build[^ ]*/(bin|tests)/' 2>/dev/null || true)
  echo "${cc:-0} compiler processes, ${tests:-0} programs of build dirs"
}
row() {  # CASE TOOL MEASURED WIRE DERIVED CPU NOTE
  printf '%-46s %-18s %9s %9s %14s %6s  %s\n' "$@"
}
verdict() {  # COND TEXT: "met"/"missed"
  if [ "$1" = 1 ]; then echo "$2: met"; else echo "$2: MISSED"; fi
}
check_ok() {  # WHAT: notes a failed run
  if [ "$rc" != 0 ]; then echo "FAILED: $1 exited $rc ($(tail -n 1 "$work/out" | cut -c1-120))"; failed=1; fi
}

pattern() {  # pattern FILE BYTES SEED
  "$python" -c 'import random, sys
r = random.Random(int(sys.argv[3]))
open(sys.argv[1], "wb").write(bytes(r.getrandbits(8) for _ in range(int(sys.argv[2]))))' "$@"
}

echo "orlo beside the pyserial client: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(load)"
echo "build: $bin ($(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo '?'))"
echo "also running at the start: $(others)"
row case tool measured wire derived CPU target
has() { [[ ",$cases," == *",$1,"* ]]; }

# --- one block -------------------------------------------------------------------------------
if has one; then
  pattern "$work/one.dat" 4096 11
  wire=$(wire_of_program 4096)
  for pace in paced unpaced; do
    n=$runs
    [ $pace = unpaced ] && n=$((3 * runs))
    start_devices 1 $pace
    o=() c=() co=() oc=() cc=()
    for ((i = 0; i < n; ++i)); do  # the two take turns, so a change of load falls on both
      timed "$work/out" "$bin/orlo" program user "$work/one.dat" -q --port "${ports[0]}"
      check_ok "orlo (one block, $pace)"; o+=("$wall"); oc+=("$cpu")
      timed "$work/out" "$python" "$client" program user "$work/one.dat" --port "${ports[0]}"
      check_ok "client (one block, $pace)"; c+=("$wall"); cc+=("$cpu"); co+=("$(from_open "$work/out")")
    done
    stop_devices 0x3C2000 "$work/one.dat"
    ((wrong)) && { echo "FAILED: flash wrong after the one-block runs ($pace)"; failed=1; }
    mo=$(printf '%s\n' "${o[@]}" | median) mc=$(printf '%s\n' "${c[@]}" | median)
    mco=$(printf '%s\n' "${co[@]}" | median)
    if [ $pace = paced ]; then
      w=$wire
      ok=$(awk -v m="$mo" -v w="$w" 'BEGIN { print (m - w <= 0.03) }')
      target=$(verdict "$ok" "orlo within +0.03 s")
      d() { awk -v m="$1" -v w="$w" 'BEGIN { printf "%+.4f s", m - w }'; }
    else
      w=0
      ok=$(awk -v m="$mo" 'BEGIN { print (m <= 0.03) }')
      target=$(verdict "$ok" "orlo under 0.03 s")
      d() { echo "-"; }
    fi
    label="one block, $pace, median of $n"
    row "$label" orlo "$mo s" "$w s" "$(d "$mo")" "$(printf '%s\n' "${oc[@]}" | median)" "$target"
    row "" client "$mc s" "" "$(d "$mc")" "$(printf '%s\n' "${cc[@]}" | median)" ""
    row "" "client, from open" "$mco s" "" "$(d "$mco")" "" "($(load))"
  done
fi

# --- 32 KiB map, paced -----------------------------------------------------------------------
if has map; then
  pattern "$work/32k.map" 32768 7
  wire=$(wire_of_program 32768)
  n=$(( runs < 3 ? runs : 3 ))
  o=() c=() co=()
  for ((i = 0; i < n; ++i)); do
    start_devices 2 paced
    timed "$work/out" "$bin/orlo" program map "$work/32k.map" -q --port "${ports[0]}"
    check_ok "orlo (32 KiB map)"; o+=("$wall"); ocpu=$cpu
    timed "$work/out" "$python" "$client" program map "$work/32k.map" --port "${ports[1]}"
    check_ok "client (32 KiB map)"; c+=("$wall"); co+=("$(from_open "$work/out")"); ccpu=$cpu
    stop_devices 0x1F4000 "$work/32k.map"
    ((wrong)) && { echo "FAILED: $wrong flash(es) wrong after the 32 KiB map"; failed=1; }
  done
  mo=$(printf '%s\n' "${o[@]}" | median) mc=$(printf '%s\n' "${c[@]}" | median)
  mco=$(printf '%s\n' "${co[@]}" | median)
  r() { awk -v m="$1" -v w="$wire" 'BEGIN { printf "ratio %.4f", m / w }'; }
  ok=$(awk -v m="$mo" -v w="$wire" 'BEGIN { print (m / w <= 1.005) }')
  row "32 KiB map, paced, median of $n" orlo "$mo s" "$wire s" "$(r "$mo")" "$ocpu" "$(verdict "$ok" "orlo within 1.005")"
  row "" client "$mc s" "" "$(r "$mc")" "$ccpu" ""
  row "" "client, from open" "$mco s" "" "$(r "$mco")" "" "($(load))"
fi

# --- gangs of paced devices ------------------------------------------------------------------
if has gang; then
  pattern "$work/16k.map" 16384 5
  wire=$(wire_of_program 16384)
  for n in ${gangs//,/ }; do
    echo "  gang of $n: $(others), $(load)"
    start_devices "$n" paced
    args=()
    for p in "${ports[@]}"; do args+=(--port "$p"); done
    timed "$work/out" "$bin/orlo" program map "$work/16k.map" -q "${args[@]}"
    check_ok "orlo (gang of $n)"; ow=$wall ocpu=$cpu
    stop_devices 0x1F4000 "$work/16k.map"
    ((wrong)) && { echo "FAILED: $wrong of $n flashes wrong after orlo's gang"; failed=1; }

    start_devices "$n" paced
    t0=$EPOCHREALTIME
    cpids=()
    for ((i = 0; i < n; ++i)); do
      "$python" "$client" program map "$work/16k.map" --port "${ports[i]}" > "$work/c$i.out" 2>&1 &
      cpids[i]=$!
    done
    bad=0
    for p in "${cpids[@]}"; do wait "$p" || ((++bad)); done
    t1=$EPOCHREALTIME
    cw=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
    worst=$(cat "$work"/c*.out | awk '/done in/ { t = $(NF - 1); if (t > w) w = t } END { printf "%.4f", w }')
    rm -f "$work"/c*.out
    stop_devices 0x1F4000 "$work/16k.map"
    ((bad)) && { echo "FAILED: $bad of $n client processes failed"; failed=1; }
    ((wrong)) && { echo "FAILED: $wrong of $n flashes wrong after the clients"; failed=1; }
    r() { awk -v m="$1" -v w="$wire" 'BEGIN { printf "ratio %.4f", m / w }'; }
    target=""
    [ "$n" -ge 32 ] && target=$(verdict "$(awk -v m="$ow" -v w="$wire" 'BEGIN { print (m / w <= 1.02) }')" "orlo within 1.02")
    row "gang of $n, 16 KiB map, paced" orlo "$ow s" "$wire s" "$(r "$ow")" "$ocpu" "$target"
    row "" "$n clients" "$cw s" "" "$(r "$cw")" "" ""
    row "" "slowest, from open" "$worst s" "" "$(r "$worst")" "" "($(load))"
  done
fi

# --- voice, unpaced --------------------------------------------------------------------------
if has voice || has read; then
  pattern "$work/voice.adm" 2048000 13
fi
if has voice; then
  start_devices 1 unpaced
  o=() c=() co=() oc=() cc=()
  for ((i = 0; i < runs; ++i)); do
    timed "$work/out" "$bin/orlo" program voice "$work/voice.adm" -q --port "${ports[0]}"
    check_ok "orlo (voice)"; o+=("$wall"); oc+=("$cpu")
    timed "$work/out" "$python" "$client" program voice "$work/voice.adm" --port "${ports[0]}"
    check_ok "client (voice)"; c+=("$wall"); cc+=("$cpu"); co+=("$(from_open "$work/out")")
  done
  stop_devices 0 "$work/voice.adm"
  ((wrong)) && { echo "FAILED: flash wrong after the voice runs"; failed=1; }
  mo=$(printf '%s\n' "${o[@]}" | median) mc=$(printf '%s\n' "${c[@]}" | median)
  mco=$(printf '%s\n' "${co[@]}" | median)
  ok=$(awk -v m="$mo" 'BEGIN { print (m < 0.3) }')
  mb() { awk -v m="$1" 'BEGIN { printf "%.1f MB/s", 2.048 / m }'; }
  row "voice program+verify, unpaced, median of $runs" orlo "$mo s" - "$(mb "$mo")" "$(printf '%s\n' "${oc[@]}" | median)" "$(verdict "$ok" "orlo under 0.3 s")"
  row "" client "$mc s" "" "$(mb "$mc")" "$(printf '%s\n' "${cc[@]}" | median)" ""
  row "" "client, from open" "$mco s" "" "$(mb "$mco")" "" "($(load))"
fi

# --- voice read-back, unpaced ----------------------------------------------------------------
if has read; then
  start_devices 1 unpaced "$work/voice.adm"
  o=() c=() co=() oc=() cc=()
  for ((i = 0; i < runs; ++i)); do
    rm -f "$work/back-o.adm" "$work/back-c.adm"
    timed "$work/out" "$bin/orlo" read voice "$work/back-o.adm" -q --port "${ports[0]}"
    check_ok "orlo (read-back)"; o+=("$wall"); oc+=("$cpu")
    cmp -s "$work/back-o.adm" "$work/voice.adm" || { echo "FAILED: orlo's read-back differs"; failed=1; }
    timed "$work/out" "$python" "$client" read voice "$work/back-c.adm" --port "${ports[0]}"
    check_ok "client (read-back)"; c+=("$wall"); cc+=("$cpu"); co+=("$(from_open "$work/out")")
    cmp -s "$work/back-c.adm" "$work/voice.adm" || { echo "FAILED: the client's read-back differs"; failed=1; }
  done
  stop_devices 0 "$work/voice.adm"
  mo=$(printf '%s\n' "${o[@]}" | median) mc=$(printf '%s\n' "${c[@]}" | median)
  mco=$(printf '%s\n' "${co[@]}" | median)
  ok=$(awk -v m="$mo" -v c="$mc" 'BEGIN { print (m <= 2 * c) }')
  x() { awk -v m="$1" -v c="$mc" 'BEGIN { printf "%.2f x client", m / c }'; }
  row "voice read-back, unpaced, median of $runs" orlo "$mo s" - "$(x "$mo")" "$(printf '%s\n' "${oc[@]}" | median)" "$(verdict "$ok" "orlo within 2 x the client")"
  row "" client "$mc s" "" "" "$(printf '%s\n' "${cc[@]}" | median)" ""
  row "" "client, from open" "$mco s" "" "$(x "$mco")" "" "($(load))"
fi

echo "also running at the end: $(others), $(load)"
exit $failed
