#!/usr/bin/env bash
# The edit-test loop: builds the unit test programs in the host build
# (AddressSanitizer and UndefinedBehaviorSanitizer, as tools/test.sh's
# first stage) and runs the tests labelled "unit": the kernel layer, the
# simulated array and the driver through the MPIO host, each test in a
# process of its own.  No end-to-end runs, no tgtd, no other builds;
# tools/test.sh runs everything.  Arguments go to ctest (e.g. -R Health).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/host"
jobs=$(nproc)
options=(-DTARN_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1)
if command -v ccache >/dev/null; then
  options+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  "$top/tools/setup.sh"
  cmake -S "$top" -B "$build" "${options[@]}" >/dev/null
fi
cmake --build "$build" -j"$jobs" --target platform_tests array_tests driver_tests
cd "$build" && ctest --output-on-failure -j"$jobs" -L unit "$@"
