#!/usr/bin/env bash
# Checks the Windows release folder as a host's developer meets it:
#   check_package.sh FOLDER     (build/package/Ostrel_lib-0.73-windows)
# For each bitness: the files; the DLL's machine, exports and version
# (tests/dll/check_dll.sh); Ostrel_lib.lib naming every export of the .def
# for the right machine, under the names the DLL exports; and a C host built
# with MinGW from the header and libOstrel_lib.dll.a alone, run beside the DLL
# under the Wine of its bitness. Then the Python wheel: both DLLs inside,
# installed into a venv, each picked by the interpreter's bitness
# (check_wheel.py).
set -uo pipefail
folder=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(dirname "$folder")/check
rm -rf "$work" && mkdir -p "$work"

passed=0 failed=0
check() {
    local what=$1
    shift
    if "$@" >"$work/last.log" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $what"
    else
        failed=$((failed + 1))
        echo "FAILED  $what"
        sed 's/^/        /' "$work/last.log"
    fi
}

has_files() {
    local missing=0 f
    for f in "$@"; do [ -f "$folder/$f" ] || { echo "missing $f"; missing=1; }; done
    return $missing
}

no_shim() {
    ! find "$folder" -iname 'ZEL_WidI*' | grep .
}

# Every export of the .def, as the linker of that machine names it, once in
# the .lib; every member a short import of that machine, looked up in the DLL
# under the undecorated name.
import_library_names_all() {
    local lib=$1 prefix=$2 machine_hex=$3 name_type=$4 def=$folder/$5/Ostrel_lib.def
    local want have headers types
    want=$(awk '/^    Ostrel_/{print p $1}' p="$prefix" "$def" | sort)
    have=$(llvm-nm "$lib" | awk '$2 == "T" && $3 !~ /^__imp_/ {print $3}' | sort)
    [ "$want" = "$have" ] || { diff <(echo "$want") <(echo "$have") | head -n 8; return 1; }
    # A short import starts 00 00 ff ff, its version (0) and its machine.
    headers=$(llvm-ar p "$lib" | od -An -v -tx1 | tr -d ' \n' | grep -o '0000ffff0000....' | sort | uniq -c)
    [ "$(awk '{print $1, $2}' <<<"$headers")" = "$(grep -c . <<<"$want") 0000ffff0000$machine_hex" ] ||
        { echo "short imports by machine: $headers"; return 1; }
    types=$(llvm-readobj "$lib" | awk '/^Name type:/{print $3}' | sort | uniq -c)
    [ "$(awk '{print $1, $2}' <<<"$types")" = "$(grep -c . <<<"$want") $name_type" ] ||
        { echo "import name types: $types"; return 1; }
}

# A C host linked against the MinGW import library only, run from a folder
# holding it and the DLL.
c_host_runs() {
    local arch=$1 triplet=$2 bits=$3 dir=$work/host-$1
    mkdir -p "$dir"
    # The import library by its path: -l would also take Ostrel_lib.lib.
    "$triplet-gcc-posix" -std=c99 -Wall -Wextra -Wpedantic -Werror -static-libgcc -I"$folder/include" \
        -o "$dir/host.exe" "$root/tests/dll/dll_lifecycle.c" "$folder/$arch/libOstrel_lib.dll.a" || return 1
    "$triplet-objdump" -p "$dir/host.exe" | grep 'DLL Name: Ostrel_lib.dll' >/dev/null || { echo "host does not import Ostrel_lib.dll"; return 1; }
    cp "$folder/$arch/Ostrel_lib.dll" "$dir/"
    (
        if [ "$bits" = 64 ]; then . "$root/scripts/wine-env" 64; else . "$root/scripts/wine-env" 32; fi
        cd "$dir" && "$OSTREL_WINE" host.exe </dev/null >host.log 2>&1
        status=$?
        tr -d '\r' <host.log
        [ $status -eq 0 ] && grep -q '^1 passed, 0 failed' host.log
    )
}

exports=$(grep -c '^    Ostrel_' "$root/src/Ostrel_lib/Win32/Ostrel_lib.def")
check "header and README" has_files include/Ostrel_lib.h README.txt
check "no simulated shim" no_shim
# folder, PE machine, triplet, short-import machine, name type, symbol prefix, Wine
for entry in "x86 i386 i686-w64-mingw32 4c01 noprefix _ 32" "x64 x86-64 x86_64-w64-mingw32 6486 name - 64"; do
    read -r arch pe triplet machine_hex name_type prefix bits <<<"$entry"
    [ "$prefix" = - ] && prefix=
    check "$arch: files" has_files "$arch/Ostrel_lib.dll" "$arch/ostrel.exe" "$arch/Ostrel_lib.def" \
        "$arch/Ostrel_lib.lib" "$arch/libOstrel_lib.dll.a"
    check "$arch: Ostrel_lib.dll" "$root/tests/dll/check_dll.sh" "$triplet-objdump" "$folder/$arch/Ostrel_lib.dll" \
        "$exports" "$pe" 0.0.0.73
    check "$arch: ostrel.exe for $pe" bash -c "'$triplet-objdump' -f '$folder/$arch/ostrel.exe' | grep 'file format pei-$pe\$' >/dev/null"
    check "$arch: Ostrel_lib.lib names the $exports exports" import_library_names_all "$folder/$arch/Ostrel_lib.lib" \
        "$prefix" "$machine_hex" "$name_type" "$arch"
    check "$arch: a C host linked with libOstrel_lib.dll.a runs under $bits-bit Wine" c_host_runs "$arch" "$triplet" "$bits"
done

# The wheel is for Windows, so pip installs it here only into a folder named
# for the purpose (--target, with the platforms given): the venv's own
# site-packages.
wheel_installs() {
    local wheel venv=$work/venv site
    wheel=$(ls "$folder"/python/ostrel-*-py3-none-win32.win_amd64.whl) || return 1
    /usr/bin/python3 -m venv --system-site-packages "$venv" || return 1
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') || return 1
    PIP_ROOT_USER_ACTION=ignore "$venv/bin/pip" install -q --disable-pip-version-check --no-index --no-deps \
        --only-binary=:all: --platform win32 --platform win_amd64 --target "$site" "$wheel" || return 1
    (cd "$work" && "$venv/bin/python" "$root/tests/package/check_wheel.py" "$folder")
}
check "python: the wheel carries both DLLs, installs into a venv and picks each by bitness" wheel_installs

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
