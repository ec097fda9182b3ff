#!/bin/bash
# Loads the fish completion of tesrak into fish and asks fish for what it
# offers after partial command lines, as it does when Tab is pressed.
set -u
export LC_ALL=C
command -v fish >/dev/null || { echo "fish is not installed: its completion was not tested"; exit 77; }
completion=$(realpath -- "$1")
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
fixture=$(realpath -- "${BASH_SOURCE[0]%/*}/completion_fixture.sh")
cd "$folder" && source "$fixture"
lines=() expected=()
# The command line typed so far, then the completions expected, sorted.
check() {
    lines+=("$1")
    expected+=("$2")
}
# Every switch the program takes, sorted.
check 'tesrak -' '-- --at= --diff --distinct --dry-run --exclude= --help --if-changed --json --keep-daily= --keep-hourly= --keep-monthly= --keep-weekly= --keep-within= --keep-yearly= --keep= --list --no-share --no-wait --null --output= --quiet --restore --size --to= --verify --version -copy -post -post_ext -pre -pre_ext -sep= -separator= -unique='
check 'tesrak -unique=' '-unique=date -unique=datetime -unique=time'
check 'tesrak -unique=da' '-unique=date -unique=datetime'
check 'tesrak -UNIQUE:t' '-UNIQUE:time'
check 'tesrak -sep=' '-sep=, -sep=- -sep=. -sep== -sep=_'
check 'tesrak -separator=_' '-separator=_'
check 'tesrak re' 'report.txt rest.log'
check 'tesrak -- -n' '-notes.txt'
check 'tesrak --exclude=' ''
check 'tesrak --v' '--verify --version'
check 'tesrak --verify=' ''
# The files with backups in --restore, --diff and --verify runs, else any file.
# fish offers names that begin with a dot only after a dot.
check 'tesrak --restore ' 'conf/ d report.txt rest.log'
check 'tesrak --restore .' '.bashrc'
check 'tesrak --diff conf/' 'conf/app.yml'
check 'tesrak --verify ' 'conf/ d report.txt rest.log'
check 'tesrak --verify .' '.bashrc'
check 'tesrak --verify=2/3 conf/' 'conf/app.yml'
check 'tesrak --verify --json re' 'report.txt rest.log'
check 'tesrak --verify -- -n' '-notes.txt'
check 'tesrak --restore -- r' 'report.txt rest.log'
check 'tesrak --diff no' ''
check 'tesrak --restore -- -n' '-notes.txt'
# The stamps of the backups of the files named, or of all in backup/.
check 'tesrak --restore --at=' '--at=2026120512000000 --at=2026120601020304 --at=2026120713052599 --at=2026120910000000'
check 'tesrak --restore report.txt --at=' '--at=2026120713052599'
check 'tesrak --diff conf/app.yml --at=' '--at=2026120108000000'
check 'tesrak --diff d/ --at=2026' '--at=2026120512000000'
check 'tesrak --verify --at=' '--at=2026120512000000 --at=2026120601020304 --at=2026120713052599 --at=2026120910000000'
check 'tesrak --verify report.txt --at=' '--at=2026120713052599'
check 'tesrak --verify=1/2 rest.log --at=2026' '--at=2026120910000000'

# The stamps after --to=, and files after --output=.
check 'tesrak --diff report.txt --at=20261201 --to=' '--to=2026120713052599'
check 'tesrak --restore --output=re' '--output=report.txt --output=rest.log'
# One fish answers every line: the completions without their descriptions,
# sorted, on one line.
mapfile -t got < <(printf '%s\n' "${lines[@]}" | fish --no-config -c '
    source $argv[1]
    while read -l line
        set -l offered (complete -C $line | string replace -r "\t.*" "" | sort)
        echo "$offered"
    end' "$completion")
failures=0
for i in "${!lines[@]}"; do
    if [[ ${got[i]-missing} != "${expected[i]}" ]]; then
        echo "FAILED: [${lines[i]}] completed to [${got[i]-}], expected [${expected[i]}]"
        failures=$((failures + 1))
    fi
done
[ "$failures" = 0 ] && echo "fish completion: ok"
exit "$failures"
