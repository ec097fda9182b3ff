#!/bin/sh
# Builds the Debian package, unpacks it into a scratch root, checks that every
# file is in its place, and runs the program from there.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB -B "$scratch/out" --config "$build/CPackConfig.cmake" >/dev/null
deb=$scratch/out/tesrak_1.0.1.5_amd64.deb
test -f "$deb"
dpkg-deb -f "$deb" Package Version Depends Description | grep -q '^Depends: libc6'
test "$(dpkg-deb -f "$deb" Version)" = 1.0.1.5
dpkg -x "$deb" "$scratch/root"
for file in usr/bin/tesrak usr/lib/libtesrak.so.1.0.1 usr/include/tesrak.h \
            usr/lib/cmake/Tesrak/TesrakConfig.cmake usr/lib/pkgconfig/tesrak.pc \
            usr/share/man/man1/tesrak.1 usr/share/doc/tesrak/README.md usr/share/doc/tesrak/LICENSE; do
    test -f "$scratch/root/$file" || { echo "missing from the package: $file"; exit 1; }
done
test "$(readlink "$scratch/root/usr/lib/libtesrak.so.1")" = libtesrak.so.1.0.1

grep -q "^.TH TESRAK 1 .* \"Tesrak 1.0.1.5\"" "$scratch/root/usr/share/man/man1/tesrak.1"
warnings=$(groff -ww -z -man "$scratch/root/usr/share/man/man1/tesrak.1" 2>&1)
test -z "$warnings" || { echo "$warnings"; exit 1; }
MANWIDTH=80 man --warnings -l "$scratch/root/usr/share/man/man1/tesrak.1" 2>&1 >/dev/null | {
    ! grep .
}

mkdir "$scratch/run" && cd "$scratch/run" && echo content > a.txt
"$scratch/root/usr/bin/tesrak" a.txt -copy
test "$(cat backup/a.*.txt)" = content
"$scratch/root/usr/bin/tesrak" >/dev/null && exit 1
echo "Debian package: ok"
