#!/usr/bin/env bash
# Prints the reliability figures: sites reached and failed per scenario of
# the low-resources sweep, executions in total and per second and findings
# per fuzz target, and the soaks' duration, races, deadlocks, longest lock
# hold and verify errors.  Exit status 0 only when every part passed.
#   tools/reliability.sh [--fuzz-seconds N] [--soak-seconds N] [--concurrency-seconds N]
# Defaults: fuzz 60 s per target, path-failure soak 600 s of the
# controllable clock, concurrency soak 60 s.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fuzz_seconds=60 soak_seconds=600 concurrency_seconds=60
while [ $# -gt 0 ]; do
  case "$1" in
    --fuzz-seconds) fuzz_seconds=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    --soak-seconds) soak_seconds=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    --concurrency-seconds) concurrency_seconds=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "reliability: unknown option $1" >&2; exit 2 ;;
  esac
done
for n in "$fuzz_seconds" "$soak_seconds" "$concurrency_seconds"; do
  case "$n" in ''|*[!0-9]*|0) echo "reliability: durations are whole seconds above 0, not '$n'" >&2; exit 2 ;; esac
done
export CCACHE_BASEDIR="$top"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
failed=0

# The host build under AddressSanitizer and UndefinedBehaviorSanitizer.
host="$top/build/host"
echo "== building (host, AddressSanitizer)"
if ! { cmake -S "$top" -B "$host" -DTARN_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
         "${launcher[@]}" && cmake --build "$host" -j"$(nproc)" --target reliability_tests; } \
       >"$top/build/reliability.log" 2>&1; then
  cat "$top/build/reliability.log"
  exit 1
fi

echo "== low resources: every failable call of each scenario failed in turn"
log="$top/build/reliability-lowres.log"
"$host/tests/reliability_tests" --gtest_filter='LowResourcesTest.*' >"$log" 2>&1 || { failed=1; cat "$log"; }
grep '^low-resources ' "$log"

echo "== path-failure soak"
log="$top/build/reliability-soak.log"
TARN_SOAK_SECONDS="$soak_seconds" "$host/tests/reliability_tests" --gtest_filter='PathFailureSoak.*' >"$log" 2>&1 ||
  { failed=1; cat "$log"; }
grep '^path-failure soak: ' "$log"

echo "== concurrency soak (ThreadSanitizer)"
# tools/soak.sh builds dsmsoak in the ThreadSanitizer build and runs it;
# its first line says what ran, its last the figures.
log="$top/build/reliability-concurrency.log"
"$top/tools/soak.sh" "$concurrency_seconds" >"$log" 2>&1 || { failed=1; cat "$log"; }
grep '^soak: ' "$log"

echo "== fuzz targets, $fuzz_seconds s each"
"$top/tools/fuzz.sh" "$fuzz_seconds" || failed=1

if [ "$failed" = 0 ]; then
  echo "reliability: every part passed"
else
  echo "reliability: FAILED (logs under build/)"
fi
exit $failed
