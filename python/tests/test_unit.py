"""The package against one open simulated unit, as a host uses it."""

import gc
import os
import sys
import queue
import re
import signal
import threading
import time
from datetime import datetime, timedelta

import numpy as np
import pytest

import ostrel

from conftest import (
    CLI_SERIAL,
    EXAMPLE_SERIAL,
    EXIT_SERIAL,
    INTERRUPT_SERIAL,
    LIST_SERIALS,
    SERIALS,
    TREE,
    python_child,
    spawn,
)

PERIOD = 0.01


@pytest.fixture(scope="module", autouse=True)
def children(tmp_path_factory):
    """Processes that search and open on their own while this module runs:
    ostrel writing a CSV file, and a Python that leaves its unit open at exit."""
    out = tmp_path_factory.mktemp("cli")
    running = {}
    cli = os.environ.get("OSTREL_CLI")
    if cli:
        csv = out / "cli.csv"
        args = [cli, "stream", CLI_SERIAL, "--channels", "3,4,7", "--period", str(PERIOD), "--duration", "1"]
        running["cli"] = (spawn(args + ["--csv", str(csv)], CLI_SERIAL), csv)
        running["cli list"] = (spawn([cli, "list"], LIST_SERIALS), None)
    running["module list"] = (spawn([sys.executable, "-m", "ostrel"], LIST_SERIALS), None)
    running["interrupts"] = (python_child(INTERRUPT_CHILD, INTERRUPT_SERIAL), None)
    running["exit"] = (python_child(EXIT_CHILD, EXIT_SERIAL), None)
    running["example"] = (
        python_child(readme_example().replace("'12345'", f"'{EXAMPLE_SERIAL}'"), EXAMPLE_SERIAL),
        None,
    )
    yield running
    for process, _ in running.values():
        if process.poll() is None:
            process.kill()
        process.communicate()


def finished(children, name):
    process, output = children[name]
    stdout, stderr = process.communicate(timeout=300)
    return process.returncode, stdout, stderr, output


def readme_example():
    section = (TREE / "README.md").read_text().split("### Example", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_search_lists_the_simulated_units_not_open(found):
    assert [u.name for u in found] == SERIALS
    assert [u.open for u in found] == [False, False]
    assert repr(found[0]) == f"Unit(name='{SERIALS[0]}', open=False)"


def test_open_gives_the_searched_unit_to_this_thread(lib, found, unit):
    assert unit is found[0] and unit.open
    assert unit.thread is threading.current_thread()
    assert lib.units == [unit]
    assert unit.channels == [3, 4, 5, 6, 7]
    with pytest.raises(ostrel.Error, match="open already") as error:
        lib.open(SERIALS[0])
    assert error.value.export == "Ostrel_Device_Open"
    assert unit.open


def test_data_sheets_read_every_field(unit):
    temp = unit.data_sheet(3)
    assert (temp.long_name, temp.short_name, temp.name) == ("Temperature Probe", "Temp", "Temp")
    assert (temp.sensor_number, temp.serial_number, temp.lot_code) == (43, (0x10, 0x03, 0x42), (0x23, 0x14))
    assert (temp.ymin_value, temp.ymax_value, temp.typ_sample_period, temp.warm_up_time) == (-40, 125, 0.5, 10)
    assert [p.units for p in temp.pages[:2]] == ["degC", "degF"]
    assert (temp.pages[0].k0, temp.pages[0].k1) == (-40, 33)
    assert (temp.active_cal_page, temp.highest_valid_cal_page_index, temp.calibration_page) == (0, 1, 0)
    assert temp.units == "degC"

    units = {}
    for channel in unit.channels:
        sheet = unit.data_sheet(channel)
        assert sheet.channel == channel and sheet.checksum_holds
        assert len(sheet.record) == 128 and sheet.record[127] == sheet.checksum
        units[channel] = sheet.units
    assert units == {3: "degC", 4: "kPa", 5: "lux", 6: "%RH", 7: "N"}

    for channel in (2, 8, "3"):
        with pytest.raises(ValueError):
            unit.data_sheet(channel)


def test_period_reads_back_what_the_unit_took(unit):
    try:
        unit.period = 0.02
        assert unit.period == pytest.approx(0.02)
        unit.period = 0.0114  # the unit keeps whole milliseconds
        assert unit.period == pytest.approx(0.011)
        for bad in (0.0, 0.0005, 70.0, float("nan")):
            with pytest.raises(ValueError):
                unit.period = bad
        assert unit.period == pytest.approx(0.011)
    finally:
        unit.period = PERIOD


def test_record_gives_every_sample_calibrated_and_raw(unit):
    data = unit.record(seconds=1, channels=[3, 4, 7])
    assert isinstance(data, ostrel.Recording)
    assert data.values.shape == (100, 3) and data.values.dtype == np.float64
    assert data.channels == [3, 4, 7] and data.units == ["degC", "kPa", "N"]
    assert data.period == pytest.approx(PERIOD)
    np.testing.assert_allclose(data.time, np.arange(100) * PERIOD)
    for column, channel in enumerate(data.channels):
        sheet = unit.data_sheet(channel)
        values = data.values[:, column]
        assert np.all((values >= sheet.ymin_value - 1e-6) & (values <= sheet.ymax_value + 1e-6)), channel
        assert np.ptp(values) > 0, f"channel {channel} does not change"

    raw = unit.record(seconds=0.5, channels=[4, 3], raw=True)
    assert raw.values.shape == (50, 2) and raw.values.dtype.kind == "i"
    assert raw.units == ["raw", "raw"] and raw.columns == ["time (s)", "4 Pressure (raw)", "3 Temp (raw)"]
    assert np.all(raw.values % 16 == 0) and np.all((raw.values >= 0) & (raw.values <= 0xFFF0))
    # The unit sends the same samples after each start: the raw readings are
    # the calibrated values' own, column for column.
    for column, channel in enumerate(raw.channels):
        page = unit.data_sheet(channel).pages[0]
        volts = raw.values[:, column] * 2.5 / 32768
        np.testing.assert_allclose(page.k0 + page.k1 * volts, data.values[:50, [3, 4].index(channel)])


def test_stream_yields_blocks_until_break_then_stops_the_unit(unit):
    blocks = []
    for block in unit.stream(channels=[5, 3]):
        blocks.append(block)
        if sum(len(b) for b in blocks) >= 20:
            break
    assert all(isinstance(b, ostrel.Block) and b.channels == [5, 3] for b in blocks)
    assert [b.first_index for b in blocks] == list(np.cumsum([0] + [len(b) for b in blocks[:-1]]))
    time_stamps = np.concatenate([b.time for b in blocks])
    np.testing.assert_allclose(time_stamps, np.arange(len(time_stamps)) * PERIOD)
    assert blocks[0].units == ["lux", "degC"]

    # Stopped: nothing more arrives.
    unit._call("Ostrel_Device_ClearIO", -1)
    time.sleep(0.3)
    assert unit._call("Ostrel_Device_GetNumMeasurementsAvailable", 3) == 0
    # And the unit is free for the next run, and answers commands.
    assert len(unit.record(seconds=0.05, channels=3)) == 5
    assert unit.period == pytest.approx(PERIOD)


def test_one_run_at_a_time_and_a_closed_stream_ends(unit):
    with unit.stream(channels=3) as stream:
        first = next(stream)
        with pytest.raises(ostrel.Error, match="measuring already"):
            unit.record(seconds=0.1)
    assert len(first) > 0
    with pytest.raises(StopIteration):
        next(stream)
    assert len(unit.record(seconds=0.05, channels=3)) == 5


def test_memory_write_reads_back_and_the_data_sheets_are_blocks(unit):
    assert unit.memory.range() == range(0, 24576)
    assert unit.memory.range(3) == range(0, 128)
    whole = unit.memory.read()
    assert len(whole) == 24576  # more than the library's response ring holds at once
    original = unit.memory.read(0x1230, 8)
    assert original == whole[0x1230:0x1238]
    written = b"\x01\x02\xfe\xff\x00python"
    try:
        unit.memory.write(0x1230, written)
        assert unit.memory.read(0x122F, len(written) + 2) == whole[0x122F:0x1230] + written + whole[0x123B:0x123C]
    finally:
        unit.memory.write(0x1230, whole[0x1230:0x123B])
    assert unit.memory.read(0x1230, len(written)) == whole[0x1230:0x123B]
    assert unit.memory.read(block=3) == unit.data_sheet(3).record

    for bad in (
        lambda: unit.memory.read(24570, 8),
        lambda: unit.memory.read(0, 0),
        lambda: unit.memory.read(block=0),
        lambda: unit.memory.write(24575, b"ab"),
    ):
        with pytest.raises(ValueError):
            bad()


def test_raw_command_returns_the_payload_and_errors_carry_it(unit):
    assert unit.command(0x1C) == (10).to_bytes(4, "little")  # the period, in 1 ms ticks
    with pytest.raises(ostrel.DeviceIOError) as error:
        unit.command(0x77)
    assert error.value.export == "Ostrel_Device_GetNextResponse"
    assert "reported an error for command 0x77" in str(error.value)
    assert unit.command(0x1C, timeout=2) == (10).to_bytes(4, "little")  # nothing left behind
    for code, params in ((256, b""), (-1, b""), (0x1C, bytes(251))):
        with pytest.raises(ValueError):
            unit.command(code, params)


def test_other_threads_get_wrong_thread_before_the_library(unit):
    stream = unit.stream(channels=3)
    calls = {
        "period": lambda: unit.period,
        "record": lambda: unit.record(seconds=0.1),
        "memory": lambda: unit.memory.read(0, 4),
        "command": lambda: unit.command(0x1C),
        "stream": lambda: next(stream),
        "close": unit.close,
    }
    raised = {}

    def other_thread():
        for name, call in calls.items():
            try:
                call()
            except Exception as error:  # noqa: BLE001 - the test looks at what came
                raised[name] = error

    worker = threading.Thread(target=other_thread)
    worker.start()
    worker.join()
    assert set(raised) == set(calls)
    for name, error in raised.items():
        assert isinstance(error, ostrel.WrongThread), name
        assert error.result is None and error.export.startswith("Ostrel_Device_"), name
    assert "belongs to the thread that opened it" in str(raised["period"])
    # The unit is still this thread's, and the stream still works here.
    assert unit.open and len(next(stream)) > 0
    stream.close()
    assert unit.period == pytest.approx(PERIOD)


def test_csv_has_the_layout_of_ostrel_stream(unit, tmp_path, children):
    data = unit.record(seconds=1, channels=[3, 4, 7])
    path = tmp_path / "python.csv"
    data.to_csv(path)
    text = path.read_bytes().decode()
    assert text.startswith("time (s),3 Temp (degC),4 Pressure (kPa),7 Force (N)\r\n0.000,21.875,200,-50.25\r\n")
    assert text.count("\r\n") == 101

    # Blocks written one after another into one file make the same file.
    with open(tmp_path / "blocks.csv", "w", newline="") as file:
        for i, block in enumerate((data, data)):
            block.to_csv(file, header=i == 0)
    assert (tmp_path / "blocks.csv").read_bytes().decode() == text + text.split("\r\n", 1)[1]

    if "cli" not in children:
        pytest.skip("OSTREL_CLI does not name the ostrel program")
    status, stdout, stderr, cli_csv = finished(children, "cli")
    assert status == 0, stderr
    assert path.read_bytes() == cli_csv.read_bytes()


def test_to_pandas_gives_a_frame_indexed_by_time(unit):
    pandas = pytest.importorskip("pandas")
    data = unit.record(seconds=0.1, channels=[3, 7])
    frame = data.to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.columns) == ["3 Temp (degC)", "7 Force (N)"] and frame.index.name == "time (s)"
    np.testing.assert_array_equal(frame.to_numpy(), data.values)


def test_a_name_not_found_raises_unit_not_found(lib, unit):
    with pytest.raises(ostrel.UnitNotFound) as error:
        lib.open("99999")
    assert error.value.export == "Ostrel_Device_Open" and error.value.result is None
    assert str(error.value) == (
        'Ostrel_Device_Open("99999") returned null: no unit of that name in the last search '
        f"(it found {SERIALS[1]}, {SERIALS[0]})"
    )
    assert unit.open


def test_a_unit_left_open_is_closed_at_interpreter_exit(children):
    status, stdout, stderr, _ = finished(children, "exit")
    assert status == 0 and stderr == "", stderr
    assert stdout.splitlines() == ["measuring", "at exit: unit open False library closed True"]


def test_the_readme_example_prints_values(children):
    status, stdout, stderr, _ = finished(children, "example")
    assert status == 0, stderr
    lines = stdout.splitlines()
    assert lines[:2] == [f"[Unit(name='{EXAMPLE_SERIAL}', open=False)]", "Temperature Probe degC checksum holds"]
    assert lines[2].startswith("['degC', 'kPa', 'N'] (100, 3) [")


def interrupt_in(seconds):
    """A real Ctrl-C: SIGINT to the main thread, after a while."""
    timer = threading.Timer(seconds, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
    timer.start()
    return timer


def test_a_stream_whose_unit_falls_silent_ends_at_its_time_limit(unit):
    stream = unit.stream(channels=3, timeout=0.5)
    first = next(stream)
    unit.command(0x19)  # stopped behind the stream's back, as a unit switched off falls silent
    with pytest.raises(ostrel.DeviceIOError, match="no samples arrived for") as error:
        for block in stream:
            assert block.first_index >= len(first)
    assert stream.closed and isinstance(error.value.partial, ostrel.Block)
    assert len(unit.record(seconds=0.05, channels=3)) == 5


def test_the_period_cannot_change_under_a_running_stream(unit):
    with unit.stream(channels=3) as stream:
        next(stream)
        for change in (lambda: setattr(unit, "period", 0.02), lambda: unit.command(0x1B, (20).to_bytes(4, "little"))):
            with pytest.raises(ostrel.Error, match="is measuring: a new period"):
                change()
        block = next(stream)
    np.testing.assert_allclose(block.time, (block.first_index + np.arange(len(block))) * PERIOD)
    assert unit.period == pytest.approx(PERIOD)


def test_ctrl_c_during_record_keeps_what_was_measured(unit):
    interrupt_in(1)
    with pytest.raises(KeyboardInterrupt) as stop:
        unit.record(seconds=5, channels=[3, 4])
    partial = stop.value.partial
    assert isinstance(partial, ostrel.Recording) and partial.channels == [3, 4] and 0 < len(partial) < 500
    np.testing.assert_allclose(partial.time, np.arange(len(partial)) * PERIOD)
    assert len(unit.record(seconds=0.05, channels=3)) == 5  # stopped, and free again


def test_a_recording_outlives_a_stop_that_is_not_acknowledged(unit, monkeypatch):
    exchange = unit._exchange

    def acknowledgement_lost(code, *args):
        payload = exchange(code, *args)
        if code == 0x19:
            raise ostrel.DeviceIOError("the unit did not answer within 2000 ms", export="Ostrel_Device_GetNextResponse")
        return payload

    monkeypatch.setattr(unit, "_exchange", acknowledgement_lost)
    with pytest.warns(RuntimeWarning, match="recording is complete"):
        data = unit.record(seconds=0.2, channels=3)
    assert len(data) == 20


def test_a_stream_that_fell_behind_keeps_the_samples_it_read(unit, monkeypatch):
    monkeypatch.setattr(ostrel._acquire, "CHANNEL_BUFFER", 60)  # the library's 40000, reached in 0.6 s
    stream = unit.stream(channels=[3, 4], raw=True)
    next(stream)
    time.sleep(1.2)
    with pytest.raises(ostrel.Error, match="filled the library's buffer") as error:
        next(stream)
    after = error.value.after_gap
    assert len(after) >= 60 and np.isnan(after.time).all()
    # Every sample read is there: the simulated channel c steps by (c + 1) x 16.
    assert (np.diff(after.values, axis=0) % 65536 == [64, 80]).all()
    assert stream.closed and isinstance(error.value.partial, ostrel.Block)


def test_break_ends_a_stream_held_by_a_name(unit):
    stream = unit.stream(channels=3)
    for block in stream:
        break
    assert stream.closed
    assert len(unit.record(seconds=0.05, channels=3)) == 5


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda u: u.record(np.float32(0.05), channels=np.array([3, 4])).channels, [3, 4]),
        (lambda u: u.record(0.05, channels=np.int64(3), page=np.int64(0)).channels, [3]),
        (lambda u: u.data_sheet(np.uint8(7)).channel, 7),
        (lambda u: u.memory.read(np.int64(0x10), np.int32(4), block=np.int16(-1)), "memory 0x10-0x13"),
        (lambda u: u.memory.range(np.int64(3)), range(0, 128)),
        (lambda u: u.command(np.uint8(0x1C), np.array([], dtype=np.uint8)), (10).to_bytes(4, "little")),
    ],
    ids=["channel array", "channel scalar", "data sheet", "memory read", "memory range", "command"],
)
def test_numpy_numbers_are_taken_where_ints_are(unit, call, expected):
    if expected == "memory 0x10-0x13":
        expected = unit.memory.read(0x10, 4)
    assert call(unit) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda u: u.memory.read(30000), "address 0x7530 is outside block -1 (0x0000-0x5fff)"),
        (lambda u: u.record(0.05, channels=True), "channels True"),
        (lambda u: u.record(0.05, channels=6, page=1), "channel 6 has calibration pages 0 to 0"),
        (lambda u: u.record(0.05, raw=True, volts=True), "choose one"),
        (lambda u: u.stream(timeout=-1), "timeout -1.0"),
    ],
)
def test_bad_arguments_are_named_plainly(unit, call, message):
    with pytest.raises(ValueError) as error:
        call(unit)
    assert message in str(error.value)


@pytest.mark.parametrize(
    "call",
    [
        lambda u: u.command(0x1C, timeout=None),
        lambda u: u.memory.read(0, 4, timeout=None),
        lambda u: u.record(0.05, channels=3, timeout=None),
    ],
)
def test_no_time_limit_is_none(unit, call):
    assert len(call(unit)) > 0


def test_values_come_calibrated_on_either_page_or_in_volts(unit):
    volts = unit.record(seconds=0.2, channels=[3, 4], volts=True)
    fahrenheit = unit.record(seconds=0.2, channels=[3, 4], page={3: 1})
    assert volts.units == ["V", "V"] and fahrenheit.units == ["degF", "kPa"]
    # The unit sends the same samples after each start.
    for column, channel in enumerate([3, 4]):
        sheet = unit.data_sheet(channel)
        page = sheet.pages[1 if channel == 3 else 0]
        np.testing.assert_allclose(fahrenheit[channel], page.k0 + page.k1 * volts.values[:, column])
        assert sheet.active_cal_page == 0  # the library's copy is as it was
    assert timedelta(0) < datetime.now().astimezone() - volts.started < timedelta(minutes=1)
    with pytest.raises(KeyError):
        volts[5]


def test_a_stream_can_be_read_without_waiting(unit):
    with unit.stream(channels=[3, 4]) as stream:
        assert repr(stream).startswith(f"<ostrel.Stream of unit '{SERIALS[0]}': channels [3, 4], period 0.01 s")
        assert isinstance(stream.read(), ostrel.Block)
        time.sleep(0.2)
        latest = stream.latest()
        block = stream.read()
        assert len(latest) == 1 and len(block) >= 10  # latest() handed nothing out
        row = latest.first_index - block.first_index
        np.testing.assert_array_equal(block.values[row], latest.values[0])
    assert "closed" in repr(stream) and stream.read().values.shape == (0, 2)
    assert repr(unit.memory) == f"<ostrel.Memory of unit '{SERIALS[0]}': block -1 its own, blocks 1-7 the data sheets>"


def test_a_unit_dropped_open_is_closed_by_its_own_thread(lib, found, unit):
    name = SERIALS[1]
    del found[1]  # the search's list holds its Unit: dropping a unit drops that too
    handed, go_on = queue.Queue(), threading.Event()

    def opens_and_goes_on():
        handed.put(lib.open(name))
        go_on.wait(60)
        lib.units  # its next call of the package closes what was dropped

    worker = threading.Thread(target=opens_and_goes_on)
    worker.start()
    other = handed.get(timeout=60)
    with pytest.raises(ostrel.WrongThread, match="use it there"):
        other.period
    del other
    gc.collect()
    assert len(lib._instance.dropped) == 1  # the library refuses the close on this thread
    go_on.set()
    worker.join(60)
    mine = lib.open(name)  # it was closed
    del mine  # on its own thread: closed at once
    lib.open(name).close()

    def opens_and_ends():
        handed.put(lib.open(name))

    ended = threading.Thread(target=opens_and_ends)
    ended.start()
    ended.join(60)
    orphan = handed.get(timeout=1)
    with pytest.raises(ostrel.WrongThread) as error:
        orphan.period
    assert "which has ended), not to MainThread: close it (any thread may now)" in str(error.value)
    orphan.close()
    assert lib.units == [unit]


def test_interrupted_search_and_open_lose_nothing(children):
    status, stdout, stderr, _ = finished(children, "interrupts")
    assert status == 0, stderr
    assert stdout.splitlines() == [
        "search interrupted while it runs: True",
        f"found ['{INTERRUPT_SERIAL}']",
        "open interrupted, units open: []",
        "opened again: True",
    ]


def test_python_m_ostrel_lists_units_as_ostrel_list_does(children):
    status, stdout, stderr, _ = finished(children, "module list")
    assert status == 0, stderr
    names = LIST_SERIALS.split(",")
    assert stdout.splitlines() == ["2 units found:", "  NAME   STATUS"] + [f"  {n}  available" for n in names]
    if "cli list" in children:
        assert stdout == finished(children, "cli list")[1]


def test_units_opened_through_either_library_outlive_the_one_closed(lib, unit):
    again = ostrel.Library()
    assert unit in again.units
    with pytest.raises(ostrel.Error, match="open already"):
        again.open(unit.name)
    other = again.open(SERIALS[1])
    again.close()
    ostrel.Library()  # another, dropped at once
    gc.collect()
    assert not lib.closed and unit.period > 0 and other.period > 0
    assert set(lib.units) == {unit, other}
    other.close()


def test_closing_twice_is_harmless(lib, unit):
    unit.close()
    unit.close()
    assert not unit.open and lib.units == []
    with pytest.raises(ostrel.Error, match="not open"):
        unit.period
    lib.close()
    lib.close()
    assert lib.closed
    with pytest.raises(ostrel.Error, match="closed"):
        lib.search()


EXIT_CHILD = f"""
import atexit

state = {{}}

def report():  # registered before the package's own handler, so it runs after it
    print("at exit: unit open", state["unit"].open, "library closed", state["lib"].closed)

atexit.register(report)
import ostrel

state["lib"] = ostrel.Library()
state["unit"] = state["lib"].open("{EXIT_SERIAL}")
stream = state["unit"].stream(channels=3)
next(stream)
print("measuring", flush=True)
"""

INTERRUPT_CHILD = f"""
import signal
import threading

import ostrel


def interrupt_in(seconds):
    threading.Timer(seconds, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()


lib = ostrel.Library()
interrupt_in(1)
try:
    lib.search()
except KeyboardInterrupt:
    print("search interrupted while it runs:", any(t.name == "ostrel search" for t in threading.enumerate()))
print("found", [u.name for u in lib.search()])
interrupt_in(1)
try:
    lib.open("{INTERRUPT_SERIAL}")
except KeyboardInterrupt:
    print("open interrupted, units open:", lib.units)
with lib.open("{INTERRUPT_SERIAL}") as unit:
    print("opened again:", unit.open)
lib.close()
"""
