#!/bin/sh
# Builds the three Debian packages and checks them with lintian; then, as
# root, installs them for real and uses them: the program from PATH, its
# manual page, C programs built against the library through pkg-config and
# find_package. Last it purges them and checks that none of their files is left.
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB -B "$scratch/out" --config "$build/CPackConfig.cmake" >/dev/null
cd "$scratch/out"
suffix=1.0.1.5_$(dpkg --print-architecture).deb
packages="tesrak_$suffix libtesrak1_$suffix libtesrak-dev_$suffix"
if ! report=$(lintian --fail-on error,warning -L '>=warning' $packages 2>&1); then
    echo "$report"
    exit 1
fi
dpkg-deb -f "tesrak_$suffix" Depends | grep -q '^libc6 (>= '
test "$(dpkg-deb -f "libtesrak-dev_$suffix" Depends)" = "libtesrak1 (= 1.0.1.5)"
# The completions, where bash, zsh and fish look for them on Debian.
contents=$(dpkg-deb -c "tesrak_$suffix")
for completion in bash-completion/completions/tesrak zsh/vendor-completions/_tesrak \
    fish/vendor_completions.d/tesrak.fish; do
    echo "$contents" | grep -q " \./usr/share/$completion\$" ||
        { echo "not in the package: /usr/share/$completion"; exit 1; }
done
# The systemd units, where the system and user managers look on Debian.
units="tesrak-snapshot@.service tesrak-snapshot@.timer tesrak-verify@.service tesrak-verify@.timer"
for unit in $units; do
    for dir in lib/systemd/system usr/lib/systemd/user; do
        echo "$contents" | grep -qF " ./$dir/$unit" || { echo "not in the package: /$dir/$unit"; exit 1; }
    done
done

if [ "$(id -u)" != 0 ]; then
    echo "installing the packages needs root: lintian passed, the install was skipped"
    exit 77
fi
trap 'dpkg --purge libtesrak-dev libtesrak1 tesrak >/dev/null 2>&1; rm -rf "$scratch"' EXIT
dpkg -i $packages >/dev/null
files=$(dpkg -L tesrak libtesrak1 libtesrak-dev | grep -vx "/." | sort -u)

mkdir "$scratch/run" && cd "$scratch/run" && echo content > a.txt
test "$(command -v tesrak)" = /usr/bin/tesrak
tesrak a.txt -copy
test "$(cat backup/a.*.txt)" = content
page=$(man -w tesrak)
test "$page" = /usr/share/man/man1/tesrak.1.gz
warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
test -z "$warnings" || { echo "$warnings"; exit 1; }
# The managers find the installed units by name, valid as they stand (the
# program and its manual page in place), and the install enabled none.
if command -v systemd-analyze >/dev/null; then
    instance=$(systemd-escape --path "$scratch/run")
    instances=
    for unit in $units; do
        instances="$instances ${unit%%@*}@$instance${unit#*@}"
    done
    mkdir -m 700 "$scratch/runtime"
    for flag in --system --user; do
        if ! report=$(XDG_RUNTIME_DIR=$scratch/runtime systemd-analyze $flag verify $instances 2>&1) ||
            [ -n "$report" ]; then
            echo "$report"
            exit 1
        fi
    done
fi
test -z "$(find /etc/systemd -name 'tesrak*' 2>/dev/null)"
cc -o pc-client "$source/tests/posix/client/client.c" $(pkg-config --cflags --libs tesrak)
./pc-client
cmake -S "$source/tests/posix/client" -B cmake-client >/dev/null
cmake --build cmake-client >/dev/null
./cmake-client/client
# The shells find the installed completions by themselves.
if command -v zsh >/dev/null; then
    test "$(zsh -fc 'autoload -Uz compinit && compinit -u -D && print -r -- $_comps[tesrak]')" = _tesrak
fi
if command -v fish >/dev/null; then
    test "$(XDG_CONFIG_HOME=$scratch XDG_DATA_HOME=$scratch fish -c 'complete -C "tesrak --dry"' | cut -f1)" = --dry-run
fi

dpkg --purge libtesrak-dev libtesrak1 tesrak >/dev/null
for file in $files; do
    [ -e "$file" ] || continue
    # A folder that other packages hold as well stays.
    [ -d "$file" ] && dpkg -S "$file" >/dev/null 2>&1 && continue
    echo "left after purging the packages: $file"
    exit 1
done
echo "Debian packages: ok"
