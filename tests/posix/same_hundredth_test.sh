#!/usr/bin/env bash
# Runs that follow each other within one hundredth of a second, a hundred
# times over: two copies of two versions keep both, and a quick rollback
# (a copy, an edit, a restore) puts the copy back.
set -euo pipefail
tesrak=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0

for i in $(seq 100); do
    rm -rf backup
    echo "original $i" > f
    "$tesrak" -copy f
    echo "modified $i" > f
    "$tesrak" -copy f
    versions=$(cat backup/* | sort | tr '\n' ';')
    if [ "$versions" != "modified $i;original $i;" ]; then
        echo "FAIL two versions, trial $i: backups hold: $versions"
        failures=$((failures + 1))
    fi
done

for i in $(seq 100); do
    rm -rf backup
    echo "good $i" > app.conf
    "$tesrak" -copy app.conf
    echo bad > app.conf
    if ! output=$("$tesrak" --restore app.conf 2>&1) || [ "$(cat app.conf)" != "good $i" ]; then
        echo "FAIL rollback, trial $i: $output; app.conf holds $(cat app.conf)"
        failures=$((failures + 1))
    fi
done

echo "$((200 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
