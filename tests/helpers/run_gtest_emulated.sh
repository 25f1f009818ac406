#!/usr/bin/env bash
# Runs a GoogleTest program where its CPU is emulated (32-bit Wine under
# qemu's user-mode emulation). qemu itself now and then dies in a program of
# many threads ("qemu: uncaught target signal ..."), mid-run or as the
# program ends, whatever the program does. So every test still runs to its
# end exactly once: after such a crash the tests that had not finished run
# again in a new process, as long as each attempt finishes some. A test that
# failed is never run again, and any other end of the program is its result.
#   run_gtest_emulated.sh FILTER PROGRAM [ARGS...]
# FILTER is the program's negative --gtest_filter ("-Suite*:...").
set -uo pipefail
filter=$1
shift
log=$(mktemp) || exit 1
trap 'rm -f "$log"' EXIT
for attempt in 1 2 3 4 5; do
    # Into a file, not a pipe: Wine's helper processes may keep a pipe open.
    "$@" --gtest_color=no "--gtest_filter=$filter" >"$log" 2>&1
    status=$?
    cat "$log"
    [ "$status" -eq 0 ] && exit 0
    if ! grep -q '^qemu: uncaught target signal' "$log" || grep -q '^\[  FAILED  \]' "$log"; then
        exit "$status"
    fi
    if grep -q '^\[  PASSED  \]' "$log"; then
        echo "run_gtest_emulated: every test passed; the emulator crashed as the program ended"
        exit 0
    fi
    finished=$(sed -n 's/^\[       OK \] \([^ ]*\) .*/\1/p; s/^\[  SKIPPED \] \([^ ]*\) .*/\1/p' "$log" | paste -sd:)
    if [ -z "$finished" ]; then
        echo "run_gtest_emulated: the emulator crashed before any test finished"
        exit "$status"
    fi
    filter+=":$finished"
    echo "run_gtest_emulated: the emulator crashed (attempt $attempt); the tests not yet finished run again"
done
echo "run_gtest_emulated: the emulator crashed in every attempt"
exit 1
