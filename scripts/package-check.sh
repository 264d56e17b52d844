#!/usr/bin/env bash
# Builds the Debian package, checks it with lintian, installs it with apt, checks that the
# installed programs, manual pages, bash completion and desktop entry are where they belong,
# programs the simulated device with the installed programs, and removes the package again.
# Run as root (CI), on a machine where the package may be installed and removed.
#   scripts/package-check.sh [BUILD_DIR]      (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/${1:-build}"
cd "$here"

step() { echo "== package: $*"; }
fail() { echo "package-check: FAILED: $*" >&2; exit 1; }

bash scripts/setup.sh
step "build and cpack in $build"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/orlo_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(orlo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb="$build/orlo_${version}_amd64.deb"
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$build"/*.deb 2>/dev/null)"
dpkg-deb --field "$deb" Package Version Depends

step "lintian"
# Errors fail the check; the remaining warnings are printed (the reasons are in the notes).
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian reports errors"

work=$(mktemp -d)
devsim_pid=""
cleanup() {
  if [ -n "$devsim_pid" ]; then kill "$devsim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"                   # apt's download user reads the package from here
cp "$deb" "$work/"
deb="$work/$(basename "$deb")"

export DEBIAN_FRONTEND=noninteractive
if dpkg-query -W -f='${Status}' orlo 2>/dev/null | grep -q "install ok installed"; then
  step "orlo $(dpkg-query -W -f='${Version}' orlo) is installed already: it is replaced"
fi
step "apt-get install ./$(basename "$deb")"
# Container images often keep manual pages out (path-exclude in /etc/dpkg/dpkg.cfg.d); ours
# are let in, so that the check sees what a normal system gets. --reinstall and
# --allow-downgrades: the same or a newer version may be installed already.
apt_install=(apt-get install -y -qq --reinstall --allow-downgrades
  -o "DPkg::Options::=--path-include=/usr/share/man/man1/orlo*"
  -o "DPkg::Options::=--path-include=/usr/share/doc/orlo/*" "$deb")
if ! "${apt_install[@]}" >"$work/apt.log" 2>&1; then
  apt-get update -qq >/dev/null  # dependencies that are not in the local lists yet
  "${apt_install[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
fi

step "the installed files"
[ "$(command -v orlo)" = /usr/bin/orlo ] || fail "orlo is not /usr/bin/orlo: $(command -v orlo)"
# orlo names the commit it was built from after its version: "orlo 1.0.0 (commit ...)".
case "$(orlo --version)" in
  "orlo $version" | "orlo $version "*) ;;
  *) fail "orlo --version printed '$(orlo --version)'" ;;
esac
[ "$(orlo-devsim --version)" = "orlo-devsim $version" ] || fail "orlo-devsim --version"
# The window answers --version without a display.
[ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM orlo-gui --version)" = \
  "orlo-gui $version" ] || fail "orlo-gui --version without a display"
for program in orlo orlo-gui orlo-devsim; do
  page=$(man -w "$program") || fail "man -w $program"
  [ "$page" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program: $page"
  zcat "$page" | grep -q '^\.SH "*EXIT STATUS' || fail "$page has no EXIT STATUS section"
done
zcat /usr/share/man/man1/orlo.1.gz | grep -q '^\.SS "orlo program' || fail "orlo(1) lacks its commands"
echo "   man -w orlo: $(man -w orlo)"
completion=/usr/share/bash-completion/completions/orlo
[ -f "$completion" ] || fail "no $completion"
desktop=/usr/share/applications/orlo-gui.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate $desktop"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "no 48-pixel icon $icon"
[ -x "/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] || fail "Exec of $desktop"
dpkg-query -W -f='${Depends}\n' orlo | grep -q 'fonts-nanum' || fail "no font dependency"

step "the installed programs program the simulated device"
/usr/bin/orlo-devsim --save-flash "$work/flash.bin" >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!
for _ in $(seq 100); do [ -s "$work/devsim.out" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/devsim.out")
[ -c "$port" ] || fail "orlo-devsim printed no port: $(cat "$work/devsim.err")"
head -c 300000 /dev/urandom >"$work/image.adm"
orlo program voice "$work/image.adm" --port "$port" >"$work/program.out" ||
  fail "orlo program: $(tail -n 5 "$work/program.out")"
tail -n 1 "$work/program.out"
orlo --quiet read voice "$work/back.adm" --port "$port" || fail "orlo read"
cmp -n 300000 "$work/image.adm" "$work/back.adm" || fail "the voice region read back differs"

step "bash completion, with the device's port in the list"
# ORLO_EXTRA_PORTS puts the port in `orlo ports`, so --port completes to it.
complete_orlo() {
  ORLO_EXTRA_PORTS=$port bash -c 'source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _orlo; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" "$@"
}
bash -c "source $completion; complete -p orlo" | grep -qx 'complete -F _orlo orlo' ||
  fail "the completion does not register _orlo for orlo"
[ "$(complete_orlo orlo pro)" = program ] || fail "completion of 'orlo pro'"
complete_orlo orlo program '' | grep -qx voice || fail "completion of the regions"
complete_orlo orlo program voice x.adm '' | grep -qx user || fail "completion of the second REGION FILE pair"
complete_orlo orlo program voice x.adm --port '' | grep -qxF "$port" ||
  fail "completion of --port: $(complete_orlo orlo program voice x.adm --port '' | paste -sd ' ')"
complete_orlo orlo check - | grep -qx -- --timeout || fail "completion of check's options"

step "remove the package"
kill -TERM "$devsim_pid"
wait "$devsim_pid" || true
devsim_pid=""
apt-get remove -y -qq --purge orlo >/dev/null 2>&1 || fail "apt-get remove orlo"
for f in /usr/bin/orlo /usr/bin/orlo-gui /usr/bin/orlo-devsim "$completion" "$desktop"; do
  [ ! -e "$f" ] || fail "$f is still there after removing the package"
done
echo "== package: orlo_${version}_amd64.deb built, installed, checked and removed"
