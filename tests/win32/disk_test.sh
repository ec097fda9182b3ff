#!/bin/sh
# Tesrak.exe under Wine against what a real disk can do: fill up, hold a
# symbolic link under the backup's name, lose the program half-way through a
# copy. Arguments: Tesrak.exe, then the command that runs a Windows program.
# The small disk is mounted where the wineserver can see it, so this needs root.
set -u
exe=$1
shift
if [ "$(id -u)" != 0 ]; then
    echo "mounting a small disk needs root: skipped"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tesrak-disk.XXXXXX")
disk=$work/disk
mkdir "$disk"
if ! mount -t tmpfs -o size=2m tesrak-test "$disk"; then
    rm -rf "$work"
    echo "cannot mount a tmpfs here: skipped"
    exit 77
fi
trap 'umount "$disk"; rm -rf "$work"' EXIT
today=$(date +%Y%m%d)
failures=0
fail() {
    echo "FAILED: $1"
    failures=$((failures + 1))
}
runner="$*"
# Runs Tesrak.exe in a folder; its output goes to $work/output.
run() {  # folder, arguments
    folder=$1
    shift
    # shellcheck disable=SC2086
    (cd "$folder" && exec $runner "$exe" "$@" >"$work/output" 2>/dev/null) </dev/null
}
only_files() {  # folder, expected names
    folder=$1
    shift
    [ "$(cd "$folder" && ls -A | xargs)" = "$*" ]
}

# A replacing copy onto a full disk: status 3, the earlier backup unchanged.
head -c 600000 /dev/urandom >"$disk/big.bin"
cp "$disk/big.bin" "$work/earlier"
run "$disk" big.bin -copy -unique=date
[ $? = 0 ] || fail "the first copy onto the small disk"
head -c 1200000 /dev/urandom >"$disk/big.bin"
run "$disk" big.bin -copy -unique=date
[ $? = 3 ] || fail "a replacing copy onto a full disk does not end with status 3"
grep -q '^Backup failed: backup\\big\.' "$work/output" || fail "no message for the full disk"
cmp -s "$disk/backup/big.$today.bin" "$work/earlier" || fail "the earlier backup changed"
only_files "$disk/backup" "big.$today.bin" || fail "a replacing copy left: $(ls -A "$disk/backup")"

# A copy onto a full disk with no earlier backup leaves nothing.
rm "$disk/backup/big.$today.bin"
head -c 1000000 /dev/urandom >>"$disk/big.bin"
run "$disk" big.bin -copy
[ $? = 3 ] || fail "a copy onto a full disk does not end with status 3"
only_files "$disk/backup" || fail "a copy onto a full disk left: $(ls -A "$disk/backup")"

# A move to another volume: the source on the machine's disk, backup a link to
# a folder on the small disk. A writable source moves whole; a read-only one,
# which cannot be removed, stays and leaves no backup (on one volume a rename
# would have moved it, so status 3 also shows that Wine saw two devices).
rm "$disk/big.bin"
mkdir "$work/across" "$disk/across"
ln -s "$disk/across" "$work/across/backup"
[ "$(stat -c %d "$work/across")" != "$(stat -c %d "$disk/across")" ] || fail "the small disk is no other volume"
echo moved >"$work/across/moved.txt"
run "$work/across" moved.txt
[ $? = 0 ] || fail "a move to another volume"
[ ! -e "$work/across/moved.txt" ] || fail "the source moved to another volume is still there"
moved=$(ls -A "$disk/across")
case $moved in
"moved.$today."*.txt) [ "$(cat "$disk/across/$moved")" = moved ] || fail "the backup on the other volume" ;;
*) fail "a move to another volume left: $moved" ;;
esac
rm "$disk/across/$moved"
echo kept >"$work/across/kept.txt"
chmod a-w "$work/across/kept.txt"
run "$work/across" kept.txt
[ $? = 3 ] || fail "a read-only source moved to another volume does not end with status 3"
grep -q '^Backup failed: backup\\kept\.' "$work/output" || fail "no message for the read-only source"
[ "$(cat "$work/across/kept.txt")" = kept ] || fail "the read-only source is not where it was"
only_files "$disk/across" || fail "a failed move to another volume left: $(ls -A "$disk/across")"

# A symbolic link under the backup's name is replaced, not written through.
mkdir "$work/links" "$work/links/backup"
echo outside >"$work/links/outside.txt"
echo notes >"$work/links/notes.txt"
ln -s ../outside.txt "$work/links/backup/notes.$today.txt"
run "$work/links" notes.txt -copy -unique=date
[ $? = 0 ] || fail "a copy over a symbolic link"
[ "$(cat "$work/links/outside.txt")" = outside ] || fail "the file behind the link was overwritten"
[ ! -L "$work/links/backup/notes.$today.txt" ] || fail "the link is still there"
[ "$(cat "$work/links/backup/notes.$today.txt")" = notes ] || fail "the backup replacing the link"

# Killed half-way through a replacing copy: the earlier backup stays whole, and
# what is left has a temporary name that the next run does not take for a backup.
mkdir "$work/kill"
echo earlier >"$work/kill/large.bin"
run "$work/kill" large.bin -copy -unique=date
head -c 300000000 /dev/zero >"$work/kill/large.bin"
# shellcheck disable=SC2086
(cd "$work/kill" && exec $runner "$exe" large.bin -copy -unique=date >/dev/null 2>&1) </dev/null &
copying=$!
for _ in $(seq 1000); do
    ls -A "$work/kill/backup" | grep -q '^\.tesrak-' && break
    sleep 0.01
done
kill -9 "$copying"
wait "$copying"
backup=$work/kill/backup/large.$today.bin
[ "$(cat "$backup")" = earlier ] || cmp -s "$backup" "$work/kill/large.bin" || fail "the earlier backup was damaged"
left=$(ls -A "$work/kill/backup" | grep -v "^large\.$today\.bin\$")
case $left in
"" | .tesrak-????????) ;;
*) fail "a killed copy left: $left" ;;
esac
echo later >"$work/kill/large.bin"
run "$work/kill" large.bin -copy -unique=date
[ $? = 0 ] && [ "$(cat "$backup")" = later ] || fail "the next run after a killed copy"

[ "$failures" = 0 ] && echo "Tesrak.exe on a real disk: ok"
exit "$failures"
