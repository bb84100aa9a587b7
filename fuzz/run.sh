#!/usr/bin/env bash
# Runs one fuzz target for SECONDS from the seed directories and prints
# its figures on one line: executions in total and per second, findings,
# and executions per second of the target's own processor time (the
# figure that does not depend on what else the machine runs).
#   run.sh TARGET WORK SECONDS [FLAG...] SEED...
# FLAGs are libFuzzer's (-max_len=N), passed on as given.
# WORK receives the corpus the run grows and any finding; the status is
# 0 only when there is none.
set -u
target=$1 work=$2 seconds=$3
shift 3
mkdir -p "$work/corpus" "$work/findings"
log="$work/log"
"$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/findings/" "$work/corpus" "$@" >"$log" 2>&1
status=$?
# The target is this shell's only child so far: its processor time
# (times runs in this shell, not a subshell, to see it).
times >"$work/times"
cpu=$(tail -1 "$work/times" | awk '{
  total = 0
  for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); total += t[1] * 60 + t[2] }
  print total }')
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
findings=$(find "$work/findings" -type f | wc -l)
cpurate=$(awk -v runs="${runs:-0}" -v cpu="$cpu" 'BEGIN { if (cpu > 0) printf "%d", runs / cpu; else print "?" }')
printf '%-16s %12s executions  %8s per second  %s findings  %8s per processor second\n' "$(basename "$target")" \
  "${runs:-?}" "${rate:-?}" "$findings" "$cpurate"
if [ "$status" != 0 ] || [ "$findings" != 0 ]; then
  tail -40 "$log"
  exit 1
fi
