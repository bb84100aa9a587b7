#!/usr/bin/env bash
# Sets everything up and runs every test: the host build under
# AddressSanitizer and UndefinedBehaviorSanitizer, the 32-bit build that
# checks the wire formats at the target's pointer size, the whole
# suite again under ThreadSanitizer, and the kernel layer and driver
# tests built with clang under its sanitizers, the driver image
# cross-built for the real 32-bit kernel and checked, and the fuzz targets.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/setup.sh"
jobs=$(nproc)
# Test builds are unoptimised with light debug information: they compile
# in a fraction of the time, and the sanitizers still see everything.
quick="-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1"

# run NAME LABEL [TARGET...] -- CMAKE_OPTION...: builds the targets (all
# when none are named) and runs the tests labelled LABEL (all when empty).
run() {
  local name=$1 label=$2
  shift 2
  local targets=()
  while [ "$1" != "--" ]; do
    targets+=(--target "$1")
    shift
  done
  shift
  local build="$top/build/$name"
  echo "== $name build"
  mkdir -p "$build"
  if ! { cmake -S "$top" -B "$build" "$@" && cmake --build "$build" -j"$jobs" "${targets[@]}"; } \
      >"$build/build.log" 2>&1; then
    cat "$build/build.log"
    echo "test: the $name build failed (log above)" >&2
    exit 1
  fi
  (cd "$build" && ctest --output-on-failure -j"$jobs" ${label:+-L "$label"})
}

run host "" -- -DTARN_SANITIZE=address $quick
# The 32-bit build checks the layouts and wire formats at the target's
# pointer size: every library is compiled (their static_asserts on the
# 32-bit layouts) and the unit tests run, the kernel layer's and the
# driver's through MPIO among them.  The programs run end to end
# (scenarios, console, cluster nodes) are the host stage's: nothing in
# them depends on the pointer size, and under qemu-i386 they are slow.
run m32 unit platform_tests driver_tests array_tests tools_tests -- -DTARN_M32=ON $quick
run tsan "" -- -DTARN_SANITIZE=thread -DTARN_BENCH=OFF $quick
# The driver image for the real 32-bit kernel, cross-built from the same
# sources, and its check.
run image image tarn_imagecheck -- -DTARN_IMAGE=ON -DTARN_BENCH=OFF $quick
# clang's UndefinedBehaviorSanitizer checks what GCC's does not (a member
# reached through a null pointer, among others): the kernel layer and the
# driver again under clang, every finding fatal.  The same build runs
# each fuzz target for a few seconds from its seeds (tools/fuzz.sh runs
# them longer and prints the figures): the libraries carry the fuzzer's
# coverage, which the tests do not mind, and are optimised a little, as
# fuzzing wants executions.
run clang "kernel|fuzz" platform_tests driver_tests fuzz_targets -- -DCMAKE_CXX_COMPILER=clang++-14 \
  -DTARN_SANITIZE=address -DTARN_FUZZ=ON -DTARN_BENCH=OFF -DCMAKE_CXX_FLAGS=-fno-sanitize-recover=all \
  -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1"
echo "== all test builds passed"
