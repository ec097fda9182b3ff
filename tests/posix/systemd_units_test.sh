#!/bin/sh
# The systemd units of packaging/systemd. systemd-analyze verifies each one,
# for the system manager and the user manager, instantiated for a folder whose
# path needs escaping. Then each service's command line, read from its unit
# file as the manager reads it (specifiers, Environment=, EnvironmentFile=,
# $NAME and $$), runs in a sandbox that stands for / and a home folder, with
# the built program in place of /usr/bin/tesrak.
# Usage: systemd_units_test.sh TESRAK SOURCE_DIR MANUAL_PAGE
set -eu
tesrak=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
units=$2/packaging/systemd
manual=$3
for tool in systemd-analyze systemd-escape faketime python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed (packages systemd, faketime, python3): the units were not checked"
        exit 77
    fi
done
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A dash and a blank: the instance holds \x2d and \x20, and %f must give the
# path back whole, as one word.
folder="$scratch/my-proj dir"
instance=$(systemd-escape --path "$folder")

# (a) systemd-analyze verify, which also checks that ExecStart's program is
# there and that Documentation= names a manual page man can find.
mkdir -p "$scratch/man/man1" "$scratch/home" "$scratch/runtime"
chmod 700 "$scratch/runtime"
cp "$manual" "$scratch/man/man1/tesrak.1"
man=--man=yes
command -v man >/dev/null || { echo "man is not installed: Documentation= not checked"; man=--man=no; }
for manager in system user; do
    dir=$scratch/units-$manager
    mkdir "$dir"
    for unit in "$units/$manager"/*.service "$units"/*.timer; do
        name=$(basename "$unit")
        sed "s|/usr/bin/tesrak|$tesrak|g" "$unit" >"$dir/${name%%@.*}@$instance.${name##*.}"
    done
    set -- "$dir"/*
    [ $# = 4 ] || fail "$manager: 4 units expected, found $#"
    flag=
    [ $manager = user ] && flag=--user
    if ! report=$(HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime MANPATH=$scratch/man \
                  systemd-analyze $flag $man verify "$@" 2>&1) || [ -n "$report" ]; then
        echo "$report"
        fail "systemd-analyze verify, $manager units"
    fi
done

# (b) The services run. run_unit.py MANAGER ROOT UNIT PROGRAM [WRAPPER...]
# emulates what the manager does for a oneshot service; any [Service] key it
# does not know ends it with status 99, so that a new key gets a look here.
cat >"$scratch/run_unit.py" <<'EOF'
import os, re, shlex, subprocess, sys

manager, root, unit, program = sys.argv[1:5]
wrapper = sys.argv[5:]
instance = re.fullmatch(r'[^@]+@(.*)\.service', os.path.basename(unit)).group(1)
home = '/home/tester'
config, state = ('/etc', '/var/lib') if manager == 'system' else (home + '/.config', home + '/.local/state')

def unescape(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == '-':
            out += b'/'
        elif text.startswith('\\x', i):
            out.append(int(text[i + 2:i + 4], 16))
            i += 3
        else:
            out += text[i].encode()
        i += 1
    return out.decode()

specifiers = {'%': '%', 'i': instance, 'I': unescape(instance), 'f': '/' + unescape(instance),
              'E': config, 'S': state}

def die(message):
    print('run_unit: ' + message, file=sys.stderr)
    sys.exit(99)

def specify(word):
    return re.sub(r'%(.)', lambda m: specifiers.get(m.group(1)) or die('specifier %' + m.group(1)), word)

# [Service] lines as (key, value), continuations joined, comments dropped.
lines, section, pending = [], None, ''
for raw in open(unit).read().splitlines():
    raw = pending + raw
    if raw.endswith('\\'):
        pending = raw[:-1] + ' '
        continue
    pending, line = '', raw.strip()
    if not line or line[0] in '#;':
        continue
    if line.startswith('['):
        section = line
    elif section == '[Service]':
        key, _, value = line.partition('=')
        lines.append((key.strip(), value.strip()))

sandbox_only = {'Nice', 'IOSchedulingClass', 'ProtectSystem', 'ReadWritePaths', 'CapabilityBoundingSet',
                'NoNewPrivileges', 'PrivateNetwork', 'RestrictAddressFamilies', 'ProtectKernelTunables',
                'ProtectKernelModules', 'ProtectKernelLogs', 'ProtectControlGroups', 'ProtectHostname',
                'RestrictNamespaces', 'RestrictRealtime', 'LockPersonality', 'MemoryDenyWriteExecute',
                'SystemCallArchitectures'}
path = '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin'
env = {'PATH': path} if manager == 'system' else {'PATH': path, 'HOME': root + home}
env_files, commands, workdir, state_dirs, state_mode = [], [], None, [], 0o755
for key, value in lines:
    if key == 'Type':
        value == 'oneshot' or die('Type=' + value)
    elif key == 'Environment':
        for assignment in shlex.split(specify(value)):
            name, _, text = assignment.partition('=')
            env[name] = text
    elif key == 'EnvironmentFile':
        env_files.append((value.startswith('-'), specify(value.lstrip('-'))))
    elif key == 'ExecStart':
        value[0] not in '-@:+!' or die('an ExecStart= prefix')
        commands.append([specify(word) for word in shlex.split(value)])
    elif key == 'WorkingDirectory':
        workdir = specify(value)
    elif key == 'StateDirectory':
        state_dirs += value.split()
    elif key == 'StateDirectoryMode':
        state_mode = int(value, 8)
    elif key not in sandbox_only:
        die('unknown key ' + key)
for name in state_dirs:
    os.makedirs(root + state + '/' + name, exist_ok=True)
    os.chmod(root + state + '/' + name, state_mode)
# Files after Environment=, each value as the manager reads it.
for optional, name in env_files:
    if not os.path.exists(root + name):
        optional or die('no ' + name)
        continue
    for line in open(root + name).read().splitlines():
        line = line.strip()
        if line and line[0] not in '#;':
            key, _, text = line.partition('=')
            env[key.strip()] = ' '.join(shlex.split(text))

def expand(word):
    whole = re.fullmatch(r'\$([A-Za-z_][A-Za-z0-9_]*)', word)
    if whole:
        return env.get(whole.group(1), '').split()
    def dollar(m):
        if m.group(0) == '$$':
            return '$'
        if m.group(1) is None:
            die('a $NAME inside a word: ' + word)
        return env.get(m.group(1), '')
    return [re.sub(r'\$\$|\$\{([A-Za-z_][A-Za-z0-9_]*)\}|\$(?=[A-Za-z_])', dollar, word)]

for command in commands:
    argv = [part for word in command for part in expand(word)]
    text = '\0'.join(argv)
    text.count('/usr/bin/tesrak') == 1 or die('tesrak is not named once: ' + repr(argv))
    argv = [program if word == '/usr/bin/tesrak' else word.replace('/usr/bin/tesrak', shlex.quote(program))
            for word in argv]
    status = subprocess.run(wrapper + argv, cwd=root + (workdir or '/'), env=env).returncode
    if status:
        sys.exit(status)
EOF
run() {
    python3 "$scratch/run_unit.py" "$@"
}
# Stands in for tesrak where the words it gets are the check.
printf '#!/bin/sh\nprintf "%%s\\n" "$@"\n' >"$scratch/words"
chmod +x "$scratch/words"
mkdir "$folder"
echo one >"$folder/a.txt"
echo scratch >"$folder/notes.tmp"
nl='
'
# expect LABEL WORD... compares what a run printed, one word a line.
expect() {
    label=$1
    shift
    want=$(printf '%s\n' "$@")
    [ "$got" = "$want" ] || fail "$label: got$nl$got${nl}instead of$nl$want"
}
snapshots() {
    set -- "$1$folder".*
    [ -e "$1" ] || set --
    count=$#
    newest=
    [ $# = 0 ] || eval "newest=\${$#}"
}

# place MANAGER: the sandbox of that manager, where its settings file and
# backups are, and its two services under the instance's name.
place() {
    root=$scratch/root-$1
    if [ "$1" = system ]; then
        settings=$root/etc/tesrak/$instance.conf
        backup=$root/var/lib/tesrak/backup
    else
        settings=$root/home/tester/.config/tesrak/$instance.conf
        backup=$root/home/tester/.local/state/tesrak/backup
    fi
    unit=$scratch/$1-tesrak-snapshot@$instance.service
    check=$scratch/$1-tesrak-verify@$instance.service
}

for manager in system user; do
    place $manager
    mkdir -p "$root/home/tester" "$(dirname "$settings")"
    cp "$units/$manager/tesrak-snapshot@.service" "$unit"
    cp "$units/$manager/tesrak-verify@.service" "$check"

    # No settings file: the default retention.
    got=$(run $manager "$root" "$unit" "$scratch/words")
    expect "$manager snapshot, defaults" -copy --keep-hourly=24 --keep-daily=7 --keep-weekly=4 \
        --keep-monthly=12 "$folder"
    run $manager "$root" "$unit" "$tesrak" || fail "$manager snapshot: status $?"
    snapshots "$backup"
    [ $count = 1 ] || fail "$manager snapshot: $count snapshots in $backup"
    [ -f "$newest/notes.tmp" ] || fail "$manager snapshot: no notes.tmp in $newest"
    [ $manager = user ] || [ "$(stat -c %a "$root/var/lib/tesrak")" = 700 ] ||
        fail "state folder mode $(stat -c %a "$root/var/lib/tesrak")"

    # The settings file: no retention and an exclude; two runs add two
    # snapshots, which the defaults would not keep within the hour.
    printf '# tesrak settings\nTESRAK_KEEP=\nTESRAK_OPTIONS="--exclude=*.tmp --if-changed"\n' >"$settings"
    got=$(run $manager "$root" "$unit" "$scratch/words")
    expect "$manager snapshot, settings" -copy --exclude=*.tmp --if-changed "$folder"
    echo two >"$folder/a.txt"
    run $manager "$root" "$unit" "$tesrak" || fail "$manager snapshot: status $?"
    echo three >"$folder/a.txt"
    run $manager "$root" "$unit" "$tesrak" || fail "$manager snapshot: status $?"
    snapshots "$backup"
    [ $count = 3 ] || fail "$manager snapshot with TESRAK_KEEP empty: $count snapshots"
    [ ! -e "$newest/notes.tmp" ] || fail "$manager snapshot: notes.tmp not excluded"

    # --keep=1 leaves the newest alone.
    echo TESRAK_KEEP=--keep=1 >"$settings"
    echo four >"$folder/a.txt"
    run $manager "$root" "$unit" "$tesrak" || fail "$manager snapshot: status $?"
    snapshots "$backup"
    [ $count = 1 ] || fail "$manager snapshot with --keep=1: $count snapshots"
    [ "$(cat "$newest/a.txt")" = four ] || fail "$manager snapshot: not the newest kept"

    # The check: on consecutive Mondays, when OnCalendar=weekly fires, the
    # group cycles through all of them, 4 by default, else the setting's.
    for groups in 4 3; do
        [ $groups = 4 ] || echo TESRAK_VERIFY_GROUPS=3 >"$settings"
        seen=
        day=5
        while [ $day -lt $((5 + 7 * groups)) ]; do
            got=$(run $manager "$root" "$check" "$scratch/words" faketime "2026-01-$(printf %02d $day) 00:00:00")
            n=${got%%/*}
            n=${n#--verify=}
            expect "$manager verify, week of the 2026-01-$day" "--verify=$n/$groups" "$folder"
            seen="$seen$n "
            day=$((day + 7))
        done
        [ "$(printf '%s\n' $seen | sort -n | tr '\n' ' ')" = "$(seq -s ' ' $groups) " ] ||
            fail "$manager verify: groups $seen of $groups"
    done
    rm "$settings"
done

# The check run for real (needs tesrak --verify): intact snapshots pass and
# stay as they are, and with one group, which checks everything, a damaged
# file is found.
unchanged() {
    snapshots "$backup"
    [ $count = 1 ] && [ "$(cat "$folder/a.txt" "$newest/a.txt")" = "four${nl}four" ] ||
        fail "$manager verify changed the folder or its snapshots"
}
for manager in system user; do
    place $manager
    run $manager "$root" "$check" "$tesrak" || fail "$manager verify of intact snapshots: status $?"
    unchanged
    echo TESRAK_VERIFY_GROUPS=1 >"$settings"
    run $manager "$root" "$check" "$tesrak" || fail "$manager verify, one group: status $?"
    unchanged
    echo damaged >"$newest/a.txt"
    status=0
    run $manager "$root" "$check" "$tesrak" >/dev/null 2>&1 || status=$?
    [ $status = 1 ] || fail "$manager verify of a damaged snapshot: status $status, not 1"
done
echo "systemd units: ok"
