#!/usr/bin/env bash
# Checks the built simulated shim DLL: a PE image for the expected machine
# (PE32 i386 or PE32+ x86-64), exports by ordinal only
# (ordinals 1..18, no names), each ordinal on the function the host expects
# when the DLL still has its symbols, and imports of Windows system DLLs only.
#   check_shim.sh OBJDUMP DLL [MACHINE]
# MACHINE: i386 (the default) or x86-64.
set -euo pipefail
objdump=$1 dll=$2 machine=${3:-i386}
dump=$("$objdump" -p "$dll")
fail() { echo "check_shim: $*" >&2; exit 1; }

# The host calls by these ordinals, in this order from 1.
functions=(OpenStack CloseStack StartInquiry StopInquiry StartServiceDiscovery GetDeviceCount
    GetDeviceRecord CreateConnection SetReceiveCallback DestroyConnection Connect Disconnect Write
    ContinueDiscovery GetDiscoveredChannel SetConnectionTarget IsServiceFound SetEventCallback)
expected=${#functions[@]}

case $machine in
i386) magic=010b kind=PE32 ;;
x86-64) magic=020b kind=PE32+ ;;
*) fail "unknown machine $machine" ;;
esac
grep -q "file format pei-$machine\$" <<<"$dump" || fail "not a $kind $machine image"
grep -qE "Magic[[:space:]]+$magic" <<<"$dump" || fail "not $kind (optional header magic)"

# "[   0] +base[   1] 5470 Export RVA": ordinal and RVA of every export.
ordinals=$(awk '/^Export Address Table -- Ordinal Base/{on=1; next}
    on && /\+base\[/{line=$0; sub(/.*\+base\[ */, "", line); split(line, f, /[] ]+/); print f[1], f[2]; next}
    on{on=0}' <<<"$dump")
[ -n "$ordinals" ] || fail "no export address table"
[ "$(cut -d' ' -f1 <<<"$ordinals" | tr '\n' ' ')" = "$(seq -s' ' 1 "$expected") " ] ||
    fail "expected ordinals 1..$expected, found: $(cut -d' ' -f1 <<<"$ordinals" | tr '\n' ' ')"

names=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on{on=0}' <<<"$dump")
[ -z "$names" ] || fail "exports names, not ordinals only: $(tr '\n' ' ' <<<"$names")"
grep -qE '\[Name Pointer/Ordinal\] Table[[:space:]]+0+$' <<<"$dump" || fail "the name pointer table is not empty"

# With a symbol table, every ordinal must lead to its own function.
mapping="not checked (no symbols)"
symbols=$("$objdump" -t "$dll" 2>/dev/null | grep -E ' _?WidI_[A-Za-z]+$' || true)
if [ -n "$symbols" ]; then
    base=$(awk '/^ImageBase/{print $2}' <<<"$dump")
    sections=$("$objdump" -h "$dll" | awk '$1 ~ /^[0-9]+$/{print $1 + 1, $4}')
    for ((i = 0; i < expected; ++i)); do
        name=${functions[$i]}
        line=$(grep -E " _?WidI_${name}\$" <<<"$symbols" | head -n1) || fail "no symbol for WidI_$name"
        section=$(sed -E 's/.*\(sec +([0-9]+)\).*/\1/' <<<"$line")
        value=$(awk '{print $(NF-1)}' <<<"$line")
        vma=$(awk -v s="$section" '$1 == s {print $2}' <<<"$sections")
        [ -n "$vma" ] || fail "no section $section for WidI_$name"
        rva=$(printf '%x' $((0x$vma - 0x$base + value)))
        actual=$(awk -v o=$((i + 1)) '$1 == o {print $2}' <<<"$ordinals" | sed 's/^0*//')
        [ "$actual" = "$rva" ] || fail "ordinal $((i + 1)) is at $actual, WidI_$name at $rva"
    done
    mapping="each on its function"
fi

imports=$(awk '/DLL Name:/{print tolower($3)}' <<<"$dump" | sort -u)
allowed='^(kernel32|msvcrt|ws2_32|user32|advapi32|ntdll)\.dll$'
if grep -vE "$allowed" <<<"$imports"; then fail "imports a DLL that is not a Windows system DLL (above)"; fi

echo "check_shim: $dll is $kind $machine exporting ordinals 1..$expected without names, $mapping; imports: $(tr '\n' ' ' <<<"$imports")"
echo "1 passed, 0 failed"
