#!/bin/bash
# Kills tesrak -copy of a folder of thousands of files at moments spread
# evenly over its run, many times over. After each kill every backup name
# under backup/ holds a whole snapshot, at most the one temporary tree of the
# killed run is left beside them, and the source is as it was. Every other
# round names its snapshot by the date alone, so that it replaces the one
# made before.
set -u
export LC_ALL=C
tesrak=$(realpath "$1")
rounds=${2:-30}
skip() { echo "$1: the snapshot-kill test did not run"; exit 77; }
tar --sort=name -cf /dev/null /dev/null 2>/dev/null || skip "GNU tar with --sort is missing"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/snapshot_kill.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM
cd "$tmp" || exit 1

# 3,000 small files in 40 folders, two levels deep, with hard links (one
# across folders), links and a FIFO.
for d in $(seq 1 20); do
    mkdir -p tree/d$d/e
    for f in $(seq 1 100); do echo "$d/$f" >tree/d$d/f$f; done
    for f in $(seq 1 50); do echo "$d/e/$f" >tree/d$d/e/g$f; done
    ln tree/d$d/f1 tree/d$d/e/hard && ln -s ../f2 tree/d$d/e/link
done
ln tree/d1/f3 tree/d2/e/across && ln -s /nowhere tree/dangling && mkfifo tree/fifo
touch -d 2020-01-01 tree/d*

# A folder as tar sees it: names, kinds, modes, owners, times, contents,
# link destinations and which names are hard links of one file.
manifest() { tar -C "$1" --sort=name --numeric-owner -cf - . | sha256sum; }
source=$(manifest tree)
switches=("-copy" "-copy -unique=date")

# The longer of two plain runs, one making the snapshot and one replacing it,
# sets the range in which the kills fall. Each run starts with nothing left
# to write but its own tree, which its flush of the file system then writes.
span=1
for run in new replacing; do
    sync -f .
    start=$(date +%s%N)
    "$tesrak" -copy -unique=date tree >/dev/null || { echo "the $run run failed"; exit 1; }
    span=$(((took = ($(date +%s%N) - start) / 1000000) > span ? took : span))
done

failures=0 killed=0 left=0
fail() { echo "round $round (${switches[round % 2]}, ${delay} ms): $1"; failures=$((failures + 1)); }
for round in $(seq 1 "$rounds"); do
    delay=$((round * span / rounds))
    sync -f .
    # shellcheck disable=SC2086
    "$tesrak" ${switches[round % 2]} tree >/dev/null &
    sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
    kill -KILL $! 2>/dev/null
    { wait $!; } 2>/dev/null
    status=$?
    [ $status = 137 ] && killed=$((killed + 1))
    [ $status = 137 ] || [ $status = 0 ] || fail "status $status"
    temporaries=0
    for entry in backup/.[!.]* backup/*; do
        [ -e "$entry" ] || continue
        case ${entry#backup/} in
        .tesrak-????????????) temporaries=$((temporaries + 1)); rm -rf "$entry" ;;
        # The digests of the snapshots, which go with the rest of the round.
        .tesrak.sha256) rm -rf "$entry" ;;
        tree.????????) [ "$(manifest "$entry")" = "$source" ] || fail "partial snapshot $entry" ;;
        tree.????????.????????)
            [ "$(manifest "$entry")" = "$source" ] || fail "partial snapshot $entry"
            rm -rf "$entry" ;;
        *) fail "unexpected $entry" ;;
        esac
    done
    left=$((left + temporaries))
    ((temporaries <= 1)) || fail "$temporaries temporary trees"
    [ "$(manifest tree)" = "$source" ] || fail "the source changed"
done
echo "$rounds rounds in a run of $span ms: $killed killed before they ended, $left left a temporary tree"
exit $((failures > 0))
