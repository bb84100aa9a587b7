#!/usr/bin/env bash
# Sets everything up and runs every test: the host build under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit build that
# checks the wire formats at the target's pointer size, and the
# whole suite again under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
jobs=$(nproc)

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

run host "" -DTARN_SANITIZE=address
run m32 "" -DTARN_M32=ON
run tsan "" -DTARN_SANITIZE=thread -DTARN_BENCH=OFF
echo "== all test builds passed"
