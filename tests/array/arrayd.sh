#!/usr/bin/env bash
# arrayd without a socket path serves in a directory of its own:
#   arrayd.sh [EMULATOR] ARRAYD
# The directory is 0700 and the socket 0600 whatever the umask, and both
# are gone once SIGTERM stops it.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 000
TMPDIR=$work "$@" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 1 100); do
  grep -q "serving" "$work/out" && break
  sleep 0.1
done
socket=$(sed -n 's/^arrayd: serving .* on //p' "$work/out")
directory=$(dirname "$socket")
fail() { echo "$1"; cat "$work/out"; kill "$pid" 2>/dev/null; exit 1; }
[ -S "$socket" ] || fail "no socket: $socket"
[ "$(stat -c %a "$directory")" = 700 ] || fail "directory $directory is $(stat -c %a "$directory")"
[ "$(stat -c %a "$socket")" = 600 ] || fail "socket $socket is $(stat -c %a "$socket")"
kill -TERM "$pid"
wait "$pid" || fail "arrayd ended with status $?"
[ ! -e "$directory" ] || fail "$directory is left"
