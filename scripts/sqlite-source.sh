#!/usr/bin/env bash
# Makes SQLite's one-file source (sqlite3.c and sqlite3.h) for the Windows build from Debian's
# own source package of the SQLite this machine has, with Debian's patches applied: Debian has
# no MinGW build of SQLite, and the database must be the same SQLite on both systems.
#   scripts/sqlite-source.sh DIR      (writes DIR/sqlite3.c and DIR/sqlite3.h; nothing to do
#                                      when they are there)
# The package's sources are fetched through a private apt configuration made from this
# machine's own sources (their deb-src twins): the system's apt setup is not changed.
set -euo pipefail
dir=$1
if [ -s "$dir/sqlite3.c" ] && [ -s "$dir/sqlite3.h" ]; then exit 0; fi
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/apt/sources.list.d" "$work/apt/lists/partial" "$work/apt/cache/archives/partial"
: >"$work/apt/sources.list"
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/apt/sources.list"
fi
for f in /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/apt/sources.list.d/$(basename "$f")"
done
for f in /etc/apt/sources.list.d/*.list; do
  [ -e "$f" ] && sed -n 's/^deb /deb-src /p' "$f" >"$work/apt/sources.list.d/$(basename "$f")"
done
apt=(apt-get -qq -o "Dir::Etc::SourceList=$work/apt/sources.list"
     -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
     -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache")
version=$(dpkg-query -W -f='${source:Version}' libsqlite3-dev)
"${apt[@]}" update
(cd "$work" && "${apt[@]}" source --download-only "sqlite3=$version" 2>/dev/null)
(cd "$work" && dpkg-source -q -x sqlite3_*.dsc src >/dev/null 2>&1)

# The amalgamation is made by SQLite's own build (tclsh); nothing of it is installed.
mkdir "$work/build"
(cd "$work/build" && "$work/src/configure" --disable-tcl >/dev/null && make -s sqlite3.c >/dev/null)
cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$dir/"
echo "sqlite-source: SQLite $version in $dir"
