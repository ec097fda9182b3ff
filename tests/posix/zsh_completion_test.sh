#!/bin/sh
# Loads the zsh completion of tesrak into an interactive zsh on a pseudo
# terminal and presses Tab after partial command lines; a completion widget
# writes down the words that the completion functions offered.
if [ -z "${ZSH_VERSION-}" ]; then
    command -v zsh >/dev/null || { echo "zsh is not installed: its completion was not tested"; exit 77; }
    exec zsh -f "$0" "$@"
fi
# zsh from here on.
setopt err_exit no_unset
export LC_ALL=C
completion=$1
zmodload zsh/zpty zsh/zselect
scratch=$(mktemp -d)
trap 'zpty -d shell 2>/dev/null; rm -rf "$scratch"' EXIT
mkdir "$scratch/functions" "$scratch/work"
cp "$completion" "$scratch/functions/_tesrak"
fixture=${0:A:h}/completion_fixture.sh
cd "$scratch/work"
source "$fixture"

# Every compadd that adds matches also keeps the words it matched; Tab runs
# the completion system and writes them down, sorted, a line each.
zpty shell zsh -f -i
zpty -w shell "PS1= RPS1=; fpath=($scratch/functions \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w shell 'compadd() {
    local word
    for word; do
        [[ $word == (-|--) ]] && break
        [[ $word == -[[:alpha:]]#[OAD] ]] && { builtin compadd "$@"; return; }
    done
    local -a matched
    builtin compadd -O matched "$@"
    offered+=($matched)
    builtin compadd "$@"
}'
zpty -w shell "offer() { local -a offered; _main_complete; print -rl -- \${(ou)offered} >$scratch/offered; print tesrak-offered; }"
zpty -w shell 'zle -C offer complete-word offer; bindkey "^I" offer; print tesrak-${:-ready}'

# Reads the shell's output until it shows $1, for ten seconds at most.
await() {
    local output= chunk
    integer waited=0
    while [[ $output != *$1* ]]; do
        if zpty -rt shell chunk; then
            output+=$chunk
        elif (( ++waited > 1000 )); then
            echo "zsh did not answer; its last output: $output"
            exit 1
        else
            zselect -t 1 || :
        fi
    done
}
await tesrak-ready

failures=0
# The command line typed so far, then the words offered, sorted.
check() {
    local line=$1 expected=$2 got
    rm -f "$scratch/offered"
    zpty -w -n shell "$line"$'\t'
    await tesrak-offered
    zpty -w -n shell $'\C-u'
    got=${(j: :)${(f)"$(<$scratch/offered)"}}
    if [[ $got != "$expected" ]]; then
        echo "FAILED: [$line] completed to [$got], expected [$expected]"
        (( ++failures ))
    fi
    return 0
}
# Every switch the program takes, sorted.
check 'tesrak -' '-- --at= --diff --distinct --dry-run --exclude= --help --if-changed --json --keep-daily= --keep-hourly= --keep-monthly= --keep-weekly= --keep-within= --keep-yearly= --keep= --list --no-share --no-wait --null --output= --quiet --restore --size --to= --verify --version -copy -post -post_ext -pre -pre_ext -sep= -separator= -unique='
check 'tesrak -unique=' 'date datetime time'
check 'tesrak -unique=da' 'date datetime'
check 'tesrak -UNIQUE:t' 'time'
check 'tesrak -sep=' ', - . = _'
check 'tesrak -separator=_' '_'
check 'tesrak re' 'report.txt rest.log'
check 'tesrak -- -n' '-notes.txt'
check 'tesrak --exclude=' ''
check 'tesrak --v' '--verify --version'
check 'tesrak --verify=' ''
# The files with backups in --restore, --diff and --verify runs, else any file.
check 'tesrak --restore ' '.bashrc conf d report.txt rest.log'
check 'tesrak --diff conf/' 'app.yml'
check 'tesrak --verify ' '.bashrc conf d report.txt rest.log'
check 'tesrak --verify=2/3 conf/' 'app.yml'
check 'tesrak --verify --json re' 'report.txt rest.log'
check 'tesrak --verify -- -n' '-notes.txt'
check 'tesrak --restore -- r' 'report.txt rest.log'
check 'tesrak --diff no' ''
check 'tesrak --restore -- -n' '-notes.txt'
# The stamps of the backups of the files named, or of all in backup/.
check 'tesrak --restore --at=' '2026120512000000 2026120601020304 2026120713052599 2026120910000000'
check 'tesrak --restore report.txt --at=' '2026120713052599'
check 'tesrak --diff conf/app.yml --at=' '2026120108000000'
check 'tesrak --diff d/ --at=2026' '2026120512000000'
check 'tesrak --verify --at=' '2026120512000000 2026120601020304 2026120713052599 2026120910000000'
check 'tesrak --verify report.txt --at=' '2026120713052599'
check 'tesrak --verify=1/2 rest.log --at=2026' '2026120910000000'
# The stamps after --to=, and files after --output=.
check 'tesrak --diff report.txt --at=20261201 --to=' '2026120713052599'
check 'tesrak --restore --output=re' 'report.txt rest.log'
(( failures == 0 )) && echo "zsh completion: ok"
exit $failures
