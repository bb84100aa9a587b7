#!/usr/bin/env bash
# Sets everything up and runs every test: the host build under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit build that
# checks the wire formats at the target's pointer size, and the
# whole suite again under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
jobs=$(nproc)
# Test builds are unoptimised with light debug information: they compile
# in a fraction of the time, and the sanitizers still see everything.
quick="-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1"

run() {
  local name=$1 filter=$2
  shift 2
  local build="$top/build/$name"
  echo "== $name build"
  mkdir -p "$build"
  if ! { cmake -S "$top" -B "$build" "$@" && cmake --build "$build" -j"$jobs"; } >"$build/build.log" 2>&1; then
    cat "$build/build.log"
    echo "test: the $name build failed (log above)" >&2
    exit 1
  fi
  (cd "$build" && ctest --output-on-failure -j"$jobs" ${filter:+-R "$filter"})
}

run host "" -DTARN_SANITIZE=address $quick
run m32 "" -DTARN_M32=ON $quick
run tsan "" -DTARN_SANITIZE=thread -DTARN_BENCH=OFF $quick
echo "== all test builds passed"
