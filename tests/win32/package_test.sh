#!/bin/sh
# Builds the Windows zip and checks what it holds: a stripped Tesrak.exe whose
# headers, exports, imports and version resource survived the stripping.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G ZIP -B "$scratch" --config "$build/CPackConfig.cmake" >/dev/null
python3 - "$scratch/Tesrak-1.0.1.5-win32.zip" "$scratch/unpacked" <<'PY'
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = sorted(archive.namelist())
assert names == ["LICENSE", "README.md", "Tesrak.exe"], names
archive.extractall(sys.argv[2])
PY
exe=$scratch/unpacked/Tesrak.exe
i686-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols' || { echo "Tesrak.exe in the zip is not stripped"; exit 1; }
! i686-w64-mingw32-objdump -h "$exe" | grep -q '\.debug' || { echo "Tesrak.exe in the zip has debug sections"; exit 1; }
sh "$(dirname "$0")/check_image.sh" "$exe"
for text in FileDescription 'Utility to backup a file' Originalfilename 1.0.1.5; do
    strings -el "$exe" | grep -qxF "$text" || { echo "version resource lacks: $text"; exit 1; }
done
echo "Windows zip: ok"
