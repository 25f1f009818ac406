"""The package itself: where it finds the library, how its build places one,
one instance at a time, its failure without a stack, the call gate, and its
documented API."""

import os
import re
import runpy
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import ostrel
from ostrel import _gate, _loader

from conftest import TREE


def test_the_installed_package_loads_its_own_copy_of_the_library(monkeypatch):
    monkeypatch.delenv("OSTREL_LIBRARY", raising=False)
    assert TREE / "python" not in Path(ostrel.__file__).resolve().parents, "testing the source, not the install"
    with ostrel.Library() as lib:
        assert lib.path == str(_loader.package_copy())
        assert lib.version == (0, 73)


def test_a_library_path_given_is_the_only_one_tried(monkeypatch, tmp_path):
    missing = tmp_path / "libOstrel_lib.so"
    monkeypatch.setenv("OSTREL_LIBRARY", str(missing))
    with pytest.raises(ostrel.Error) as error:
        ostrel.Library()
    assert "OSTREL_LIBRARY" in str(error.value) and str(missing) in str(error.value)
    assert "package's copy" not in str(error.value)
    # A path handed to Library() comes before the variable.
    with ostrel.Library(_loader.package_copy()) as lib:
        assert lib.path == str(_loader.package_copy())


def test_one_library_at_a_time_and_it_can_be_opened_again():
    first = ostrel.Library()
    try:
        with pytest.raises(ostrel.Error, match="open in this process already"):
            ostrel.Library()
        assert not first.closed
    finally:
        first.close()
    with ostrel.Library() as again:
        assert again.trace_threshold == 100
        again.trace_threshold = 10
        assert again.trace_threshold == 10
        again.trace_threshold = 100


def test_without_a_stack_library_raises_no_bluetooth_stack():
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    code = (
        "import ostrel\n"
        "try:\n"
        "    ostrel.Library()\n"
        "except ostrel.NoBluetoothStack as e:\n"
        "    print(e.export, e.result, isinstance(e, ostrel.Error))\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "Ostrel_Init None True"
    assert lines[1].startswith("Ostrel_Init returned null: no usable Bluetooth stack")


@pytest.mark.skipif(getattr(os, "geteuid", lambda: -1)() != 0, reason="running as another user needs root")
def test_init_blocked_by_another_users_socket_says_so_not_the_stack():
    # Another account's socket on the device-list mutex of a user without a
    # home to fall back to (nobody): the error names them.
    address = "Ostrel_lib/65534/Ostrel_lib_DeviceListMutex"
    code = (
        "import ostrel\n"
        "try:\n"
        "    ostrel.Library()\n"
        "except ostrel.Error as e:\n"
        "    print(type(e).__name__, e.export)\n"
        "    print(e)\n"
    )
    nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as squatter:
        squatter.bind(b"\0" + address.encode())
        squatter.listen(64)
        done = subprocess.run(nobody + [sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "Error Ostrel_Init"
    assert f"@{address} is bound by user 0" in lines[1] and "no usable Bluetooth stack" not in lines[1]


def test_the_gate_keeps_discovery_calls_apart_from_all_others():
    gate = _gate.CallGate()
    events = []
    shared_in = threading.Event()
    release_shared = threading.Event()

    def shared_call():
        with gate.shared():
            events.append("shared in")
            shared_in.set()
            release_shared.wait(5)
            events.append("shared out")

    def exclusive_call():
        with gate.exclusive():
            events.append("exclusive")

    def later_shared_call():
        with gate.shared():
            events.append("later shared")

    first = threading.Thread(target=shared_call)
    first.start()
    shared_in.wait(5)
    exclusive = threading.Thread(target=exclusive_call)
    exclusive.start()
    while not gate._exclusive_waiting:
        time.sleep(0.001)
    later = threading.Thread(target=later_shared_call)
    later.start()
    time.sleep(0.1)  # the later call must queue behind the waiting exclusive one
    release_shared.set()
    for thread in (first, exclusive, later):
        thread.join(5)
    assert events == ["shared in", "shared out", "exclusive", "later shared"]


def api_table(text):
    return [line for line in text.splitlines() if line.startswith("| `")]


def test_the_readme_api_table_is_the_one_help_shows():
    rows = api_table(ostrel.__doc__)
    readme = (TREE / "README.md").read_text()
    assert rows and all(row in readme for row in rows)
    assert len(api_table(readme)) >= len(rows)

    documented = " ".join(rows)
    for prefix, cls in (
        ("Library", ostrel.Library),
        ("Unit", ostrel.Unit),
        ("Unit.memory", ostrel.Memory),
        ("Stream", ostrel.Stream),
        ("Recording", ostrel.Samples),
    ):
        for member in vars(cls):
            if not member.startswith("_"):
                assert re.search(
                    rf"`{re.escape(prefix)}\.{member}\b", documented
                ), f"{prefix}.{member} is not in the table"
    for name in ostrel.__all__:
        assert f"`{name}" in documented, f"{name} is not in the table"


def test_the_build_step_places_each_library_by_its_header(tmp_path):
    identify = runpy.run_path(str(TREE / "python" / "setup.py"), run_name="ostrel_setup")["identify"]  # no build

    def pe(machine):
        head = bytearray(512)
        head[:2] = b"MZ"
        head[0x3C:0x40] = (0x80).to_bytes(4, "little")
        head[0x80:0x86] = b"PE\0\0" + machine.to_bytes(2, "little")
        return bytes(head)

    files = {
        "elf": (b"\x7fELF\x01\x01" + bytes(64), ("libOstrel_lib.so", None)),
        "x86": (pe(0x014C), ("x86/Ostrel_lib.dll", "win32")),
        "x64": (pe(0x8664), ("x64/Ostrel_lib.dll", "win_amd64")),
    }
    for name, (content, expected) in files.items():
        (tmp_path / name).write_bytes(content)
        assert identify(tmp_path / name) == expected, name
    for content in (pe(0xAA64), b"MZ" + bytes(10), b"#!/bin/sh\n"):
        (tmp_path / "other").write_bytes(content)
        with pytest.raises(SystemExit):
            identify(tmp_path / "other")
