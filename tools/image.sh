#!/usr/bin/env bash
# Builds the driver image for the real 32-bit kernel and checks it:
# build/image/image/tarndsm.sys and build/image/image/tarndsm.inf.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build="$top/build/image"
mkdir -p "$build"
# The host half (the message compiler, the check) is built as the tests
# build it; the image itself is always optimised.
if ! { cmake -S "$top" -B "$build" -DTARN_IMAGE=ON -DTARN_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
         -DCMAKE_CXX_FLAGS_DEBUG=-g1 && cmake --build "$build" -j"$(nproc)" --target tarn_imagecheck; } \
    >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "image: the build failed (log above)" >&2
  exit 1
fi
(cd "$build" && ctest --output-on-failure -L image)
echo "image: $build/image/tarndsm.sys"
echo "image: $build/image/tarndsm.inf"
