#!/usr/bin/env bash
# Checks the built Windows DLL: a PE image for the expected machine (PE32
# i386 or PE32+ x86-64), the exports undecorated, the version resource, and
# imports of Windows system DLLs only (the C++ runtime is linked in).
#   check_dll.sh OBJDUMP DLL EXPECTED_EXPORT_COUNT [MACHINE [VERSION]]
# MACHINE: i386 (the default) or x86-64. VERSION: a.b.c.d, e.g. 0.0.0.73.
set -euo pipefail
objdump=$1 dll=$2 expected=$3 machine=${4:-i386} version=${5:-}
dump=$("$objdump" -p "$dll")
fail() { echo "check_dll: $*" >&2; exit 1; }

case $machine in
i386) magic=010b kind=PE32 ;;
x86-64) magic=020b kind=PE32+ ;;
*) fail "unknown machine $machine" ;;
esac
grep -q "file format pei-$machine\$" <<<"$dump" || fail "not a $kind $machine image"
grep -qE "Magic[[:space:]]+$magic" <<<"$dump" || fail "not $kind (optional header magic)"

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' <<<"$dump")
count=$(grep -c . <<<"$exports" || true)
[ "$count" -eq "$expected" ] || fail "expected $expected exports, found $count"
if grep -vE '^Ostrel_[A-Za-z0-9_]+$' <<<"$exports"; then fail "decorated or foreign export names above"; fi

imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$dump" | sort -u)
allowed='^(kernel32|msvcrt|ws2_32|user32|advapi32|ntdll)\.dll$'
if grep -vE "$allowed" <<<"$imports"; then fail "imports a DLL that is not a Windows system DLL (above)"; fi

# The fixed part of the version resource: its signature FEEF04BD, the
# structure's version, then the file version as two little-endian words of
# 32 bits (a.b, then c.d).
found=none
if [ -n "$version" ]; then
    hex=$(od -An -v -tx1 "$dll" | tr -d ' \n')
    at=$(grep -ob 'bd04effe' <<<"$hex" | awk -F: '$1 % 2 == 0 {print $1; exit}')
    [ -n "$at" ] || fail "no version resource"
    le32() { local w=${hex:$1:8}; echo $((0x${w:6:2}${w:4:2}${w:2:2}${w:0:2})); }
    ms=$(le32 $((at + 16))) ls=$(le32 $((at + 24)))
    found=$((ms >> 16)).$((ms & 0xffff)).$((ls >> 16)).$((ls & 0xffff))
    [ "$found" = "$version" ] || fail "file version $found, expected $version"
fi

echo "check_dll: $dll is $kind $machine with $count undecorated exports, version $found; imports: $(tr '\n' ' ' <<<"$imports")"
echo "1 passed, 0 failed"
