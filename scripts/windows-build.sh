#!/usr/bin/env bash
# Cross-builds the Windows programs and their tests on this machine with MinGW-w64:
#   scripts/windows-build.sh [DIR] [extra cmake arguments...]      (DIR defaults to build-win)
# DIR/bin then holds orlo.exe, orlo-gui.exe and the test programs test_*.exe, each a
# self-contained 64-bit Windows executable; DIR/orlo-VERSION-win64.zip holds the programs
# (bin/orlo.exe, bin/orlo-gui.exe) and README.md. scripts/windows-test.sh runs them under Wine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-win}
shift || true
bash "$here/scripts/setup.sh"
# SQLite for the run database, compiled from Debian's source of it.
bash "$here/scripts/sqlite-source.sh" "$here/$dir/sqlite"
cmake -S "$here" -B "$here/$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DORLO_BUILD_BENCH=OFF -DORLO_SQLITE_SOURCE_DIR="$here/$dir/sqlite" \
  "$@" >/dev/null
cmake --build "$here/$dir" -j"$(nproc)"
rm -f "$here/$dir"/orlo-*-win64.zip
(cd "$here/$dir" && cpack -G ZIP >/dev/null)
ls "$here/$dir"/orlo-*-win64.zip
