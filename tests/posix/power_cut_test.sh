#!/bin/bash
# Cuts the power the moment tesrak returns: the loop image under a freshly made
# file system is copied at once, and that copy is all the disk would hold after
# the cut. The copy is repaired as the next boot would repair it, then checked:
# every backup the run reported made is there whole, no partial file stands
# under a backup's name, a moved file is whole in its old place or its new
# one, and a folder's snapshot is whole with no temporary tree left. Runs on
# ext4 with and without a journal and on XFS, as root.
set -u
export LC_ALL=C
tesrak=$(realpath "$1")
skip() { echo "$1: the power-cut test did not run"; exit 77; }
[ "$(id -u)" = 0 ] || skip "not root"
losetup -f >/dev/null 2>&1 || skip "no loop device is free"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/power_cut.XXXXXX")
cleanup() {
    umount "$tmp/live" "$tmp/cut" 2>/dev/null
    for image in "$tmp"/*.img; do
        losetup -j "$image" -n -O NAME | xargs -r losetup -d
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
mkdir "$tmp/live" "$tmp/cut"
shopt -s nullglob
mapfile -t names < <(seq -f 'f%02g.dat' 1 20)
filesystems=("ext4 with journal|mkfs.ext4 -q"
             "ext4 without journal|mkfs.ext4 -q -O ^has_journal"
             "XFS|mkfs.xfs -q")

# A new file system on a sparse image (XFS wants 300 MiB; at 512 MiB ext4 takes
# its usual 4 KiB blocks), mounted, with the twenty sources in data/: random
# content of 2.6 KiB up to 1 MiB, their checksums kept outside the image, and
# all of it on the image before the run.
fresh() {
    rm -f "$tmp/live.img"
    truncate -s 512M "$tmp/live.img" && $mkfs "$tmp/live.img" &&
        mount -o loop "$tmp/live.img" "$tmp/live" || return 1
    mkdir "$tmp/live/data"
    for i in $(seq 1 20); do
        head -c $((i * i * 2621)) /dev/urandom >"$tmp/live/data/${names[i - 1]}"
    done
    (cd "$tmp/live/data" && sha256sum "${names[@]}") >"$tmp/sums"
    # A tree for the snapshot: files in nested folders, a hard and a symbolic link.
    mkdir -p "$tmp/live/data/tree/a/b" "$tmp/live/data/tree/c"
    for i in $(seq 1 10); do
        for folder in tree tree/a/b tree/c; do
            head -c $((i * 9973)) /dev/urandom >"$tmp/live/data/$folder/t$i"
        done
    done
    ln "$tmp/live/data/tree/t1" "$tmp/live/data/tree/c/hard"
    ln -s ../t2 "$tmp/live/data/tree/a/soft"
    sync -f "$tmp/live/data"
}

# Brings the copied image back as a boot after a crash would: e2fsck replays
# ext4's journal and mends the rest (status 1 and 2 say it mended something,
# which a cut leaves to mend). xfs_repair refuses a dirty log; a mount replays
# it, and only a log that cannot be replayed is thrown away.
repair() {
    if [ "${mkfs%% *}" = mkfs.ext4 ]; then
        e2fsck -fy "$tmp/cut.img" >"$tmp/repair.log" 2>&1
        [ $? -lt 4 ] && return
    else
        xfs_repair -f "$tmp/cut.img" >"$tmp/repair.log" 2>&1 && return
        [ $? = 2 ] || { cat "$tmp/repair.log"; return 1; }
        if mount -o loop "$tmp/cut.img" "$tmp/cut" 2>>"$tmp/repair.log"; then
            umount "$tmp/cut"
        else
            xfs_repair -f -L "$tmp/cut.img" >>"$tmp/repair.log" 2>&1
        fi
        xfs_repair -f "$tmp/cut.img" >>"$tmp/repair.log" 2>&1 && return
    fi
    cat "$tmp/repair.log"
    return 1
}

# Runs tesrak in data/ and copies the image the instant it returns, with
# nothing in between: the copy holds what reached the loop device, that is what
# the run flushed and whatever the kernel's writeback had done by then. The
# live file system is dropped; the repaired copy is mounted for the checks.
power_cut() {
    output=$(cd "$tmp/live/data" && "$tesrak" "$@")
    status=$?
    cp --sparse=always "$tmp/live.img" "$tmp/cut.img"
    umount "$tmp/live" && rm "$tmp/live.img"
    repair && mount -o loop,ro "$tmp/cut.img" "$tmp/cut"
}

# Whether the one snapshot of tree/ is whole: the same names, kinds, bytes
# and link destinations, the hard link still one file, no temporary tree, and
# its record there, telling those bytes to sha256sum.
snapshot_whole() {
    local snapshots=("$tmp/cut/data/backup/"tree.*) leftovers=("$tmp/cut/data/backup/".tesrak-*)
    local whole=0
    : >"$tmp/diff.log"
    ((${#snapshots[@]} == 1 && ${#leftovers[@]} == 0)) &&
        diff -r --no-dereference "$tmp/cut/data/tree" "${snapshots[0]}" >"$tmp/diff.log" 2>&1 &&
        [ "$(stat -c %i "${snapshots[0]}/t1")" = "$(stat -c %i "${snapshots[0]}/c/hard")" ] &&
        (cd "$tmp/cut/data/backup" && sha256sum -c --strict --quiet .tesrak.sha256/*) >>"$tmp/diff.log" 2>&1 &&
        whole=1
    ((whole)) || { echo "in backup/: ${snapshots[*]##*/} ${leftovers[*]##*/}"; head -n 5 "$tmp/diff.log"; }
    umount "$tmp/cut"
    return $((!whole))
}

# Where each source is whole after the cut: under its backup name, in its old
# place, or both. Anything else under a backup's name is a partial file.
tally() {
    in_backup=0 in_place=0 partial=0 lost=0
    local name sum file backup place
    for name in "${names[@]}"; do
        sum=$(grep " $name\$" "$tmp/sums" | cut -c1-64)
        backup=0 place=0
        for file in "$tmp/cut/data/backup/${name%.dat}".*.dat; do
            if [ "$(sha256sum <"$file" 2>/dev/null | cut -c1-64)" = "$sum" ]; then
                backup=1
            else
                echo "$label, $run: partial file ${file#"$tmp"/cut/}"
                partial=$((partial + 1))
            fi
        done
        [ -f "$tmp/cut/data/$name" ] &&
            [ "$(sha256sum <"$tmp/cut/data/$name" | cut -c1-64)" = "$sum" ] && place=1
        in_backup=$((in_backup + backup)) in_place=$((in_place + place))
        [ $backup = 1 ] || [ $place = 1 ] || lost=$((lost + 1))
    done
    umount "$tmp/cut"
}

failures=0
fail() { echo "$label, $run: $1"; failures=$((failures + 1)); }
for entry in "${filesystems[@]}"; do
    label=${entry%%|*} mkfs=${entry#*|}
    if [ "${mkfs%% *}" = mkfs.xfs ] && ! command -v mkfs.xfs >/dev/null; then
        echo "$label: skipped, mkfs.xfs is missing"
        continue
    fi
    summary=
    for run in copy move snapshot; do
        if ! fresh >"$tmp/fresh.log" 2>&1; then
            cat "$tmp/fresh.log"
            [ "$label" = XFS ] || skip "$label cannot be made and mounted on a loop image"
            echo "$label: skipped, it cannot be made and mounted on a loop image"
            continue 2
        fi
        arguments=("${names[@]}")
        [ $run = copy ] && arguments+=(-copy)
        [ $run = snapshot ] && arguments=(tree -copy)
        if ! power_cut "${arguments[@]}"; then
            fail "the cut image could not be repaired and mounted"
            continue
        fi
        [ $status = 0 ] || fail "tesrak ended with status $status: $output"
        if [ $run = snapshot ]; then
            if snapshot_whole; then
                summary="$summary; snapshot whole"
            else
                fail "the snapshot reported made is not whole"
            fi
            continue
        fi
        tally
        ((partial == 0)) || fail "$partial partial files under backup names"
        if [ $run = copy ]; then
            ((status != 0 || in_backup == 20)) || fail "$((20 - in_backup)) copies reported made are lost"
            ((in_place == 20)) || fail "$((20 - in_place)) sources are damaged"
            summary="copy $in_backup/20 backups whole"
        else
            ((lost == 0)) || fail "$lost files are in neither place"
            ((status != 0 || in_backup == 20)) || fail "$((20 - in_backup)) moves reported made are undone"
            summary="$summary; move $in_backup/20 in backup/"
        fi
    done
    echo "$label: $summary"
done
exit $((failures > 0))
