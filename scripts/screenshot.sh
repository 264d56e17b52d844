#!/usr/bin/env bash
# Takes the pictures of the desktop window for the documentation: starts orlo-gui on a virtual
# X display (Xvfb), once as it opens and once with the service controls shown, and saves what
# the window draws to docs/orlo-gui.png and docs/orlo-gui-service.png; then opens the About box
# with F1 and saves it to docs/orlo-gui-about.png (its Korean texts need a Hangul font such as
# fonts-nanum, which scripts/setup.sh installs). Last, the station's board with 8 and with 32
# slots in the middle of a run against the simulated rig (orlo-devsim --rig: paced devices,
# some refusing a block, some pulled out and replaced): docs/orlo-gui-station-8.png and
# docs/orlo-gui-station-32.png.
#   scripts/screenshot.sh [BUILD_DIR]    (default: build; built first when orlo-gui is missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
bin="$here/$dir/bin/orlo-gui"
if [ ! -x "$bin" ]; then
  cmake -S "$here" -B "$here/$dir" >/dev/null
  cmake --build "$here/$dir" -j"$(nproc)" --target orlo-gui
fi
[ -x "$here/$dir/bin/orlo-devsim" ] || cmake --build "$here/$dir" -j"$(nproc)" --target orlo-devsim
unset QT_QPA_PLATFORM  # the real X platform, on the virtual display
export QT_QPA_PLATFORM=xcb
shoot() {
  xvfb-run -a -s "-screen 0 1280x1024x24" "$bin" "$@"
}
shoot --screenshot "$here/docs/orlo-gui.png"
shoot --service --screenshot "$here/docs/orlo-gui-service.png"
shoot --screenshot-about "$here/docs/orlo-gui-about.png"

# The station: a line of N devices at 115200 baud programmed with a 40 KB voice image (about
# 7 s each); a device that refuses a block fails at once and stays FAILED (40 s linger),
# a pulled one is replaced 3 s later and programs after the others. The window takes the picture
# when it first shows a PASSED, a FAILED and a programming tile together (at the latest after
# the delay).
station() {
  local slots=$1 seed=$2 delay=$3 work
  work=$(mktemp -d)
  head -c 40000 /dev/urandom > "$work/voice.adm"
  "$here/$dir/bin/orlo-devsim" --rig "$work/slots" --slots "$slots" --baud 115200 \
    --fail-rate 0.12 --pull-rate 0.15 --linger 40 --gap 3 --seed "$seed" > "$work/rig.log" 2>&1 &
  local rig=$!
  shoot --station voice "$work/voice.adm" --slots-dir "$work/slots" --db "$work/station.db" \
    --screenshot "$here/docs/orlo-gui-station-$slots.png" --screenshot-delay "$delay"
  kill "$rig"
  wait "$rig" 2>/dev/null || true
  rm -rf "$work"
}
station 8 3 40000
station 32 3 60000
echo "saved docs/orlo-gui.png, docs/orlo-gui-service.png, docs/orlo-gui-about.png," \
  "docs/orlo-gui-station-8.png and docs/orlo-gui-station-32.png"
