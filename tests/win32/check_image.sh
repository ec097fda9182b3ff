#!/bin/sh
# Reads Tesrak.exe's headers on the build machine: the preferred base and its
# relocations, the export table, and the system calls it imports.
set -eu
exe=$1
headers=$(i686-w64-mingw32-objdump -p "$exe")
sections=$(i686-w64-mingw32-objdump -h "$exe")
failures=0
expect() {
    if ! printf '%s\n' "$headers" | grep -Eq "$1"; then
        echo "missing in $exe: $2"
        failures=$((failures + 1))
    fi
}
refuse() {
    if printf '%s\n' "$headers" | grep -Eq "$1"; then
        echo "unexpected in $exe: $2"
        failures=$((failures + 1))
    fi
}

expect '^Magic[[:space:]]+010b' '32-bit (PE32) image'
expect '^Subsystem[[:space:]]+00000003' 'console subsystem'
expect '^ImageBase[[:space:]]+5a000000' 'preferred base 0x5A000000'
printf '%s\n' "$sections" | grep -q ' \.reloc ' || { echo "missing .reloc section"; failures=$((failures + 1)); }

expect '^Name[[:space:]]+[0-9a-f]+ Tesrak\.exe$' 'module name Tesrak.exe'
expect '^Ordinal Base[[:space:]]+1$' 'ordinal base 1'
expect '^[[:space:]]+\[Name Pointer/Ordinal\] Table[[:space:]]+00000002$' 'two exported names'
expect '^[[:space:]]+\[   0\] mivo_current_date$' 'first name mivo_current_date'
expect '^[[:space:]]+\[   1\] mivo_format_systime_x16$' 'second name mivo_format_systime_x16'
# Name index 0 maps to ordinal 1 and index 1 to ordinal 2.
ordinals=$(printf '%s\n' "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -c 'mivo_' || true)
[ "$ordinals" = 2 ] || { echo "ordinal table does not list both names"; failures=$((failures + 1)); }
refuse 'mivo_[a-z_0-9]+@' 'decorated export names'

for call in GetCommandLineA GetStdHandle WriteFile SetConsoleCtrlHandler SetErrorMode SetLastError \
            GetLastError ExitProcess CreateDirectoryA GetFileAttributesA CopyFileA MoveFileExA CreateFileA \
            FlushFileBuffers SetFileAttributesA DeleteFileA GetLocalTime \
            SysAllocStringByteLen SysFreeString; do
    expect "[[:space:]]$call\$" "import $call"
done
for call in CreateDirectoryW GetFileAttributesW CopyFileW MoveFileW MoveFileExW CreateFileW DeleteFileW \
            SetFileAttributesW GetCommandLineW; do
    refuse "[[:space:]]$call\$" "import $call"
done
printf '%s\n' "$headers" | grep 'DLL Name' | grep -qiv -E 'kernel32|msvcrt|oleaut32' &&
    { echo "imports a DLL other than kernel32, msvcrt and oleaut32"; failures=$((failures + 1)); }

[ "$failures" = 0 ] && echo "Tesrak.exe image: ok"
exit "$failures"
