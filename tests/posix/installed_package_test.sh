#!/bin/sh
# Installs the build into a scratch folder, then uses what it installed from
# there: the program, the C header and library through find_package and
# pkg-config, and the library from Python.
set -eu
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name libtesrak.so.1.0.1)
libdir=$(dirname "$lib")
test -L "$libdir/libtesrak.so.1" && test -L "$libdir/libtesrak.so"
test -f "$prefix/include/tesrak.h"
test "$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')" = \
    "mivo_current_date@@TESRAK_1 mivo_format_systime_x16@@TESRAK_1 "
! ldd "$prefix/bin/tesrak" | grep -q libtesrak

cmake -S "$source/tests/posix/client" -B "$scratch/client" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/client" >/dev/null
LD_LIBRARY_PATH=$libdir "$scratch/client/client"

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
cc -o "$scratch/pc-client" "$source/tests/posix/client/client.c" $(pkg-config --cflags --libs tesrak)
LD_LIBRARY_PATH=$libdir "$scratch/pc-client"

python3 "$source/tests/posix/ctypes_client.py" "$libdir/libtesrak.so.1"

for completion in bash-completion/completions/tesrak zsh/vendor-completions/_tesrak \
    fish/vendor_completions.d/tesrak.fish; do
    test -f "$prefix/share/$completion" || { echo "not installed: share/$completion"; exit 1; }
done
# The systemd units under the prefix, naming the program installed there.
for dir in lib/systemd/system lib/systemd/user; do
    for unit in tesrak-snapshot@.service tesrak-snapshot@.timer tesrak-verify@.service tesrak-verify@.timer; do
        test -f "$prefix/$dir/$unit" || { echo "not installed: $dir/$unit"; exit 1; }
    done
    grep -qF "ExecStart=$prefix/bin/tesrak -copy " "$prefix/$dir/tesrak-snapshot@.service"
    grep -qF "exec $prefix/bin/tesrak --verify=" "$prefix/$dir/tesrak-verify@.service"
    if grep -q /usr/bin/tesrak "$prefix/$dir"/*; then
        echo "$dir: a unit still names /usr/bin/tesrak"
        exit 1
    fi
done

mkdir "$scratch/run" && cd "$scratch/run" && echo content > a.txt
"$prefix/bin/tesrak" a.txt -copy
test "$(cat backup/a.*.txt)" = content
echo "installed package: ok"
