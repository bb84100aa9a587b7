#!/usr/bin/env bash
# Interrupts a run once its clock runs and checks what is left:
#   interrupt.sh SIGNAL STATUS tgtd|simulated PROGRAM [ARGS...]
# The run must end with STATUS and say it was interrupted; against tgtd
# (where no other test runs beside it) it must leave no temporary folder,
# tgtd socket file or tgtd process behind.
set -u
signal=$1 expected=$2 storage=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
leftovers() {
  { ls -d /tmp/tarn-scenario-* /var/run/tgtd/socket.* 2>/dev/null; pgrep -x tgtd; } | sort
}
before=$(leftovers)
"$@" >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 1 600); do
  grep -q '\[6/7\]' "$work/err" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '\[6/7\]' "$work/err"; then
  echo "the run never reached its clock:"; cat "$work/err"; kill -KILL "$pid" 2>/dev/null; exit 1
fi
sleep 0.5
kill "-$signal" "$pid"
wait "$pid"
status=$?
if [ "$status" != "$expected" ]; then
  echo "exit status $status, expected $expected:"; cat "$work/err"; exit 1
fi
if ! grep -q "^dsmscenario: interrupted by SIG$signal" "$work/err"; then
  echo "no line says the run was interrupted:"; cat "$work/err"; exit 1
fi
after=$(leftovers)
if [ "$storage" = tgtd ] && [ "$after" != "$before" ]; then
  echo "left behind:"; comm -13 <(echo "$before") <(echo "$after"); exit 1
fi
