"""The library instance: Ostrel_Init to Ostrel_Uninit, the search, and opening units."""

from __future__ import annotations

import atexit
import ctypes
import locale
import os
import sys
import threading
import warnings
from typing import Dict, List, Optional, Tuple, Union

from . import _loader
from ._gate import CallGate
from .errors import DeviceIOError, Error, NoBluetoothStack, UnitNotFound
from .unit import Unit

DEVICE_TYPE = 6
STATUS_OPEN = 3
_NAME_BUFFER = 256

# One instance per process: the library has one, and one Ostrel_Uninit ends
# it for every holder.
_current: Optional["Library"] = None
_current_lock = threading.Lock()


def _encoding() -> str:
    # Names cross the interface as 8-bit text in the C runtime's locale.
    return locale.getpreferredencoding(False) or "utf-8"


def _no_stack_hint() -> str:
    if sys.platform == "win32":
        return (
            "no usable Bluetooth stack: no Bluetooth radio was found, and ZEL_WidI.dll (the Widcomm "
            "stack's shim) is neither beside python.exe nor on the DLL search path"
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


class Library:
    """The library, initialised (``Ostrel_Init``) until ``close()`` (``Ostrel_Uninit``).

    ``with ostrel.Library() as lib:`` closes it at the end, after every unit
    it opened; one left open is closed at interpreter exit. One Library may
    be open in a process at a time. ``path`` names the library file; without
    it the package looks in OSTREL_LIBRARY, then its own copy, then the
    system's search path.
    """

    def __init__(self, path: Optional[Union[str, os.PathLike]] = None) -> None:
        global _current
        self._handle: Optional[int] = None
        self._units: Dict[str, Unit] = {}
        self._last_search: Optional[List[str]] = None
        self._gate = CallGate()
        self._lib, self.path = _loader.load(path)
        with _current_lock:
            if _current is not None:
                raise Error("a Library is open in this process already: use it, or close it first")
            with self._gate.exclusive():
                handle = self._lib.Ostrel_Init()
            if not handle:
                raise _init_failure(self._lib)
            self._handle = handle
            _current = self

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"{len(self.units)} unit(s) open"
        return f"<ostrel.Library {self.path!r}, {state}>"

    def __enter__(self) -> "Library":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        """Whether ``close()`` ended this Library."""
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
            self._lib.Ostrel_Diags_SetDebugTraceThreshold(None, int(threshold))

    @property
    def units(self) -> List[Unit]:
        """The units open now."""
        return [unit for unit in self._units.values() if unit.open]

    def _require_open(self, export: str) -> None:
        if self._handle is None:
            raise Error("the Library is closed", export=export, outcome="not called")

    def _unit(self, name: str) -> Unit:
        unit = self._units.get(name)
        if unit is None:
            unit = self._units[name] = Unit(self, name)
        return unit

    # ----------------------------------------------------------- discovery

    def search(self) -> List[Unit]:
        """Searches for units (about 15 s on the Widcomm stack, 7.7 s on the
        Microsoft stack) and returns them: those not open, then those open
        in this process. Any thread; other calls wait while it runs."""
        self._require_open("Ostrel_SearchForDevices")
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
        self._last_search = [name for name, _ in entries]
        return [self._unit(name) for name, _ in entries]

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
        known = self._units.get(name)
        if known is not None and known.open:
            raise Error(f"unit {name} is open already", export=export, call=call, outcome="not called")
        if self._last_search is None or name not in self._last_search:
            self.search()
        encoded = name.encode(_encoding())
        with self._gate.exclusive():
            handle = self._lib.Ostrel_Device_Open(self._handle, encoded)
        if not handle:
            found = self._last_search or []
            if name not in found:
                listed = "it found " + ", ".join(found) if found else "it found none"
                raise UnitNotFound(f"no unit of that name in the last search ({listed})", export=export, call=call)
            raise DeviceIOError(
                "the unit did not answer within 2000 ms or a data sheet failed its check; is it on, in reach "
                "and not in use by another program? (Library.trace_threshold = 10 tells which)",
                export=export,
                call=call,
            )
        opened = self._unit(name)
        opened._attach(handle)
        return opened

    # ------------------------------------------------------------- closing

    def close(self) -> None:
        """Closes every unit this thread opened (or whose thread has ended),
        then the library (``Ostrel_Uninit``). Units that other threads still
        hold are left to the library, which refuses their handles from then
        on. Closing twice is harmless."""
        global _current
        if self._handle is None:
            return
        for unit in self.units:
            if unit._owned_here() or not unit.thread.is_alive():
                try:
                    unit.close()
                    continue
                except Error as error:
                    problem = f"unit {unit.name} did not close ({error})"
            else:
                problem = f"unit {unit.name} is open on thread {unit.thread.name}"
            # Ostrel_Uninit closes what it can and refuses the other handles from then on.
            warnings.warn(f"{problem}: closing the Library ends it", RuntimeWarning, stacklevel=2)
            unit._detach()
        with self._gate.exclusive():
            self._lib.Ostrel_Uninit(self._handle)
        self._handle = None
        with _current_lock:
            if _current is self:
                _current = None


@atexit.register
def _close_at_exit() -> None:
    # Runs on the main thread after the other (non-daemon) threads ended.
    library = _current
    if library is not None:
        try:
            library.close()
        except Error as error:
            print(f"ostrel: closing at exit: {error}", file=sys.stderr)
