#!/usr/bin/env bash
# Runs the built ostrel against the simulated units of the shim and checks
# what a user would see. One case per call, so that ctest can run them side
# by side (each with serials of its own):
#   ostrel_cli_test.sh CASE SERIAL OSTREL [WINE]
# CASE: list | info | stream | dds | badname | usage | nostack | squatted | drop |
# reconnect | interrupt. OSTREL is the program; with WINE it runs under that emulator. The
# simulated units come from ZEL_WIDI_SIM_UNITS, which the caller sets, and so
# does their link drop (ZEL_WIDI_SIM_LINK_DROP) for the last three.
set -uo pipefail

case_name=$1
serial=$2
program=$3
wine=${4:-}

out=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-cli.XXXXXX")
trap 'rm -rf "$out"' EXIT
failures=0

# A command to run the program under (another user, for instance).
as_user=()

run() {
    # Output files go to the working folder: under Wine a relative name is the
    # one path both sides agree on.
    if [ -n "$wine" ]; then
        "$wine" "$program" "$@" >"$out/stdout" 2>"$out/stderr" </dev/null
    else
        "${as_user[@]}" "$program" "$@" >"$out/stdout" 2>"$out/stderr" </dev/null
    fi
    status=$?
    # Windows programs end their lines with CR LF.
    sed -i 's/\r$//' "$out/stdout" "$out/stderr"
}

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expect_status() {
    [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"
}

expect_in() {
    local file=$1
    shift
    for text in "$@"; do
        grep -qF -- "$text" "$out/$file" || fail "$file lacks: $text"
    done
}

# The CSV file without its CR LF line ends, in $out/s.csv.
read_csv() {
    [ -f "$1" ] || { fail "no CSV written"; : >"$out/s.csv"; return; }
    tr -d '\r' <"$1" >"$out/s.csv"
}

# Time stamps go up by one period (0.01 s) between rows, and by more only
# across an empty row; prints the gaps as "BEFORE AFTER".
check_time_axis() {
    awk -F, 'NR == 1 { next }
             $0 == "" { gap = 1; next }
             { if (NR > 2 && !gap && ($1 - last < 0.0099 || $1 - last > 0.0101)) bad++
               if (gap) { print last, $1; if ($1 - last <= 0.0101) bad++ }
               gap = 0; last = $1 }
             END { exit bad > 0 }' "$out/s.csv" >"$out/gaps" || fail "the time axis is not one row a period"
}

show() {
    echo "--- stdout"
    cat "$out/stdout"
    echo "--- stderr"
    cat "$out/stderr"
}

case $case_name in
list)
    run list
    expect_status 0
    for unit in ${ZEL_WIDI_SIM_UNITS//,/ }; do
        grep -qE "^  $unit +available$" "$out/stdout" || fail "unit $unit is not listed as available"
    done
    ;;
info)
    run info "$serial"
    expect_status 0
    expect_in stdout "Unit $serial" "measurement period: 0.01 s" "0x0000-0x5fff, 24576 bytes" \
        "0x0000-0x007f, 128 bytes each" \
        'long name "Temperature Probe", short name "Temp"' 'units "degC"' \
        'long name "Gas Pressure Sensor"' 'units "kPa"' 'units "lux"' 'units "%RH"' \
        'long name "Dual-Range Force", short name "Force"' 'K0 -100, K1 40, units "N"' \
        "sensor number 43, serial 10 03 42, lot code 23 14"
    [ "$(grep -c 'checksum 0x[0-9a-f][0-9a-f]: holds' "$out/stdout")" -eq 5 ] ||
        fail "not every channel's checksum holds"
    ;;
stream)
    dir=cli-stream-$serial
    rm -rf "$dir" && mkdir -p "$dir"
    run stream "$serial" --channels 3,4,7 --period 0.01 --duration 2 --csv "$dir/s.csv" --svg "$dir/s.svg" \
        --io-trace
    expect_status 0
    expect_in stdout "4 Pressure (kPa)"
    # The capture starts with the init command the library sends on opening.
    expect_in stderr "I/O trace, bytes sent:" "0000  40 19 ff 88 1a 05 4a 06" "I/O trace, bytes received:"
    csv=$dir/s.csv
    if [ ! -f "$csv" ]; then
        fail "no CSV written"
    else
        tr -d '\r' <"$csv" >"$out/s.csv"
        [ "$(head -1 "$out/s.csv")" = "time (s),3 Temp (degC),4 Pressure (kPa),7 Force (N)" ] ||
            fail "CSV header: $(head -1 "$out/s.csv")"
        # 2 s at 0.01 s: 200 rows below the header, each with all four fields.
        [ "$(wc -l <"$out/s.csv")" -eq 201 ] || fail "CSV has $(wc -l <"$out/s.csv") lines, expected 201"
        # Every value within its sensor's range from the data sheet.
        awk -F, 'NR > 1 && (NF != 4 || $1 == "" || $2 < -40 || $2 > 125 || $3 < 0 || $3 > 400 ||
                 $4 < -100 || $4 > 100) { bad++ } END { exit bad > 0 }' "$out/s.csv" ||
            fail "CSV rows with missing fields or values outside the sensors' ranges"
        [ "$(tail -1 "$out/s.csv" | cut -d, -f1)" = "1.990" ] || fail "last time stamp is not 1.990"
    fi
    svg=$dir/s.svg
    if [ ! -f "$svg" ]; then
        fail "no SVG written"
    else
        [ "$(grep -c '<polyline' "$svg")" -eq 3 ] || fail "the SVG does not hold 3 polylines"
        grep -q '</svg>' "$svg" || fail "the SVG is cut short"
        for label in "Temp (degC)" "Pressure (kPa)" "Force (N)" "time (s)"; do
            grep -qF "$label" "$svg" || fail "the SVG lacks the label $label"
        done
    fi
    rm -rf "$dir"
    ;;
dds)
    dir=cli-dds-$serial
    rm -rf "$dir" && mkdir -p "$dir"
    run dds "$serial" 6 --save "$dir/ch6.bin"
    expect_status 0
    expect_in stdout "Channel 6 data sheet of unit $serial:" 'LongName                  "Relative Humidity"' \
        'CalPage 0                 K0 0, K1 20, K2 0, units "%RH" (in use)' "WarmUpTime                30"
    # The saved record is the unit's 128 bytes, whose checksum holds.
    if [ "$(stat -c %s "$dir/ch6.bin" 2>/dev/null)" != 128 ]; then
        fail "the saved record is not 128 bytes"
    else
        read -r -a bytes <<<"$(od -An -v -tu1 "$dir/ch6.bin" | tr '\n' ' ')"
        x=0
        for ((i = 0; i < 127; ++i)); do x=$((x ^ bytes[i])); done
        [ "$x" -eq "${bytes[127]}" ] || fail "the saved record's checksum does not hold"
    fi
    rm -rf "$dir"
    ;;
badname)
    run info 99999
    expect_status 3
    expect_in stderr "no unit of that name in the last search"
    # One line; under Wine only the program's own lines are counted.
    if [ -n "$wine" ]; then
        [ "$(grep -c '^ostrel:' "$out/stderr")" -eq 1 ] || fail "the failure takes more than one line"
    else
        [ "$(wc -l <"$out/stderr")" -eq 1 ] || fail "the failure takes more than one line"
    fi
    ;;
usage)
    run stream
    expect_status 2
    expect_in stderr "NAME is required"
    run stream "$serial" --channels 3,9
    expect_status 2
    expect_in stderr "channel 9 is not a sensor channel"
    run nv "$serial" write --block 3 --address 0 01
    expect_status 2
    expect_in stderr "only block -1"
    ;;
drop)
    # Without --reconnect a lost link ends the run: exit 4, what was measured kept.
    run stream "$serial" --channels 3,4 --period 0.01 --duration 10 --csv drop-$serial.csv
    expect_status 4
    expect_in stderr "ostrel: unit $serial: link lost: a write to the unit failed" "the last sample at "
    read_csv drop-$serial.csv
    rows=$(($(wc -l <"$out/s.csv") - 1))
    [ "$rows" -ge 20 ] && [ "$rows" -le 130 ] || fail "$rows rows before a drop at 1 s"
    check_time_axis
    [ ! -s "$out/gaps" ] || fail "a gap in a run that did not reconnect"
    rm -f drop-$serial.csv
    ;;
reconnect)
    # The unit is away from 1 s to 4 s: the run opens it again and goes on,
    # one time axis with one gap.
    run stream "$serial" --channels 3,4 --period 0.01 --duration 14 --csv re-$serial.csv --svg re-$serial.svg \
        --reconnect
    expect_status 0
    expect_in stderr "unit $serial: link lost: " "; reconnecting" "unit $serial: open again after " \
        "1 gap of "
    read_csv re-$serial.csv
    check_time_axis
    [ "$(wc -l <"$out/gaps")" -eq 1 ] || fail "$(wc -l <"$out/gaps") gaps, expected 1"
    read -r before after <"$out/gaps"
    awk -v b="$before" -v a="$after" 'BEGIN { exit !(b > 0.5 && b < 1.2 && a - b > 3 && a < 13.5) }' ||
        fail "gap from $before s to $after s"
    [ "$(tail -1 "$out/s.csv" | cut -d, -f1)" = "13.990" ] || fail "last time stamp is not 13.990"
    # The chart breaks its lines at the gap: two per channel.
    [ "$(grep -c '<polyline' re-$serial.svg)" -eq 4 ] || fail "the SVG does not hold 4 polylines"
    rm -f re-$serial.csv re-$serial.svg
    ;;
interrupt)
    # Ctrl-C while the unit is away ends the run and keeps what was measured.
    "$program" stream "$serial" --channels 3 --period 0.01 --csv int-$serial.csv --reconnect \
        >"$out/stdout" 2>"$out/stderr" </dev/null &
    pid=$!
    for ((i = 0; i < 600; ++i)); do
        grep -q "reconnecting" "$out/stderr" && break
        sleep 0.1
    done
    kill -INT "$pid"
    wait "$pid"
    status=$?
    expect_status 0
    expect_in stderr "interrupted after " "CSV: int-$serial.csv"
    read_csv int-$serial.csv
    [ "$(wc -l <"$out/s.csv")" -ge 20 ] || fail "the rows before the drop are not kept"
    rm -f int-$serial.csv
    ;;
nostack)
    # Neither a shim on the library path nor BlueZ on the system bus.
    started=$SECONDS
    run list
    expect_status 5
    expect_in stderr "Ostrel_Init returned null: no usable Bluetooth stack"
    [ $((SECONDS - started)) -lt 10 ] || fail "finding no stack took $((SECONDS - started)) s"
    ;;
squatted)
    # Another account's socket on the name of the user's device-list mutex,
    # and no home to fall back to: the failure names both, not the stack.
    if [ "$(id -u)" -ne 0 ]; then
        echo "squatted: skipped (running as another user needs root)"
        exit 0
    fi
    user=65534
    address="Ostrel_lib/$user/Ostrel_lib_DeviceListMutex"
    /usr/bin/python3 -c '
import os, socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.bind(b"\0" + sys.argv[1].encode())
s.listen(64)
open(sys.argv[2], "w").close()
for _ in range(1200):
    if os.path.exists(sys.argv[3]):
        break
    time.sleep(0.05)' "$address" "$out/bound" "$out/stop" &
squatter=$!
for _ in $(seq 100); do [ -e "$out/bound" ] && break; sleep 0.1; done
as_user=(setpriv --reuid=$user --regid=$user --clear-groups)
run list
touch "$out/stop"
wait "$squatter"
expect_status 1
expect_in stderr "Ostrel_Init returned null: the named mutex Ostrel_lib_DeviceListMutex cannot be had: @$address is bound by user 0" "cannot be used"
grep -qF "no usable Bluetooth stack" "$out/stderr" && fail "blames the Bluetooth stack"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
    show
    echo "$case_name: $failures check(s) failed"
    exit 1
fi
echo "$case_name: passed"
