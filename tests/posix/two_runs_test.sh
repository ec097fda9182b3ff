#!/usr/bin/env bash
# Two runs on one backup folder at once. The first is held (stopped by
# strace) at its first hard link to the earlier snapshot; a second with
# --keep=1 must wait for it rather than remove the snapshot it shares from,
# and one with --no-wait must end at once with status 12.
set -euo pipefail
tesrak=$1
command -v strace >/dev/null || { echo "SKIP: strace is not installed (the test command installs it)"; exit 77; }
work=$(mktemp -d)
held=
trap '[ -n "$held" ] && kill -CONT "$held" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
# LeakSanitizer, where the program has it, cannot run under strace.
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

mkdir -p tree/d && echo one > tree/a && echo two > tree/d/b && echo three > tree/d/c
"$tesrak" -copy tree
# Where the file system clones, a snapshot shares by cloning the tree's own
# files and makes no links; the first run is then held just after it has
# taken the lock.
hold_at=linkat
if cp --reflink=always tree/a reflink.probe 2>/dev/null; then hold_at=flock; fi
rm -f reflink.probe
strace -f -qq -o trace.log -e trace=$hold_at -e inject=$hold_at:signal=SIGSTOP:when=1 \
    "$tesrak" -copy tree 2>first.err &
tracer=$!
# A traced run is briefly stopped at every system call; only strace's own
# line says it is held by the signal.
until grep -q 'stopped by SIGSTOP' trace.log 2>/dev/null; do
    kill -0 "$tracer" 2>/dev/null || { echo "FAIL the first run was never held at $hold_at"; exit 1; }
    sleep 0.01
done
held=$(grep -m1 -o '^[0-9]*' trace.log)

set +e
"$tesrak" --no-wait -copy tree 2>no_wait.err
status=$?
set -e
[ "$status" = 12 ] || fail "--no-wait ended with status $status"
[ "$(cat no_wait.err)" = $'Backup folder in use: backup\nErrorLevel: 12' ] || fail "--no-wait said: $(cat no_wait.err)"

"$tesrak" -copy --keep=1 tree 2>second.err &
second=$!
# The second run either ends or waits in flock.
flock_call=$(printf '#include <sys/syscall.h>\nSYS_flock\n' | cpp -P | tail -n 1)
while [ -e "/proc/$second" ] && [ "$(cut -d' ' -f1 "/proc/$second/syscall" 2>/dev/null)" != "$flock_call" ]; do
    sleep 0.01
done
kill -CONT "$held"
held=
wait "$tracer" || fail "the first run ended with status $?: $(cat first.err)"
wait "$second" || fail "the run with --keep ended with status $?: $(cat second.err)"
[ ! -s first.err ] && [ ! -s second.err ] || fail "messages: $(cat first.err second.err)"

snapshots=(backup/tree.*)
[ "${#snapshots[@]}" = 1 ] || fail "snapshots left: ${snapshots[*]}"
diff -r tree "${snapshots[-1]}" >/dev/null || fail "the snapshot left is not the tree"

echo "$failures failed"
[ "$failures" -eq 0 ]
