"""The package itself: where it finds the library, how its build places one,
one instance at a time, its failure without a stack, the call gate, and its
documented API."""

import contextlib
import importlib.metadata
import inspect
import os
import re
import runpy
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import ostrel
from ostrel import _gate, _interrupt, _loader

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


def test_a_second_library_shares_the_instance_until_the_last_one_goes():
    first = ostrel.Library()
    second = ostrel.Library()  # a notebook cell run again, the first still bound
    instance = first._instance
    assert second._instance is instance and instance.handle is not None
    first.close()
    assert first.closed and not second.closed and instance.handle is not None
    second.trace_threshold = 10
    assert second.trace_threshold == 10
    second.trace_threshold = 100
    with pytest.raises(ostrel.Error, match="open in this process"):
        ostrel.Library(TREE / "no" / "such" / "library.so")  # a second file would be a second library
    del second  # dropped, the last one: the instance ends
    assert instance.handle is None
    with ostrel.Library() as again:
        assert again._instance is not instance and again.trace_threshold == 100


def test_a_library_nothing_refers_to_is_no_obstacle_to_a_new_one():
    assert ostrel.Library().version == (0, 73)  # dropped at once
    lib = ostrel.Library()
    lib = None  # as a notebook cell run again rebinds its name
    with ostrel.Library() as again:
        assert not again.closed


def test_a_package_built_before_the_library_names_the_missing_copy(monkeypatch, tmp_path):
    monkeypatch.delenv("OSTREL_LIBRARY", raising=False)
    monkeypatch.setattr(_loader, "PACKAGE_COPY", tmp_path / "_lib")
    with pytest.raises(ostrel.Error) as error:
        ostrel.Library()
    assert f"the package holds no copy of the library ({tmp_path / '_lib' / 'libOstrel_lib.so'} is missing)" in str(
        error.value
    )


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


@pytest.mark.parametrize(
    "handler, absorb, raised, own_calls",
    [
        (signal.default_int_handler, False, KeyboardInterrupt, 0),
        (signal.default_int_handler, True, None, 0),
        (signal.SIG_IGN, False, None, 0),
        ("own", False, None, 1),
    ],
    ids=["raised at the end", "absorbed", "ignored as before", "the program's own handler"],
)
def test_ctrl_c_held_back_goes_where_it_went_before(monkeypatch, handler, absorb, raised, own_calls):
    calls = []
    previous = signal.signal(signal.SIGINT, (lambda *_: calls.append(1)) if handler == "own" else handler)
    try:
        with pytest.raises(raised) if raised else contextlib.nullcontext():
            with _interrupt.held(absorb=absorb):
                signal.raise_signal(signal.SIGINT)
                time.sleep(0.01)  # nothing here may be cut short
                calls.append("held")
        assert calls == ["held"] + [1] * own_calls
        default = handler is signal.default_int_handler
        with pytest.raises(KeyboardInterrupt) if default else contextlib.nullcontext():
            with _interrupt.held() as interrupted:
                signal.raise_signal(signal.SIGINT)
                interrupted()  # the place the holder chose
                calls.append("went on")
    finally:
        signal.signal(signal.SIGINT, previous)


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


def documented_signatures(rows):
    """(owner, member, signature) of every row that shows one in full."""
    for name, arguments in re.findall(r"`([A-Za-z.]+)\(([^`]*)\)`", " ".join(rows)):
        if arguments != "..." and "." in name:
            owner, member = name.rsplit(".", 1)
            yield owner, member, f"({arguments})"


def test_the_table_shows_each_signature_as_it_is():
    owners = {"Library": ostrel.Library, "Unit": ostrel.Unit, "Unit.memory": ostrel.Memory}
    owners.update({"Stream": ostrel.Stream, "Recording": ostrel.Samples, "Block": ostrel.Samples})
    checked = 0
    for owner, member, shown in documented_signatures(api_table(ostrel.__doc__)):
        signature = inspect.signature(getattr(owners[owner], member))
        plain = [p.replace(annotation=p.empty) for p in signature.parameters.values() if p.name != "self"]
        assert str(signature.replace(parameters=plain, return_annotation=signature.empty)) == shown, member
        checked += 1
    assert checked >= 10


def test_the_installed_library_is_stripped_and_tagged_for_the_glibc_it_needs():
    copy = _loader.package_copy().read_bytes()
    assert b".symtab" not in copy and b".debug_info" not in copy
    tags = [line.split(": ")[1] for line in importlib.metadata.distribution("ostrel").read_text("WHEEL").splitlines()
            if line.startswith("Tag: ")]
    needed = max((int(a), int(b)) for a, b in re.findall(rb"GLIBC_(\d+)\.(\d+)", copy))
    assert tags == [f"py3-none-manylinux_{needed[0]}_{needed[1]}_x86_64"]


@pytest.mark.parametrize(
    "windows, bits, expected",
    [(False, 64, "_lib/libOstrel_lib.so"), (True, 32, "_lib/x86/Ostrel_lib.dll"), (True, 64, "_lib/x64/Ostrel_lib.dll")],
)
def test_the_copy_is_chosen_by_system_and_bitness(monkeypatch, windows, bits, expected):
    monkeypatch.setattr(_loader, "_is_windows", lambda: windows)
    monkeypatch.setattr(_loader, "_bits", lambda: bits)
    assert _loader.package_copy().as_posix().endswith("/ostrel/" + expected)


def test_a_widcomm_shim_is_taken_from_beside_the_dll(monkeypatch, tmp_path):
    monkeypatch.setattr(_loader, "_is_windows", lambda: True)
    dll = tmp_path / "Ostrel_lib.dll"
    assert _loader.shim_beside(str(dll)) is None and _loader.shim_beside("Ostrel_lib.dll") is None
    (tmp_path / "ZEL_WidI.dll").write_bytes(b"MZ")
    assert _loader.shim_beside(str(dll)) == tmp_path / "ZEL_WidI.dll"


def setup_module_namespace():
    return runpy.run_path(str(TREE / "python" / "setup.py"), run_name="ostrel_setup")  # no build


@pytest.mark.parametrize(
    "bundle, platform, outcome",
    [
        (None, "win32", "no Ostrel_lib.dll to put into the package"),
        ("none", "win32", []),
        (None, "linux", []),
    ],
    ids=["windows refuses to build without DLLs", "unless asked to", "linux builds without"],
)
def test_the_build_step_refuses_a_windows_package_without_dlls(monkeypatch, tmp_path, bundle, platform, outcome):
    namespace = setup_module_namespace()
    monkeypatch.setitem(namespace["sources"].__globals__, "TREE_BUILD", tmp_path)  # nothing built there
    if bundle is None:
        monkeypatch.delenv("OSTREL_BUNDLE_LIBRARY", raising=False)
    else:
        monkeypatch.setenv("OSTREL_BUNDLE_LIBRARY", bundle)
    if isinstance(outcome, str):
        with pytest.raises(SystemExit, match=outcome):
            namespace["sources"](platform)
    else:
        assert namespace["sources"](platform) == outcome


def test_the_wheel_command_refuses_when_it_cannot_tag_the_wheel(tmp_path):
    code = (
        "import runpy, sys\n"
        "sys.modules['wheel.bdist_wheel'] = sys.modules['setuptools.command.bdist_wheel'] = None\n"
        f"sys.argv = ['setup.py', 'bdist_wheel', '-d', {str(tmp_path)!r}]\n"
        f"runpy.run_path({str(TREE / 'python' / 'setup.py')!r}, run_name='__main__')\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and "could not be tagged" in done.stderr
    assert list(tmp_path.iterdir()) == []


def test_the_build_step_places_each_library_by_its_header(tmp_path):
    identify = setup_module_namespace()["identify"]

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
