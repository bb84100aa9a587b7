#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60),
# printing executions in total and per second and findings per target.
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$top/build/fuzz"
cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DTARN_SANITIZE=address -DTARN_FUZZ=ON \
  -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1" >"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target fuzz_regtext fuzz_scenario fuzz_wmimethod >>"$build.log" 2>&1 ||
  { cat "$build.log"; exit 1; }
failed=0
seeds_regtext="$top/scenarios $top/fuzz/corpus/regtext"
seeds_scenario="$top/scenarios $top/tests/scenarios"
seeds_wmimethod="$top/fuzz/corpus/wmimethod"
for target in regtext scenario wmimethod; do
  seeds=seeds_$target
  # shellcheck disable=SC2086
  "$top/fuzz/run.sh" "$build/fuzz/fuzz_$target" "$build/fuzz/work/$target" "$seconds" ${!seeds} || failed=1
done
exit $failed
