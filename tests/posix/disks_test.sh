#!/bin/bash
# Backs up, moves, snapshots, restores and prunes on the disks people back up
# to, each mounted here for the run: exFAT and FAT through FUSE, NTFS through
# ntfs-3g, sshfs to a private sshd on this machine, and overlayfs. Their file
# systems lack what ext4 has (renames that never replace, hard links,
# owners, permission bits); a row checks that a backup is still made, never
# replaces, leaves nothing temporary, and never lets in a reader that the
# original kept out. Each row prints "ok" or "FAIL" and its name; rows in
# `pending` wait for work still to be done and do not fail the run. Runs as
# root; the mounts are made in the ordinary mount namespace (Wine's server
# lives there) and always undone.
set -u
export LC_ALL=C
tesrak=$(realpath "$1")
skip() { echo "$1: the disks test did not run"; exit 77; }
[ "$(id -u)" = 0 ] || skip "not root"
[ -c /dev/fuse ] || skip "/dev/fuse is missing"
losetup -f >/dev/null 2>&1 || skip "no loop device is free"

# Rows that wait for work still to be done.
pending=()

tmp=$(mktemp -d "${TMPDIR:-/tmp}/disks.XXXXXX")
sshd_pid=
made_run_sshd=0
cleanup() {
    local mount image child
    for mount in "$tmp"/mnt/*; do
        umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null
    done
    for image in "$tmp"/*.img; do
        [ -e "$image" ] && losetup -j "$image" -n -O NAME | xargs -r losetup -d
    done
    if [ -n "$sshd_pid" ]; then
        for child in $(pgrep -P "$sshd_pid"); do kill "$child" 2>/dev/null; done
        kill "$sshd_pid" 2>/dev/null
        wait "$sshd_pid" 2>/dev/null
    fi
    ((made_run_sshd)) && rmdir /run/sshd 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
shopt -s nullglob dotglob
mkdir "$tmp/mnt" "$tmp/local"

# A small tree to copy: a file, a folder and a file in it.
tree() { mkdir -p "$1/sub" && echo one >"$1/a" && echo two >"$1/sub/b"; }

# Each file system is mounted once, at $tmp/mnt/NAME; one that cannot be is
# noted in `unmounted` with the reason, and its rows are skipped.
declare -A unmounted
attach() { losetup --find --show "$tmp/$1.img"; }
mount_exfat() {
    truncate -s 64M "$tmp/exfat.img" && mkfs.exfat "$tmp/exfat.img" && mount.exfat-fuse "$(attach exfat)" "$1"
}
mount_fat() {
    truncate -s 64M "$tmp/fat.img" && mkfs.vfat "$tmp/fat.img" && fusefat -o rw+ "$(attach fat)" "$1"
}
mount_ntfs() {
    truncate -s 64M "$tmp/ntfs.img" && mkfs.ntfs -F -Q "$tmp/ntfs.img" && ntfs-3g "$(attach ntfs)" "$1"
}
# A private sshd on 127.0.0.1, on the first port it can listen on, with its
# own keys; sshfs mounts a folder of this machine through it as root.
mount_sshfs() {
    local ssh=$tmp/ssh port
    command -v sshd >/dev/null || { echo "sshd is missing"; return 1; }
    mkdir -p "$ssh/export" &&
        ssh-keygen -q -t ed25519 -N '' -f "$ssh/host" && ssh-keygen -q -t ed25519 -N '' -f "$ssh/client" || return 1
    [ -d /run/sshd ] || { mkdir /run/sshd && made_run_sshd=1; } || return 1
    for port in $(seq 42201 42240); do
        printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $ssh/host" \
            "AuthorizedKeysFile $ssh/client.pub" "StrictModes no" "UsePAM no" \
            "PermitRootLogin prohibit-password" "PasswordAuthentication no" "PidFile none" \
            "Subsystem sftp internal-sftp" >"$ssh/config"
        "$(command -v sshd)" -D -e -f "$ssh/config" 2>"$ssh/log" &
        sshd_pid=$!
        # Up within moments, or gone because the port is taken.
        for _ in $(seq 1 100); do
            grep -q 'Server listening' "$ssh/log" && break
            kill -0 "$sshd_pid" 2>/dev/null || break
            sleep 0.1
        done
        if grep -q 'Server listening' "$ssh/log"; then
            sshfs -p "$port" -F /dev/null -o "IdentityFile=$ssh/client,StrictHostKeyChecking=no" \
                -o UserKnownHostsFile=/dev/null,BatchMode=yes "root@127.0.0.1:$ssh/export" "$1"
            return
        fi
        kill "$sshd_pid" 2>/dev/null
        wait "$sshd_pid" 2>/dev/null
        sshd_pid=
    done
    cat "$ssh/log"
    return 1
}
# The lower layer holds a tree for each row that reads one.
mount_overlay() {
    local layers=$tmp/layers
    mkdir -p "$layers/upper" "$layers/work" && tree "$layers/lower/lower-1" && tree "$layers/lower/lower-2" &&
        mount -t overlay overlay -o "lowerdir=$layers/lower,upperdir=$layers/upper,workdir=$layers/work" "$1"
}
for fs in exfat fat ntfs sshfs overlay; do
    mkdir "$tmp/mnt/$fs"
    if ! "mount_$fs" "$tmp/mnt/$fs" >"$tmp/mount.log" 2>&1 || ! mountpoint -q "$tmp/mnt/$fs"; then
        unmounted[$fs]=$(grep -v '^ *$' "$tmp/mount.log" | tail -n 1)
        unmounted[$fs]=${unmounted[$fs]:-it could not be mounted}
    fi
done

# What a row checks. Each check prints what was wrong and fails; a row is
# a chain of checks, so the last line it prints says why it failed.
failed() { echo "$1"; return 1; }
# Runs tesrak; fails unless it ends with the status.
expect() {
    local want=$1
    shift
    out=$("$tesrak" "$@" 2>&1)
    status=$?
    local said
    said=$(printf '%s' "$out" | tr -s '\r\n' '  ')
    [ "$status" = "$want" ] || failed "tesrak $*: status $status, not $want: ${said% }"
}
# The one entry that a pattern matched, in `found`.
# The records kept beside backups are none of them.
only() {
    local names=()
    for name in "$@"; do [[ $name == */.tesrak.sha256 ]] || names+=("$name"); done
    found=${names[0]-}
    ((${#names[@]} == 1)) || failed "${#names[@]} entries where one was expected: ${names[*]##*/}"
}
# Fails unless the last run's output holds the text.
says() { [[ $out == *"$1"* ]] || failed "the output does not hold '$1': $out"; }
holds() { [ "$(cat "$1" 2>&1)" = "$2" ] || failed "$1 holds '$(cat "$1" 2>&1)', not '$2'"; }
mode_is() { [ "$(stat -c %a "$1")" = "$2" ] || failed "$1 has mode $(stat -c %a "$1"), not $2"; }
gone() { [ ! -e "$1" ] || failed "$1 is still there"; }
entries() { find "$1" -mindepth 1 -maxdepth 1 ! -name .tesrak.sha256 -printf '%f ' | sed 's/ $//'; }
empty() { [ -z "$(entries "$1")" ] || failed "$1 holds $(entries "$1")"; }
none_temporary() {
    local left
    left=$(find "$@" -name '.tesrak-*' 2>&1)
    [ -z "$left" ] || failed "left behind: $left"
}
same_tree() { diff -r "$1" "$2" >/dev/null 2>&1 || failed "$2 differs from $1"; }
# A backup the program made, renamed to an old stamp: a later run's stamp,
# whenever it comes, is then newer and never the same name.
made_long_ago() { only backup/"$1".* && mv "$found" "backup/$1.20000101.00000000"; }

# Each row runs in a new folder of its file system ($work); a row whose
# source is on the local disk runs in $local_dir, whose backup folder is a
# link to $work.
row_copy() {
    echo one >f && expect 0 f -copy && only backup/f.* && holds "$found" one && holds f one && none_temporary .
}
row_move() {
    echo one >f && expect 0 f && only backup/f.* && holds "$found" one && gone f && none_temporary .
}
# The target exists under today's and tomorrow's date, for a run at midnight.
row_move-never-replaces() {
    local today tomorrow
    today=$(date +%Y%m%d) tomorrow=$(date -d tomorrow +%Y%m%d)
    mkdir backup && echo earlier >"backup/f.$today" && echo earlier >"backup/f.$tomorrow" && echo one >f &&
        expect 3 f -unique=date && holds f one && holds "backup/f.$today" earlier && none_temporary .
}
row_move-from-local() {
    cd "$local_dir" && echo one >f && expect 0 f && only backup/f.* && holds "$found" one && gone f &&
        none_temporary "$work"
}
row_snapshot() {
    tree d && expect 0 -copy d && only backup/d.* && same_tree d "$found" && none_temporary .
}
row_restore-file() {
    echo one >f && expect 0 f -copy && made_long_ago f && echo two >f && expect 0 --restore f && holds f one &&
        none_temporary .
}
# An original on the local disk keeps its mode, whatever the backup shows.
row_restore-file-to-local() {
    cd "$local_dir" && echo one >f && chmod 644 f && expect 0 f -copy && made_long_ago f && echo two >f &&
        expect 0 --restore f && holds f one && mode_is f 644 && none_temporary "$work"
}
row_restore-folder() {
    tree d && expect 0 -copy d && made_long_ago d && echo changed >d/a && expect 0 --restore d && holds d/a one &&
        none_temporary .
}
# The run's own backup and the newest of the earlier ones stay.
row_keep() {
    mkdir backup && echo one >f && echo 1 >backup/f.20000101.00000000 && echo 2 >backup/f.20000102.00000000 &&
        echo 3 >backup/f.20000103.00000000 && expect 0 --keep=2 -copy f && only backup/f.2000* &&
        holds "$found" 3 && only backup/f.20[1-9]* && holds "$found" one
}
# An original on the local disk, unchanged since its backup.
row_if-changed() {
    cd "$local_dir" && echo one >f && expect 0 f -copy && made_long_ago f && expect 0 --if-changed -copy f &&
        only backup/f.*
}
# exFAT and NTFS without a permission mapping show every file as root's,
# mode 0777: a file that not everyone may read is not copied there, one that
# everyone may read is.
row_private-file-refused() {
    cd "$local_dir" && echo one >f && chmod 600 f && expect 3 f -copy && empty "$work"
}
row_public-file-made() {
    cd "$local_dir" && echo one >f && chmod 644 f && expect 0 f -copy && only backup/f.* && holds "$found" one
}
row_private-move-refused() {
    cd "$local_dir" && echo one >f && chmod 600 f && expect 3 f && holds f one && mode_is f 600 && empty "$work"
}
row_private-folder-refused() {
    cd "$local_dir" && tree d && chmod 700 d && expect 3 -copy d && empty "$work"
}
# A device that only its group may use would be open to all there.
row_private-device-refused() {
    cd "$local_dir" && tree d && mknod d/disk b 7 0 && chmod 660 d/disk && expect 3 -copy d && empty "$work"
}
# FAT through FUSE empties a folder that it renames: a folder is not moved.
row_move-folder-refused() {
    tree d && expect 3 d && holds d/a one && holds d/sub/b two && empty backup
}
# FAT shows every file as root's, mode 0700: as private as the original.
row_private-file-made() {
    cd "$local_dir" && echo one >f && chmod 600 f && expect 0 f -copy && only backup/f.* && holds "$found" one &&
        mode_is "$found" 700
}
# The file system makes no symbolic links: the snapshot fails as a whole,
# and says which entry it could not hold, and why.
row_snapshot-with-link-refused() {
    cd "$local_dir" && tree d && ln -s a d/link && expect 3 -copy d &&
        says ': link: Function not implemented' && empty "$work"
}
# The folder lets in no one but its owner, and the disk shows it as 0777:
# it is refused as soon as it is made, before the link it holds is reached.
row_private-folder-refused-first() {
    cd "$local_dir" && tree d && ln -s a d/link && chmod 700 d && expect 3 -copy d &&
        says 'Operation not permitted' && empty "$work"
}
# Twice on one date: the second snapshot replaces the first, which the disk
# cannot exchange with it. The first stands under today's and tomorrow's
# date, for a run at midnight.
row_snapshot-replaces() {
    local today tomorrow
    tree d && expect 0 -copy -unique=date d && only backup/d.* && today=$(date +%Y%m%d) &&
        tomorrow=$(date -d tomorrow +%Y%m%d) && { [ "$found" = "backup/d.$today" ] || mv "$found" "backup/d.$today"; } &&
        cp -r "backup/d.$today" "backup/d.$tomorrow" && echo changed >d/a && expect 0 -copy -unique=date d &&
        only $(grep -l changed backup/d.*/a) && same_tree d "${found%/a}" && only $(grep -l one backup/d.*/a) &&
        [ "$(entries backup | wc -w)" = 2 ] && none_temporary .
}
# FAT through FUSE empties a folder that it renames: a snapshot there fails
# rather than stand empty, and leaves nothing.
row_snapshot-refused() {
    tree d && expect 3 -copy d && says 'Input/output error' && empty backup && holds d/sub/b two
}
# Nor can a folder there be restored (here from a snapshot on the local
# disk): the restored tree, renamed on its own first, loses what it holds,
# and the restore fails before the folder is touched.
row_restore-folder-refused() {
    cd "$local_dir" && rm backup && ln -s "$work" disk && tree backup/disk/d.20000101.00000000 && tree disk/d &&
        echo changed >disk/d/a && expect 3 --restore disk/d && says 'Input/output error' &&
        holds disk/d/a changed && holds disk/d/sub/b two && only backup/disk/* && none_temporary "$work" backup
}
# Made while the file was readable by all, then narrowed: the restore of the
# same content leaves the file private.
row_restore-over-private() {
    cd "$local_dir" && echo one >f && chmod 644 f && expect 0 f -copy && made_long_ago f && chmod 600 f &&
        expect 0 --restore f && holds f one && mode_is f 600 && none_temporary "$work"
}
# A changed private file cannot be backed up there first: the restore fails
# before anything is changed.
row_restore-changed-private-refused() {
    cd "$local_dir" && echo one >f && chmod 644 f && expect 0 f -copy && made_long_ago f && echo two >f &&
        chmod 600 f && expect 3 --restore f && holds f two && mode_is f 600 && only "$work"/* &&
        none_temporary "$work"
}
# The source on the disk, its snapshots on the local one, where they can
# share files. The disk keeps whole seconds and no change time of its own
# (it shows the modification time): a file rewritten there at once with
# other bytes of its size, its time put back, looks unchanged since long
# before the first snapshot, and only its bytes tell. The unchanged file
# is shared.
row_same-size-rewrite() {
    cd "$local_dir" && rm backup && ln -s "$work" disk && tree disk/d && touch -d '1 hour ago' disk/d/a &&
        expect 0 -copy disk/d &&
        touch -r disk/d/a disk/time && echo ONE >disk/d/a && touch -r disk/time disk/d/a && expect 0 -copy disk/d &&
        only $(grep -lx ONE backup/disk/d.*/a) && same_tree disk/d "${found%/a}" &&
        only $(grep -lx one backup/disk/d.*/a) &&
        { [ "$(stat -c %i backup/disk/d.*/sub/b | sort -u | wc -l)" = 1 ] || failed "sub/b is not shared"; }
}
# Folders that only the lower layer holds, one for each row, at the top.
row_snapshot-lower-folder() {
    cd .. && expect 0 -copy lower-1 && only backup/lower-1.* && same_tree lower-1 "$found" && none_temporary .
}
# A folder of the lower layer cannot be renamed, so neither exchanged nor
# renamed aside: the restore fails and changes nothing.
row_restore-lower-folder-refused() {
    cd .. && expect 0 -copy lower-2 && made_long_ago lower-2 && echo changed >lower-2/a &&
        expect 3 --restore lower-2 && says 'Invalid cross-device link' && holds lower-2/a changed &&
        only backup/lower-2.* && none_temporary .
}

rows=(
    "exfat copy" "exfat move" "exfat move-never-replaces" "exfat move-from-local" "exfat snapshot"
    "exfat restore-file" "exfat restore-file-to-local" "exfat restore-folder" "exfat keep" "exfat if-changed"
    "exfat private-file-refused" "exfat public-file-made" "exfat private-move-refused"
    "exfat private-folder-refused" "exfat snapshot-with-link-refused" "exfat restore-over-private"
    "exfat restore-changed-private-refused" "exfat private-folder-refused-first" "exfat snapshot-replaces"
    "exfat same-size-rewrite"
    "fat copy" "fat move" "fat move-never-replaces" "fat move-from-local" "fat restore-file"
    "fat restore-file-to-local" "fat keep" "fat if-changed" "fat private-file-made" "fat move-folder-refused"
    "fat snapshot-with-link-refused"
    # Last on FAT: a folder renamed there loses what it holds.
    "fat snapshot-refused" "fat restore-folder-refused"
    "ntfs copy" "ntfs move" "ntfs move-never-replaces" "ntfs move-from-local" "ntfs snapshot"
    "ntfs restore-file" "ntfs restore-file-to-local" "ntfs restore-folder" "ntfs keep" "ntfs if-changed"
    "ntfs private-file-refused" "ntfs private-device-refused"
    "sshfs copy" "sshfs move" "sshfs move-never-replaces" "sshfs move-from-local" "sshfs snapshot"
    "sshfs restore-file" "sshfs restore-file-to-local" "sshfs restore-folder" "sshfs keep" "sshfs if-changed"
    "overlay copy" "overlay move" "overlay move-never-replaces" "overlay move-from-local" "overlay snapshot"
    "overlay restore-file" "overlay restore-file-to-local" "overlay restore-folder" "overlay keep"
    "overlay if-changed" "overlay snapshot-lower-folder" "overlay restore-lower-folder-refused"
)

failures=0 passed=0 waiting=0 skipped=0
for row in "${rows[@]}"; do
    fs=${row%% *} kind=${row#* }
    if [ -n "${unmounted[$fs]+set}" ]; then
        echo "skip $row: $fs cannot be mounted here (${unmounted[$fs]})"
        skipped=$((skipped + 1))
        continue
    fi
    work=$tmp/mnt/$fs/$kind
    local_dir=$tmp/local/$fs-$kind
    mkdir -p "$work" "$local_dir" && ln -s "$work" "$local_dir/backup"
    (cd "$work" && "row_$kind") >"$tmp/row.log" 2>&1 && result=ok || result=FAIL
    why=$(tail -n 1 "$tmp/row.log")
    is_pending=0
    for name in "${pending[@]}"; do [ "$name" = "$row" ] && is_pending=1; done
    if ((is_pending)); then
        [ "$result" = ok ] && why=
        echo "$result $row (pending)${why:+: $why}"
        waiting=$((waiting + 1))
    elif [ "$result" = ok ]; then
        echo "ok $row"
        passed=$((passed + 1))
    else
        echo "FAIL $row: $why"
        failures=$((failures + 1))
    fi
done
echo "$passed passed, $failures failed, $waiting pending, $skipped skipped"
((skipped < ${#rows[@]})) || skip "no file system could be mounted"
exit $((failures > 0))
