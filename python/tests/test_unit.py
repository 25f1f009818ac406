"""The package against one open simulated unit, as a host uses it."""

import os
import re
import threading
import time

import numpy as np
import pytest

import ostrel

from conftest import CLI_SERIAL, EXAMPLE_SERIAL, EXIT_SERIAL, SERIALS, TREE, python_child, spawn

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
