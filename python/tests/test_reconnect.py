"""A unit whose link drops while it measures: the run ends naming the unit
and what was seen, or with reconnect it goes on after the gap, on one time
axis; Ctrl-C while the unit is away keeps what was measured. Each case runs in
a child process of its own whose simulated units drop their link 1 s into
their first link (conftest starts them with the session)."""

import json

import numpy as np
import pytest

from conftest import AWAY_SERIAL, DROP_SERIAL, RECORD_SERIAL, STREAM_SERIAL

PERIOD = 0.01

PRELUDE = """
import io, json, logging, signal, threading
import ostrel

messages = []


class Kept(logging.Handler):
    def emit(self, record):
        messages.append(record.getMessage())
        if "reconnecting" in record.getMessage() and interrupt_when_away:
            threading.Timer(1, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()


interrupt_when_away = False
logging.getLogger("ostrel").addHandler(Kept())
lib = ostrel.Library()


def opened(name):
    unit = lib.open(name)
    unit.period = 0.01
    return unit


def report(**fields):
    print(json.dumps(dict(fields, messages=messages)), flush=True)
"""

DROP_CHILD = (
    PRELUDE
    + f"""
try:
    opened("{DROP_SERIAL}").record(seconds=10, channels=[3, 4])
except ostrel.DeviceIOError as error:
    report(error=str(error), rows=len(error.partial), gaps=error.partial.gaps)
interrupt_when_away = True
away = opened("{AWAY_SERIAL}")
try:
    away.record(seconds=60, channels=3, reconnect=True)
except KeyboardInterrupt as stop:
    report(rows=len(stop.partial), last=float(stop.partial.time[-1]), open=away.open)
lib.close()
"""
)

RECORD_CHILD = (
    PRELUDE
    + f"""
data = opened("{RECORD_SERIAL}").record(seconds=14, channels=[3, 4], reconnect=True)
csv = io.StringIO(newline="")
data.to_csv(csv)
report(time=data.time.tolist(), gaps=data.gaps, first=data.values[:, 0].tolist(), csv=csv.getvalue())
lib.close()
"""
)

STREAM_CHILD = (
    PRELUDE
    + f"""
blocks = []
stream = opened("{STREAM_SERIAL}").stream(channels=3, raw=True, reconnect=True)
for block in stream:
    blocks.append(block)
    if block.time[-1] >= 8:
        break
csv = io.StringIO(newline="")
for n, block in enumerate(blocks):
    block.to_csv(csv, header=n == 0)
report(
    gaps=[b.gaps for b in blocks],
    first=[b.first_index for b in blocks],
    sizes=[len(b) for b in blocks],
    closed=stream.closed,
    csv=csv.getvalue(),
)
lib.close()
"""
)

CHILDREN = {
    "drop": (DROP_CHILD, f"{DROP_SERIAL},{AWAY_SERIAL}", "1:30"),
    "record": (RECORD_CHILD, RECORD_SERIAL, "1:3"),
    "stream": (STREAM_CHILD, STREAM_SERIAL, "1:3"),
}


def reports(drop_children, name):
    stdout, stderr = drop_children[name].communicate(timeout=300)
    assert drop_children[name].returncode == 0, stderr
    return [json.loads(line) for line in stdout.splitlines()]


def one_gap_on_a_period_axis(time, gaps):
    """The index of the first row after the only gap."""
    steps = np.diff(time)
    jumps = np.flatnonzero(steps > PERIOD * 1.5)
    assert len(jumps) == 1 and np.allclose(np.delete(steps, jumps), PERIOD)
    k = jumps[0]
    assert [tuple(g) for g in gaps] == [(time[k], time[k + 1])]
    # Away for 3 s, found gone within about 1 s, opened again in 4 s at most.
    assert 0.5 < time[k] < 1.2 and 3 < time[k + 1] - time[k] < 12
    return k + 1


def test_a_drop_without_reconnect_ends_the_run_naming_unit_and_cause(drop_children):
    dropped, interrupted = reports(drop_children, "drop")
    assert dropped["error"].startswith(f"unit {DROP_SERIAL}: link lost: a write to the unit failed (")
    assert "after 1." in dropped["error"] and "; the last sample at 0." in dropped["error"]
    assert 20 < dropped["rows"] < 130 and dropped["gaps"] == []
    # Ctrl-C while the unit is away (30 s): the run ends with what it measured.
    assert 20 < interrupted["rows"] < 130 and interrupted["last"] < 1.2 and not interrupted["open"]
    assert any("reconnecting" in m for m in interrupted["messages"])


def test_a_recording_that_reconnects_keeps_one_time_axis(drop_children):
    (got,) = reports(drop_children, "record")
    time = np.array(got["time"])
    resumed = one_gap_on_a_period_axis(time, got["gaps"])
    assert time[0] == 0 and time[-1] == pytest.approx(13.99)
    # The unit counts its samples afresh after the new start: the sawtooth begins again.
    assert got["first"][resumed] == got["first"][0]
    assert got["csv"].count("\r\n\r\n") == 1
    assert any(f"unit {RECORD_SERIAL}: link lost: " in m for m in got["messages"])
    assert any(f"unit {RECORD_SERIAL}: open again after " in m for m in got["messages"])


def test_a_stream_that_reconnects_marks_the_gap_on_the_block_after_it(drop_children):
    (got,) = reports(drop_children, "stream")
    with_gap = [n for n, gaps in enumerate(got["gaps"]) if gaps]
    assert len(with_gap) == 1 and got["closed"]
    n = with_gap[0]
    (start, end), *_ = got["gaps"][n]
    # Slots run on through each block, and jump over the gap.
    for k in range(1, len(got["first"])):
        expected = got["first"][k - 1] + got["sizes"][k - 1]
        assert got["first"][k] == (round(end / PERIOD) if k == n else expected)
    assert got["csv"].count("\r\n\r\n") == 1
