#!/usr/bin/env bash
# Sets everything up, builds the scenario runner and runs a scenario: the
# built-in default when no arguments are given (see --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build="$top/build/release"
mkdir -p "$build"
echo "run: building dsmscenario in $build (the first build takes a few minutes; log in build.log)" >&2
if ! { cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARN_BENCH=OFF &&
       cmake --build "$build" --target dsmscenario -j"$(nproc)"; } >"$build/build.log" 2>&1; then
  cat "$build/build.log"
  echo "run: the build failed (log above)" >&2
  exit 2
fi
exec "$build/tools/dsmscenario" "$@"
