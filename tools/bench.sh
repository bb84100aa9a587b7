#!/usr/bin/env bash
# Builds the benchmarks optimised and runs them; they print their figures
# and the ratios their goals are stated in.  Arguments go to the benchmark
# program (e.g. --benchmark_filter=Request).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build="$top/build/release"
echo "== building the benchmarks (optimised)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BENCH=ON >"$build.log" 2>&1 &&
  cmake --build "$build" -j"$(nproc)" --target tarn_bench >>"$build.log" 2>&1 || {
  cat "$build.log"
  exit 1
}
exec "$build/bench/tarn_bench" "$@"
