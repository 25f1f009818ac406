"""The library instance: Ostrel_Init to Ostrel_Uninit, the search, and opening units."""

from __future__ import annotations

import atexit
import collections
import ctypes
import locale
import os
import sys
import threading
import warnings
import operator
import weakref
from typing import Any, Deque, Dict, List, Optional, Tuple, Union

from . import _interrupt, _loader
from ._gate import CallGate
from .errors import DeviceIOError, Error, NoBluetoothStack, UnitNotFound
from .unit import Unit, _Claim

DEVICE_TYPE = 6
STATUS_OPEN = 3
_NAME_BUFFER = 256
# How often a caller waiting for a search looks up (for Ctrl-C).
_SEARCH_POLL_SECONDS = 0.1

# One instance per process: the library has one, and one Ostrel_Uninit ends
# it for every holder. Every Library of the process refers to it; it ends
# when the last of them is closed or dropped (a notebook cell run again makes
# a second Library while the first still lingers in the cell's history).
_instance: Optional["_Instance"] = None
_instance_lock = threading.RLock()  # finalizers may run on a thread that holds it


def _encoding() -> str:
    # Names cross the interface as 8-bit text in the C runtime's locale.
    return locale.getpreferredencoding(False) or "utf-8"


def _same_file(path: Union[str, os.PathLike], loaded: str) -> bool:
    try:
        return os.path.samefile(path, loaded)
    except OSError:
        return False


def _no_stack_hint() -> str:
    if sys.platform == "win32":
        return (
            "no usable Bluetooth stack: no Bluetooth radio was found, and ZEL_WidI.dll (the Widcomm "
            "stack's shim) is neither beside Ostrel_lib.dll, beside python.exe nor on PATH"
            + (f"; {_loader.shim_problem}" if _loader.shim_problem else "")
        )
    return (
        "no usable Bluetooth stack: BlueZ does not answer on the system bus or has no powered adapter, "
        "and libZEL_WidI.so is not on the library path (for the simulated units put its folder on "
        "LD_LIBRARY_PATH before Python starts; scripts/demo shows how)"
    )


def _init_failure(lib: ctypes.CDLL) -> Error:
    """What an Ostrel_Init that returned null raises: the library's own reason
    when its named objects stood in the way, else NoBluetoothStack."""
    reason = getattr(lib, "Ostrel_GetInitFailure", None)
    if reason is not None:
        reason.restype, reason.argtypes = ctypes.c_int, (ctypes.c_char_p, ctypes.c_int)
        text = ctypes.create_string_buffer(1024)
        if reason(text, len(text)) == 2:  # OSTREL_INIT_NAMED_OBJECTS
            return Error(text.value.decode(_encoding(), "replace"), export="Ostrel_Init")
    return NoBluetoothStack(_no_stack_hint(), export="Ostrel_Init")


class _Instance:
    """The library's instance from Ostrel_Init to Ostrel_Uninit, with what
    every Library of the process shares (the units, the last search) and what
    the finalizers of dropped Units and Libraries need (they must not hold
    those objects)."""

    def __init__(self, lib: ctypes.CDLL, path: str) -> None:
        self.lib = lib
        self.path = path
        self.handle: Optional[int] = None
        self.gate = CallGate()
        self.holders = 0  # Library objects not closed nor dropped
        self.units: "weakref.WeakValueDictionary[str, Unit]" = weakref.WeakValueDictionary()
        self.last_search: Optional[List[str]] = None
        # Units dropped while open on a thread that could not close them then.
        self.dropped: Deque[_Claim] = collections.deque()

    def close_claim(self, claim: _Claim) -> None:
        with self.gate.shared():
            result = self.lib.Ostrel_Device_Close(claim.handle)
        if result != 0 and self.handle is not None:
            warnings.warn(
                f"unit {claim.name} was dropped open and did not close (Ostrel_Device_Close returned {result}); "
                "the library closes it when it ends",
                RuntimeWarning,
                stacklevel=2,
            )

    def release_dropped(self) -> None:
        """Closes the dropped units this thread may close, unless this thread is
        at the gate already (a finalizer inside a call)."""
        if not self.gate.idle_here():
            return
        for claim in list(self.dropped):
            if claim.closable_here():
                try:
                    self.dropped.remove(claim)
                except ValueError:
                    continue  # another thread took it
                self.close_claim(claim)

    def let_go(self) -> bool:
        """One Library less; whether it was the last."""
        with _instance_lock:
            self.holders -= 1
            return self.holders <= 0

    def finish(self) -> None:
        """Closes every unit this thread may close (or whose thread has ended),
        then the library. Units that other threads still hold are left to the
        library, which refuses their handles from then on."""
        for unit in [unit for unit in list(self.units.values()) if unit.open]:
            if unit._owned_here() or not unit.thread.is_alive():
                try:
                    unit.close()
                    continue
                except Error as error:
                    problem = f"unit {unit.name} did not close ({error})"
            else:
                problem = f"unit {unit.name} is open on thread {unit.thread.name}"
            # Ostrel_Uninit closes what it can and refuses the other handles from then on.
            warnings.warn(f"{problem}: closing the Library ends it", RuntimeWarning, stacklevel=3)
            unit._detach()
        self.end()

    def end(self) -> None:
        """Ostrel_Uninit, after the dropped units this thread may close."""
        global _instance
        if self.handle is None:
            return
        self.release_dropped()
        for claim in self.dropped:
            warnings.warn(
                f"unit {claim.name} was dropped open on thread {claim.owner.name}, which alone may close it: "
                "ending the library leaves it to the library",
                RuntimeWarning,
                stacklevel=3,
            )
        self.dropped.clear()
        with self.gate.exclusive():
            self.lib.Ostrel_Uninit(self.handle)
        self.handle = None
        with _instance_lock:
            if _instance is self:
                _instance = None


def _library_dropped(instance: _Instance) -> None:
    # A Library nobody refers to (its Units are gone too: each holds it).
    # The last one ends the instance here unless this thread is inside a
    # call; else the next Library() takes it on, or it ends at exit.
    if instance.let_go() and instance.gate.idle_here():
        try:
            instance.finish()
        except Error:
            pass


class Library:
    """The library, initialised (``Ostrel_Init``) until ``close()``.

    ``with ostrel.Library() as lib:`` closes it at the end; one left open is
    closed at interpreter exit. The process holds one instance of the
    library: a second Library() made while one is open (a notebook cell run
    again) refers to the same instance, with the same units, and units opened
    through either stay valid. The instance ends (``Ostrel_Uninit``, after
    the units this thread may close) when the last Library referring to it
    is closed or dropped. ``path`` names the library file; without it the
    package looks in OSTREL_LIBRARY, then its own copy, then the system's
    search path (a second Library takes the file the first one loaded).
    """

    def __init__(self, path: Optional[Union[str, os.PathLike]] = None) -> None:
        global _instance
        self._closed = False
        with _instance_lock:
            shared = _instance if _instance is not None and _instance.handle is not None else None
            if shared is not None and path is not None and not _same_file(path, shared.path):
                raise Error(
                    f"a Library of {shared.path} is open in this process, and a process holds one library: "
                    "close every Library first, or make this one without a path"
                )
            lib, self.path = (shared.lib, shared.path) if shared is not None else _loader.load(path)
            if shared is None:
                shared = _Instance(lib, self.path)
                with shared.gate.exclusive():
                    handle = lib.Ostrel_Init()
                if not handle:
                    raise _init_failure(lib)
                shared.handle = handle
                _instance = shared
            shared.holders += 1
        self._instance = shared
        self._lib, self._gate = lib, shared.gate
        self._finalizer = weakref.finalize(self, _library_dropped, self._instance)
        self._finalizer.atexit = False  # _close_at_exit does it, in order

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self.units)} unit(s) open"
        return f"<ostrel.Library {self.path!r}, {state}>"

    def __enter__(self) -> "Library":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def _handle(self) -> Optional[int]:
        return None if self._closed else self._instance.handle

    @property
    def closed(self) -> bool:
        """Whether this Library was closed, or the instance ended."""
        return self._handle is None

    @property
    def version(self) -> Tuple[int, int]:
        """The library's version, (major, minor)."""
        major, minor = ctypes.c_short(), ctypes.c_short()
        self._lib.Ostrel_GetDLLVersion(None, ctypes.byref(major), ctypes.byref(minor))
        return major.value, minor.value

    @property
    def trace_threshold(self) -> int:
        """The library's trace threshold: at 10 or less it traces what it does
        (standard error on Linux, the debugger output on Windows). Starts at 100."""
        threshold = ctypes.c_int()
        with self._gate.shared():
            self._lib.Ostrel_Diags_GetDebugTraceThreshold(None, ctypes.byref(threshold))
        return threshold.value

    @trace_threshold.setter
    def trace_threshold(self, threshold: int) -> None:
        with self._gate.shared():
            self._lib.Ostrel_Diags_SetDebugTraceThreshold(None, operator.index(threshold))

    @property
    def units(self) -> List[Unit]:
        """The units open now (through any Library of the process)."""
        self._instance.release_dropped()
        return [unit for unit in list(self._instance.units.values()) if unit.open]

    def _require_open(self, export: str) -> None:
        if self._handle is None:
            raise Error("the Library is closed", export=export, outcome="not called")
        self._instance.release_dropped()

    def _unit(self, name: str) -> Unit:
        unit = self._instance.units.get(name)
        if unit is None:
            unit = self._instance.units[name] = Unit(self, name)
        return unit

    # ----------------------------------------------------------- discovery

    def search(self) -> List[Unit]:
        """Searches for units (about 15 s on the Widcomm stack, 7.7 s on the
        Microsoft stack) and returns them: those not open, then those open
        in this process. Any thread; other calls wait while it runs.

        Ctrl-C ends the wait at once; the search itself runs on to its end
        on a thread of its own (the library cannot cut it short), and calls
        of the library wait for it."""
        self._require_open("Ostrel_SearchForDevices")
        outcome: Dict[str, Any] = {}

        def search_here() -> None:
            try:
                outcome["names"] = self._search_now()
            except BaseException as error:  # handed to the caller
                outcome["error"] = error

        worker = threading.Thread(target=search_here, name="ostrel search")
        worker.start()
        while worker.is_alive():
            worker.join(_SEARCH_POLL_SECONDS)  # Ctrl-C lands between the waits
        if "error" in outcome:
            raise outcome["error"]
        return [self._unit(name) for name in outcome["names"]]

    def _search_now(self) -> List[str]:
        stamp, count = ctypes.c_int(), ctypes.c_int()
        with self._gate.exclusive():
            result = self._lib.Ostrel_SearchForDevices(self._handle, DEVICE_TYPE, 0, ctypes.byref(stamp))
            if result != 0:
                raise Error(export="Ostrel_SearchForDevices", result=result)
            snapshot = self._lib.Ostrel_OpenDeviceListSnapshot(
                self._handle, DEVICE_TYPE, ctypes.byref(count), ctypes.byref(stamp)
            )
            if not snapshot:
                raise Error(export="Ostrel_OpenDeviceListSnapshot")
            try:
                entries = [self._entry(snapshot, n) for n in range(count.value)]
            finally:
                self._lib.Ostrel_CloseDeviceListSnapshot(snapshot)
        self._instance.last_search = [name for name, _ in entries]
        return self._instance.last_search

    def _entry(self, snapshot: int, n: int) -> Tuple[str, int]:
        name = ctypes.create_string_buffer(_NAME_BUFFER)
        status = ctypes.c_int()
        result = self._lib.Ostrel_DeviceListSnapshot_GetNthEntry(snapshot, n, name, _NAME_BUFFER, ctypes.byref(status))
        if result != 0:
            raise Error(
                export="Ostrel_DeviceListSnapshot_GetNthEntry",
                call=f"Ostrel_DeviceListSnapshot_GetNthEntry({n})",
                result=result,
            )
        return name.value.decode(_encoding(), errors="replace"), status.value

    def open(self, unit: Union[str, Unit]) -> Unit:
        """Opens a unit by name (or a Unit that ``search()`` returned) on this
        thread, which alone may use it until it is closed. Searches first when
        the last search did not list the name. The open itself takes about
        4 s on the Widcomm stack.

        ``UnitNotFound`` when no unit of that name is in reach;
        ``DeviceIOError`` when the unit did not answer or a data sheet failed."""
        name = unit.name if isinstance(unit, Unit) else str(unit)
        export = "Ostrel_Device_Open"
        call = f'{export}("{name}")'
        self._require_open(export)
        known = self._instance.units.get(name)
        if known is not None and known.open:
            raise Error(f"unit {name} is open already", export=export, call=call, outcome="not called")
        if self._instance.last_search is None or name not in self._instance.last_search:
            self.search()
        encoded = name.encode(_encoding())
        opened = self._unit(name)
        try:
            # Ctrl-C lands only once the handle is the Unit's (the open itself
            # cannot be cut short); the unit is then closed again.
            with _interrupt.held():
                with self._gate.exclusive():
                    handle = self._lib.Ostrel_Device_Open(self._handle, encoded)
                if handle:
                    opened._attach(handle)
        except BaseException:
            if opened.open:
                with _interrupt.held(absorb=True):
                    opened.close()
            raise
        if not handle:
            found = self._instance.last_search or []
            if name not in found:
                listed = "it found " + ", ".join(found) if found else "it found none"
                raise UnitNotFound(f"no unit of that name in the last search ({listed})", export=export, call=call)
            raise DeviceIOError(
                "the unit did not answer within 2000 ms or a data sheet failed its check; is it on, in reach "
                "and not in use by another program? (Library.trace_threshold = 10 tells which)",
                export=export,
                call=call,
            )
        return opened

    # ------------------------------------------------------------- closing

    def close(self) -> None:
        """Lets go of the instance; closing the last Library of the process
        closes every unit this thread opened (or whose thread has ended),
        then the library (``Ostrel_Uninit``). Units that other threads still
        hold are left to the library, which refuses their handles from then
        on. Closing twice is harmless."""
        if self._handle is None:
            return
        self._closed = True
        self._finalizer.detach()
        if self._instance.let_go():
            self._instance.finish()


@atexit.register
def _close_at_exit() -> None:
    # Runs on the main thread after the other (non-daemon) threads ended.
    try:
        if _instance is not None:
            _instance.finish()
    except Error as error:
        print(f"ostrel: closing at exit: {error}", file=sys.stderr)
