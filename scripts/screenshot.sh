#!/usr/bin/env bash
# Takes the pictures of the desktop window for the documentation: starts orlo-gui on a virtual
# X display (Xvfb), once as it opens and once with the service controls shown, and saves what
# the window draws to docs/orlo-gui.png and docs/orlo-gui-service.png; then opens the About box
# with F1 and saves it to docs/orlo-gui-about.png (its Korean texts need a Hangul font such as
# fonts-nanum, which scripts/setup.sh installs).
#   scripts/screenshot.sh [BUILD_DIR]    (default: build; built first when orlo-gui is missing)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
bin="$here/$dir/bin/orlo-gui"
if [ ! -x "$bin" ]; then
  cmake -S "$here" -B "$here/$dir" >/dev/null
  cmake --build "$here/$dir" -j"$(nproc)" --target orlo-gui
fi
unset QT_QPA_PLATFORM  # the real X platform, on the virtual display
export QT_QPA_PLATFORM=xcb
shoot() {
  xvfb-run -a -s "-screen 0 1280x1024x24" "$bin" "$@"
}
shoot --screenshot "$here/docs/orlo-gui.png"
shoot --service --screenshot "$here/docs/orlo-gui-service.png"
shoot --screenshot-about "$here/docs/orlo-gui-about.png"
echo "saved docs/orlo-gui.png, docs/orlo-gui-service.png and docs/orlo-gui-about.png"
