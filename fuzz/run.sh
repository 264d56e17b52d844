#!/bin/sh
# Builds one libFuzzer target with clang in build-fuzz and runs it for a number of seconds.
# Usage: fuzz/run.sh TARGET SECONDS      e.g. fuzz/run.sh bitmap 600
# The committed seeds in fuzz/corpus/TARGET are read only; inputs the fuzzer finds go to
# build-fuzz/corpus/TARGET, crashes to build-fuzz/artifacts/TARGET/.
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 TARGET SECONDS" >&2
    exit 2
fi
target=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORLO_BUILD_FUZZ=ON -DORLO_BUILD_TESTS=OFF -DORLO_BUILD_BENCH=OFF -DORLO_BUILD_GUI=OFF \
    >/dev/null
cmake --build "$build" -j2 --target "fuzz_$target"

mkdir -p "$build/corpus/$target" "$build/artifacts/$target"
seeds=$root/fuzz/corpus/$target
[ -d "$seeds" ] || seeds=
exec "$build/bin/fuzz_$target" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target/" "$build/corpus/$target" $seeds
