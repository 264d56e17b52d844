#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/<name>_fuzz.cpp) with clang in build-fuzz and runs each for
# a short time from its committed seeds. Fails when a target does not build, crashes, leaks,
# trips a sanitizer or one of its own checks, or takes longer than 10 s on a single input.
#   scripts/fuzz-smoke.sh [SECONDS]     seconds per target, default 20 (ORLO_FUZZ_SECONDS too)
# Long runs of one target: fuzz/run.sh TARGET SECONDS.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${ORLO_FUZZ_SECONDS:-20}}
build=$here/build-fuzz

targets=()
for source in "$here"/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" _fuzz.cpp)
  targets+=("$name")
done

echo "== fuzz smoke: build ${targets[*]}"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORLO_BUILD_FUZZ=ON -DORLO_BUILD_TESTS=OFF -DORLO_BUILD_BENCH=OFF -DORLO_BUILD_GUI=OFF \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

failed=()
for name in "${targets[@]}"; do
  # A fresh scratch corpus each time, so a smoke run depends on the committed seeds only.
  corpus=$build/smoke-corpus/$name
  artifacts=$build/smoke-artifacts/$name
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "$here/fuzz/corpus/$name" ] && seeds=("$here/fuzz/corpus/$name")
  echo "== fuzz smoke: $name for $seconds s"
  log=$build/smoke-$name.log
  if "$build/bin/fuzz_$name" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^Done" "$log" || true
  else
    echo "!! fuzz_$name failed; the last lines of $log:"
    tail -n 40 "$log"
    ls "$artifacts"
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzz smoke FAILED: ${failed[*]} (inputs in $build/smoke-artifacts/)"
  exit 1
fi
echo "== fuzz smoke passed: ${targets[*]}"
