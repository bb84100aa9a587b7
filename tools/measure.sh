#!/usr/bin/env bash
# The request path counted instead of timed: a fixed number of requests
# at 8, 64, 1,024 and 4,096 paths run under valgrind's cache simulation,
# collection limited to the calls a request makes (categorise, which gets
# the path; hook the completion; complete).  Prints per request the
# driver's own instructions (functions whose source is in dsm/), the
# instructions of the rest (the user-mode kernel standing in for the
# platform), and the driver's first-level and last-level data-cache
# misses, then the ratios the goals are stated in.  The caches are given
# explicitly and address randomisation is off, so the figures are the
# same on every run and every machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
build="$top/build/measure"
requests=8192
mkdir -p "$build"
echo "== building the request counter (optimised, with line information)"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DTARN_BENCH=ON >"$build.log" 2>&1 &&
  cmake --build "$build" -j"$(nproc)" --target tarn_request_measure >>"$build.log" 2>&1 || {
  cat "$build.log"
  exit 1
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Self cost per function, summed by whether the function's source file
# is the driver's: "driver_ir platform_ir driver_d1 driver_ll" in totals.
sum_costs() {
  awk '
    /^events:/ { for (i = 2; i <= NF; i++) column[$i] = i; next }
    /^fl=/ { driver = index($0, "/dsm/") > 0; next }
    /^calls=/ { skip = 1; next }
    /^[0-9]/ {
      if (skip) { skip = 0; next }
      ir = $(column["Ir"]); d1 = $(column["D1mr"]) + $(column["D1mw"]); ll = $(column["DLmr"]) + $(column["DLmw"])
      if (driver) { dir += ir; dd1 += d1; dll += ll } else { pir += ir }
    }
    END { printf "%d %d %d %d\n", dir, pir, dd1, dll }
  ' "$1"
}

echo "== $requests requests after a warm-up round, per request"
printf '%8s %14s %16s %18s %18s\n' paths "driver instr" "platform instr" "driver D1 misses" "driver LL misses"
declare -A figures
for paths in 8 64 1024 4096; do
  out="$work/callgrind.$paths"
  if ! setarch "$(uname -m)" -R valgrind --tool=callgrind --cache-sim=yes \
    --I1=32768,8,64 --D1=32768,8,64 --LL=8388608,16,64 \
    --toggle-collect='DsmCategorizeRequest*' --toggle-collect='DsmSetCompletion*' \
    --toggle-collect='RequestCompletion*' --compress-strings=no --compress-pos=no \
    --callgrind-out-file="$out" "$build/bench/tarn_request_measure" "$paths" "$requests" \
    >"$work/log.$paths" 2>&1; then
    cat "$work/log.$paths"
    exit 1
  fi
  read -r dir pir dd1 dll < <(sum_costs "$out")
  figures[$paths]="$dir $pir $dd1 $dll"
  awk -v p="$paths" -v n="$requests" -v a="$dir" -v b="$pir" -v c="$dd1" -v d="$dll" \
    'BEGIN { printf "%8d %14.1f %16.1f %18.2f %18.2f\n", p, a / n, b / n, c / n, d / n }'
done

read -r dir8 pir8 _ _ <<<"${figures[8]}"
read -r dir4k pir4k dd14k _ <<<"${figures[4096]}"
awk -v n="$requests" -v a8="$dir8" -v p8="$pir8" -v a="$dir4k" -v p="$pir4k" -v m="$dd14k" 'BEGIN {
  printf "\ndriver instructions per request at 4,096 paths: %.1f (goal at most 250)\n", a / n
  printf "driver D1 misses per request at 4,096 paths:    %.2f (goal at most 2)\n", m / n
  printf "4,096 paths / 8 paths, driver instructions:     %.3fx (goal at most 1.05x)\n", a / a8
  printf "4,096 paths / 8 paths, all instructions:        %.3fx\n", (a + p) / (a8 + p8)
}'
