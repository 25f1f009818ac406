#!/usr/bin/env bash
# Checks the built Windows DLL: PE32 for i386, the exports undecorated, and
# imports of Windows system DLLs only (the C++ runtime is linked in).
#   check_dll.sh OBJDUMP DLL EXPECTED_EXPORT_COUNT
set -euo pipefail
objdump=$1 dll=$2 expected=$3
dump=$("$objdump" -p "$dll")
fail() { echo "check_dll: $*" >&2; exit 1; }

grep -q 'file format pei-i386' <<<"$dump" || fail "not a PE32 i386 image"
grep -qE 'Magic[[:space:]]+010b' <<<"$dump" || fail "not PE32 (optional header magic)"

exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' <<<"$dump")
count=$(grep -c . <<<"$exports" || true)
[ "$count" -eq "$expected" ] || fail "expected $expected exports, found $count"
if grep -vE '^Ostrel_[A-Za-z0-9_]+$' <<<"$exports"; then fail "decorated or foreign export names above"; fi

imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$dump" | sort -u)
allowed='^(kernel32|msvcrt|ws2_32|user32|advapi32|ntdll)\.dll$'
if grep -vE "$allowed" <<<"$imports"; then fail "imports a DLL that is not a Windows system DLL (above)"; fi

echo "check_dll: $dll is PE32 i386 with $count undecorated exports; imports: $(tr '\n' ' ' <<<"$imports")"
echo "1 passed, 0 failed"
