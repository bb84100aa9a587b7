#!/usr/bin/env bash
# Builds the concurrency soak under ThreadSanitizer (in build/tsan, the
# test command's build) and runs it for SECONDS (default 600), with any
# further options passed on (--drives N, --io-threads N, --explain).
# The last line is the figures: duration, requests, races, deadlocks,
# longest DsmLock hold, verify errors, errors while a path lived; the
# exit status is 0 only for a clean run.
#   tools/soak.sh [SECONDS] [OPTION...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-600}
shift || true
build="$top/build/tsan"
mkdir -p "$top/build"
export CCACHE_BASEDIR="$top"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$top" -B "$build" -DTARN_SANITIZE=thread -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 "${launcher[@]}" >"$build.soak.log" 2>&1 || { cat "$build.soak.log"; exit 1; }
cmake --build "$build" -j"$(nproc)" --target dsmsoak >>"$build.soak.log" 2>&1 ||
  { cat "$build.soak.log"; exit 1; }
exec "$build/tests/stress/dsmsoak" --seconds "$seconds" "$@"
