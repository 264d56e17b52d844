#!/usr/bin/env bash
# Memory and CPU of the station window with N slots against the simulated rig: orlo-devsim
# plays a line of N paced devices (115200 baud, some refusing a block, some pulled out), the
# window programs them for SECONDS on the offscreen platform, and /proc is read once a second.
# Prints the window's peak and last resident memory, its threads, and its CPU time as a share
# of one core. With "cli" as the fourth argument the same line is run by `orlo station`
# instead, for comparison.
#   bench/station_window.sh [BUILD_DIR] [SLOTS] [SECONDS] [gui|cli]  (defaults: build 32 60 gui)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
slots=${2:-32}
seconds=${3:-60}
front=${4:-gui}
bin="$here/$dir/bin"
work=$(mktemp -d)
trap 'kill $rig 2>/dev/null || true; [ -n "${KEEP:-}" ] && cp "$work"/station.db* "$(dirname "$KEEP")"; rm -rf "$work"' EXIT
head -c 60000 /dev/urandom > "$work/voice.adm"
"$bin/orlo-devsim" --rig "$work/slots" --slots "$slots" --baud 115200 --fail-rate 0.1 \
  --pull-rate 0.05 --linger 3 --seed 7 > "$work/rig.log" 2>&1 &
rig=$!
sleep 1
ticks=$(getconf CLK_TCK)
if [ "$front" = cli ]; then
  "$bin/orlo" station voice "$work/voice.adm" --slots-dir "$work/slots" --db "$work/station.db" \
    > "$work/gui.log" 2>&1 &
  what="orlo station"
else
  QT_QPA_PLATFORM=offscreen "$bin/orlo-gui" --station voice "$work/voice.adm" \
    --slots-dir "$work/slots" --db "$work/station.db" > "$work/gui.log" 2>&1 &
  what="station window"
fi
gui=$!
peak=0 rss=0 threads=0
for ((i = 0; i < seconds; ++i)); do
  sleep 1
  [ -r /proc/$gui/status ] || break
  rss=$(awk '/^VmRSS/ {print $2}' /proc/$gui/status)
  threads=$(awk '/^Threads/ {print $2}' /proc/$gui/status)
  [ "$rss" -gt "$peak" ] && peak=$rss
done
read -r -a stat < /proc/$gui/stat
cpu=$(( stat[13] + stat[14] ))
elapsed=$(awk -v start="${stat[21]}" -v hz="$ticks" '{print $1 - start / hz}' /proc/uptime)
kill -TERM $gui; wait $gui 2>/dev/null || true
rows=$(sqlite3 -readonly "$work/station.db" "select count(*), sum(outcome = 'passed') from runs" 2>&1 || true)
awk -v w="$what" -v s="$slots" -v p="$peak" -v r="$rss" -v t="$threads" -v c="$cpu" -v hz="$ticks" \
    -v e="$elapsed" -v rows="$rows" 'BEGIN {
  printf "%s, %d slots, %.0f s: peak RSS %.1f MiB, last %.1f MiB, %d threads, ", w, s, e, p / 1024, r / 1024, t
  printf "CPU %.1f s = %.1f %% of one core; database rows (runs|passed): %s\n", c / hz, 100 * c / hz / e, rows
}'
