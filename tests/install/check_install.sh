#!/usr/bin/env bash
# Installs the build into a fresh prefix, then builds the C host in host/
# against that tree alone, once with pkg-config and once with CMake's
# find_package, and runs both. Also checks the SONAME and the installed ostrel.
#   check_install.sh BUILD_DIR [EXTRA_C_FLAGS]
# EXTRA_C_FLAGS: the build's sanitizer flags (a host of a sanitized library
# must carry the same runtime).
set -euo pipefail
build=$1
flags=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name ostrel_lib.pc)
lib=$(find "$prefix" -name 'libOstrel_lib.so' -type l)
[ -n "$pc" ] && [ -n "$lib" ] || { echo "FAILED: no ostrel_lib.pc or libOstrel_lib.so under $prefix"; exit 1; }
[ -f "$prefix/include/Ostrel_lib.h" ] || { echo "FAILED: no Ostrel_lib.h"; exit 1; }
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libOstrel_lib.so.0.73 ] || { echo "FAILED: SONAME is '$soname'"; exit 1; }
"$prefix/bin/ostrel" --help >/dev/null || { echo "FAILED: the installed ostrel does not run"; exit 1; }

export PKG_CONFIG_PATH=$(dirname "$pc")
libdir=$(pkg-config --variable=libdir ostrel_lib)
# shellcheck disable=SC2046,SC2086  # word splitting of the flags is meant
cc $flags -Wall -Wextra -Werror "$here/host/host.c" $(pkg-config --cflags --libs ostrel_lib) \
    -Wl,-rpath,"$libdir" -o "$work/host-pkgconfig"
"$work/host-pkgconfig"

cmake -S "$here/host" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" \
    >/dev/null
cmake --build "$work/host-cmake" >/dev/null
"$work/host-cmake/host"
echo "installed library: pkg-config and find_package hosts built and ran"
