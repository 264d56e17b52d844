#!/usr/bin/env bash
# The main job: builds the tools and programs a sample image into the built-in simulated device.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
bash scripts/build.sh build
echo "(the end-to-end run arrives with the command-line front-end)"
