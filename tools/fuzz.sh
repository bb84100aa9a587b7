#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60) from
# its seeds, printing one line per target: executions in total and per
# second, and findings.  The status is 0 only when no target found any.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build/fuzz"
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DTARN_SANITIZE=address -DTARN_FUZZ=ON \
  -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1" >"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
# The build writes the list of targets with their seed directories.
targets=()
while read -r target _; do
  targets+=(--target "fuzz_$target")
done <"$build/fuzz/targets.txt"
cmake --build "$build" -j"$(nproc)" "${targets[@]}" >>"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
failed=0
while read -r target seeds; do
  # shellcheck disable=SC2086
  "$top/fuzz/run.sh" "$build/fuzz/fuzz_$target" "$build/fuzz/work/$target" "$seconds" $seeds </dev/null || failed=1
done <"$build/fuzz/targets.txt"
exit $failed
