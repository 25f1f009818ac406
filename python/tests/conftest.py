"""Tests against the simulated units of the simulated Widcomm shim.

Run them with libZEL_WidI.so's folder on LD_LIBRARY_PATH (scripts/test does).
The shim simulates the serials of ZEL_WIDI_SIM_UNITS, set here before any
library is loaded: serials of our own, so that no other test run on the
machine claims the same units. A search takes 15 s and an open 4 s on this
stack, so each module shares one open unit.
"""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import ostrel

SERIALS = ["53101", "53102"]  # the shared unit, and one that stays available
CLI_SERIAL = "53201"  # for ostrel, the command-line host, in its own process
EXIT_SERIAL = "53301"  # for the interpreter-exit child
EXAMPLE_SERIAL = "53401"  # for the README's example
INTERRUPT_SERIAL = "53501"  # for the child interrupted while it searches and opens
LIST_SERIALS = "53601,53602"  # for python -m ostrel and ostrel list
# Units whose link drops 1 s into their first link, for the children of
# test_reconnect: a drop without reconnect and Ctrl-C while away (away 30 s),
# a recording and a stream that reconnect (away 3 s).
DROP_SERIAL, AWAY_SERIAL = "53701", "53702"
RECORD_SERIAL, STREAM_SERIAL = "53801", "53901"

os.environ["ZEL_WIDI_SIM_UNITS"] = ",".join(SERIALS)

TREE = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def lib():
    with ostrel.Library() as library:
        yield library


@pytest.fixture(scope="module")
def found(lib):
    """What the first search of the module found."""
    return lib.search()


@pytest.fixture(scope="module")
def unit(lib, found):
    with lib.open(SERIALS[0]) as opened:
        opened.period = 0.01
        yield opened


def spawn(args, serial, drop=None, **kwargs):
    """A child process with simulated units of its own (whose links drop
    as ZEL_WIDI_SIM_LINK_DROP says, "AFTER:DOWN" seconds)."""
    env = dict(os.environ, ZEL_WIDI_SIM_UNITS=serial)
    if drop:
        env["ZEL_WIDI_SIM_LINK_DROP"] = drop
    return subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def python_child(code, serial, drop=None):
    return spawn([sys.executable, "-c", code], serial, drop)


@pytest.fixture(scope="session", autouse=True)
def drop_children():
    """The children of test_reconnect, started with the session: each
    searches for 15 s and measures for up to 15 s, which then overlaps the
    other modules' tests."""
    from test_reconnect import CHILDREN

    running = {name: python_child(code, serials, drop) for name, (code, serials, drop) in CHILDREN.items()}
    yield running
    for process in running.values():
        if process.poll() is None:
            process.kill()
        process.communicate()
