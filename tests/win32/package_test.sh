#!/bin/sh
# Builds the Windows zip and checks what it holds.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G ZIP -B "$scratch" --config "$build/CPackConfig.cmake" >/dev/null
python3 - "$scratch/Tesrak-1.0.1.5-win32.zip" <<'PY'
import sys, zipfile
names = sorted(zipfile.ZipFile(sys.argv[1]).namelist())
assert names == ["LICENSE", "README.md", "Tesrak.exe"], names
print("Windows zip: ok")
PY
