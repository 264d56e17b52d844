#!/usr/bin/env bash
# Installs what the build, the tests and the tools need on Debian 12 (run as root). Installs
# only what is missing, so a second run is quiet and quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config libudev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  libsqlite3-dev libgcrypt20-dev  # the run database; SHA-256
  python3-serial  # bench/reference_client.py, the plain client the benchmarks compare with
  tcl  # makes SQLite's one-file source for the Windows build (scripts/sqlite-source.sh)
  qt6-base-dev xvfb xauth
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64 wine wine64
  # packaging (scripts/package-check.sh): manual pages, the .deb and its checks
  help2man dpkg-dev lintian desktop-file-utils man-db
  fonts-nanum  # Hangul glyphs for the window's Korean texts (screenshots, the package's users)
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
