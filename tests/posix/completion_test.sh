#!/bin/bash
# Sources the bash completion of tesrak and asks it to complete partial words,
# as bash does when Tab is pressed at the end of a command line.
set -u
export LC_ALL=C
completion=$1
source /usr/share/bash-completion/bash_completion
source "$completion"
# Readline's options for the words offered only matter in a real completion.
compopt() { :; }
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
fixture=$(realpath -- "${BASH_SOURCE[0]%/*}/completion_fixture.sh")
cd "$folder" && source "$fixture"
failures=0
# The command line typed so far, then the completions expected, sorted.
check() {
    local line=$1 expected=$2
    COMP_LINE=$line
    COMP_POINT=${#line}
    # Readline's words: blanks separate, and "=" and ":" stand alone.
    read -r -a COMP_WORDS <<<"$(sed -e 's/\([=:]\)/ \1 /g' <<<"$line")"
    [[ $line == *' ' || $line == *[=:] ]] && COMP_WORDS+=("")
    [[ $line == *[=:] ]] && unset 'COMP_WORDS[-1]'
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _tesrak tesrak "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
    got=${got% }
    if [[ $got != "$expected" ]]; then
        echo "FAILED: [$line] completed to [$got], expected [$expected]"
        failures=$((failures + 1))
    fi
}
check 'tesrak -co' '-copy'
check 'tesrak -p' '-post -post_ext -pre -pre_ext'
check 'tesrak -un' '-unique='
check 'tesrak --h' '--help'
check 'tesrak -unique=' 'date datetime time'
check 'tesrak -unique=da' 'date datetime'
check 'tesrak -UNIQUE:t' 'time'
check 'tesrak -sep=' ', - . = _'
check 'tesrak -separator=_' '_'
check 'tesrak re' 'report.txt rest.log'
check 'tesrak -copy rep' 'report.txt'
check 'tesrak -- -n' '-notes.txt'
check 'tesrak --l' '--list'
check 'tesrak --k' '--keep-daily= --keep-hourly= --keep-monthly= --keep-weekly= --keep-within= --keep-yearly= --keep='
check 'tesrak --d' '--diff --distinct --dry-run'
check 'tesrak --s' '--size'
check 'tesrak --o' '--output='
check 'tesrak --t' '--to='
check 'tesrak --no-w' '--no-wait'
check 'tesrak --no-s' '--no-share'
check 'tesrak --keep-d' '--keep-daily='
check 'tesrak --restore --at=20261201 re' 'report.txt rest.log'
check 'tesrak --list --null rep' 'report.txt'
check 'tesrak --j' '--json'
check 'tesrak --q' '--quiet'
check 'tesrak --e' '--exclude='
check 'tesrak --exclude=' ''
check 'tesrak --v' '--verify --version'
check 'tesrak --verify=' ''
check 'tesrak --verify=1/4 --j' '--json'
# The files with backups in --restore, --diff and --verify runs, else any file.
check 'tesrak --restore ' '.bashrc conf/ d report.txt rest.log'
check 'tesrak --diff conf/' 'conf/app.yml'
check 'tesrak --verify ' '.bashrc conf/ d report.txt rest.log'
check 'tesrak --verify=2/3 conf/' 'conf/app.yml'
check 'tesrak --verify --json re' 'report.txt rest.log'
check 'tesrak --verify -- -n' '-notes.txt'
check 'tesrak --restore -- r' 'report.txt rest.log'
check 'tesrak --diff no' ''
check 'tesrak --restore -- -n' '-notes.txt'
check 'tesrak rep' 'report.txt'
# The stamps of the backups of the files named, or of all in backup/.
check 'tesrak --restore --at=' '2026120512000000 2026120601020304 2026120713052599 2026120910000000'
check 'tesrak --restore --at=202612071' '2026120713052599'
check 'tesrak --restore report.txt --at=' '2026120713052599'
check 'tesrak --diff conf/app.yml --at=' '2026120108000000'
check 'tesrak --diff d/ --at=2026' '2026120512000000'
check 'tesrak --verify --at=' '2026120512000000 2026120601020304 2026120713052599 2026120910000000'
check 'tesrak --verify report.txt --at=' '2026120713052599'
check 'tesrak --verify=1/2 rest.log --at=2026' '2026120910000000'
# The stamps after --to=, and files after --output=.
check 'tesrak --diff report.txt --at=20261201 --to=' '2026120713052599'
check 'tesrak --restore --output=re' 'report.txt rest.log'
[ "$failures" = 0 ] && echo "bash completion: ok"
exit "$failures"
