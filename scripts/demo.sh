#!/usr/bin/env bash
# The main job, start to end, with no hardware and no display: builds orlo and the simulated
# device, starts orlo-devsim on a pseudo-terminal, programs a generated application image with
# the progress line, reads the region back, compares, prints the result and stops the device.
# Exits non-zero on any failure.
#   ORLO_DEMO_BAUD=0 bash scripts/demo.sh    run as fast as the pseudo-terminal allows
#                                            (default: paced like the real 115200-baud line)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

baud=${ORLO_DEMO_BAUD:-115200}
image_size=100000      # bytes: not a whole number of 4096-byte blocks, so the padding shows
region_size=241664     # bytes of the application region, all of which a read-back returns

fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

echo "== setup"
bash scripts/setup.sh
echo "== build (orlo, orlo-devsim)"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(nproc)" --target orlo orlo-devsim >/dev/null
bin="$here/build/bin"

work=$(mktemp -d "${TMPDIR:-/tmp}/orlo-demo.XXXXXX")
devsim_pid=""
stop_devsim() {
  if [ -n "$devsim_pid" ] && kill -0 "$devsim_pid" 2>/dev/null; then
    kill -INT "$devsim_pid" 2>/dev/null || true
    wait "$devsim_pid" 2>/dev/null || true
  fi
  devsim_pid=""
}
trap 'stop_devsim; rm -rf "$work"' EXIT

echo "== start the simulated device"
"$bin/orlo-devsim" --baud "$baud" >"$work/devsim.out" 2>"$work/devsim.log" &
devsim_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(head -n 1 "$work/devsim.out" 2>/dev/null || true)
  [ -n "$port" ] && break
  kill -0 "$devsim_pid" 2>/dev/null || fail "orlo-devsim did not start: $(cat "$work/devsim.log")"
  sleep 0.1
done
[ -n "$port" ] || fail "orlo-devsim printed no port"
echo "orlo-devsim serves $port (paced at ${baud} baud; 0 = unpaced)"

echo "== generate a ${image_size}-byte sample application image"
image="$work/sample-application.bin"
perl -e 'print pack("C*", map { ($_ * 7 + ($_ >> 8) + ($_ >> 16)) & 0xFF } 0 .. $ARGV[0] - 1)' \
  "$image_size" >"$image"
[ "$(stat -c %s "$image")" -eq "$image_size" ] || fail "the sample image was not generated"

echo "== orlo program application $image --port $port"
"$bin/orlo" program application "$image" --port "$port" || fail "programming ended with status $?"

echo "== orlo read application $work/read-back.bin --port $port"
readback="$work/read-back.bin"
"$bin/orlo" read application "$readback" --port "$port" || fail "the read-back ended with status $?"

echo "== compare"
size=$(stat -c %s "$readback")
[ "$size" -eq "$region_size" ] || fail "the read-back holds $size bytes, not $region_size"
cmp -n "$image_size" "$image" "$readback" || fail "the first $image_size bytes differ"
rest=$(tail -c +"$((image_size + 1))" "$readback" | tr -d '\377' | wc -c)
[ "$rest" -eq 0 ] || fail "$rest bytes after the image are not 0xFF"
echo "demo: OK - the ${image_size}-byte image reads back identically, and the other" \
  "$((region_size - image_size)) bytes of the application region are 0xFF"

stop_devsim
echo "== the simulated device's summary"
cat "$work/devsim.log"
