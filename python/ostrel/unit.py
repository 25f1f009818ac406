"""An open unit: its period, data sheets, measurements, memory and raw commands."""

from __future__ import annotations

import ctypes
import math
import threading
import time
from typing import TYPE_CHECKING, Iterable, List, Optional, Sequence, Type, Union

from . import _acquire, _text, datasheet
from .datasheet import DataSheet
from .errors import DeviceIOError, Error, WrongThread
from .samples import Recording

if TYPE_CHECKING:
    from .library import Library

Channels = Union[str, int, Iterable[int]]

PERIOD_TIMEOUT_MS = 2000
# What Ostrel_Device_GetMeasurementPeriod stores when the unit did not answer.
NO_PERIOD = 1000000.0
MAX_PARAMETER_BYTES = 250
# Big enough for the largest response a unit sends (a whole memory read).
RESPONSE_CAPACITY = 65536
UNIT_MEMORY = -1
# Bytes per memory read: the most one read request can ask for (a 16-bit
# count), so every block the unit has is read in one call.
READ_PIECE = 65535


def _milliseconds(seconds: float) -> int:
    if not (seconds >= 0) or math.isinf(seconds):
        raise ValueError(f"timeout {seconds!r}: give seconds, 0 or more")
    return min(int(round(seconds * 1000)), 0xFFFFFFFF)


def _byte_array(data: bytes):
    return (ctypes.c_ubyte * len(data)).from_buffer_copy(data) if data else None


class Unit:
    """A Pellucor unit: one the search found, and once opened (``Library.open``)
    the unit in use.

    An open unit belongs to the thread that opened it: every call from
    another thread raises ``WrongThread`` before the library is called.
    ``with unit:`` closes it at the end; closing twice is harmless.
    """

    def __init__(self, library: "Library", name: str) -> None:
        self._library = library
        self.name = name
        self._handle: Optional[int] = None
        self._owner: Optional[threading.Thread] = None
        self._channel_range = (0, -1)
        self._acquisition: Optional[_acquire.Acquisition] = None
        self.memory = Memory(self)

    def __repr__(self) -> str:
        return f"Unit(name={self.name!r}, open={self.open})"

    # ------------------------------------------------------------ state

    @property
    def open(self) -> bool:
        """Whether this unit is open (in this process)."""
        return self._handle is not None

    @property
    def thread(self) -> Optional[threading.Thread]:
        """The thread that opened the unit and alone may use it, or None."""
        return self._owner

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Stops measurements if they run and closes the unit (``Ostrel_Device_Close``),
        on the thread that opened it. Closing a unit that is not open does nothing."""
        if self._handle is None:
            return
        self._require_owner("Ostrel_Device_Close", allow_orphan=True)
        if self._acquisition is not None:
            self._acquisition.abandon()  # Ostrel_Device_Close stops the unit itself
            self._acquisition = None
        call = f'Ostrel_Device_Close("{self.name}")'
        with self._library._gate.shared():
            result = self._library._lib.Ostrel_Device_Close(self._handle)
        if result != 0:
            raise Error(
                "the device list stayed busy; the unit stays open",
                export="Ostrel_Device_Close",
                call=call,
                result=result,
            )
        self._detach()

    def _attach(self, handle: int) -> None:
        self._handle = handle
        self._owner = threading.current_thread()
        first, last = ctypes.c_int(), ctypes.c_int()
        self._check("Ostrel_Device_GetChannelRange", ctypes.byref(first), ctypes.byref(last))
        self._channel_range = (first.value, last.value)

    def _detach(self) -> None:
        if self._acquisition is not None:
            self._acquisition.abandon()
            self._acquisition = None
        self._handle = None
        self._owner = None

    # ------------------------------------------------- calls of the library

    def _owned_here(self) -> bool:
        return self._owner is threading.current_thread()

    def _require_owner(self, export: str, allow_orphan: bool = False) -> None:
        if self._handle is None:
            raise Error(
                f"unit {self.name} is not open (open it with Library.open)", export=export, outcome="not called"
            )
        owner = self._owner
        if owner is threading.current_thread():
            return
        if allow_orphan and owner is not None and not owner.is_alive():
            return  # its claim was abandoned with its thread: any thread may close it
        gone = "" if owner is None or owner.is_alive() else ", which has ended"
        raise WrongThread(
            f"unit {self.name} belongs to the thread that opened it ({owner.name if owner else '?'}{gone}), "
            f"not to {threading.current_thread().name}: use it there, or close it and open it on this thread",
            export=export,
            outcome="not called",
        )

    def _call(self, export: str, *args) -> int:
        """Runs one guarded per-device export on the owning thread."""
        self._require_owner(export)
        with self._library._gate.shared():
            return getattr(self._library._lib, export)(self._handle, *args)

    def _check(
        self,
        export: str,
        *args,
        call: Optional[str] = None,
        error: Type[Error] = Error,
        hint: str = "",
    ) -> None:
        """Runs the export and raises ``error`` unless it returned 0."""
        result = self._call(export, *args)
        if result != 0:
            raise error(hint, export=export, call=call, result=result)

    def _calibrate(self, channel: int, raws: Sequence[int]) -> List[float]:
        """Calibrated values of raw readings, with the library's own arithmetic."""
        self._require_owner("Ostrel_Device_CalibrateData2")
        calibrate = self._library._lib.Ostrel_Device_CalibrateData2
        handle = self._handle
        with self._library._gate.shared():
            return [calibrate(handle, channel, raw) for raw in raws]

    def _constant(self, export: str) -> float:
        with self._library._gate.shared():
            return getattr(self._library._lib, export)(None)

    # ------------------------------------------------------------- channels

    @property
    def channels(self) -> List[int]:
        """The unit's sensor channels (3 to 7)."""
        first, last = self._channel_range
        return list(range(first, last + 1))

    def _channel_list(self, channels: Channels) -> List[int]:
        if isinstance(channels, str):
            if channels != "all":
                raise ValueError(f"channels {channels!r}: give 'all', a channel or a list of channels")
            return self.channels
        wanted = [channels] if isinstance(channels, int) else list(channels)
        chosen: List[int] = []
        for channel in wanted:
            self._sensor_channel(channel)
            if channel not in chosen:
                chosen.append(channel)
        if not chosen:
            raise ValueError("no channels given")
        return chosen

    def _sensor_channel(self, channel: int) -> None:
        first, last = self._channel_range
        if isinstance(channel, bool) or not isinstance(channel, int) or not first <= channel <= last:
            raise ValueError(f"channel {channel!r} is not a sensor channel ({first} to {last})")

    # --------------------------------------------------------------- period

    @property
    def period(self) -> float:
        """The measurement period in seconds, as the unit reports it.

        Setting it (0.001 to 65.535 s) sends it to the unit, which keeps it
        to its 1 ms tick; reading it back gives what the unit took."""
        seconds = ctypes.c_double()
        export = "Ostrel_Device_GetMeasurementPeriod"
        self._check(export, ctypes.byref(seconds), PERIOD_TIMEOUT_MS)
        if not 0 < seconds.value < NO_PERIOD:
            raise DeviceIOError(
                "the unit did not answer within 2000 ms", export=export, result=0, outcome="gave no period"
            )
        return seconds.value

    @period.setter
    def period(self, seconds: float) -> None:
        shortest = self._constant("Ostrel_Device_GetMinimumMeasurementPeriod")
        longest = self._constant("Ostrel_Device_GetMaximumMeasurementPeriod")
        if not shortest <= seconds <= longest:
            raise ValueError(f"period {seconds!r} s is outside {shortest:g} to {longest:g} s")
        export = "Ostrel_Device_SetMeasurementPeriod"
        self._check(
            export,
            float(seconds),
            PERIOD_TIMEOUT_MS,
            call=f"{export}({_text.short_number(seconds)} s)",
            error=DeviceIOError,
            hint="the unit did not answer within 2000 ms",
        )

    # ---------------------------------------------------------- data sheets

    def data_sheet(self, channel: int) -> DataSheet:
        """Every field of a sensor channel's data sheet as the library holds it,
        the calibration page in use, its units, and whether the checksum holds."""
        self._sensor_channel(channel)
        return datasheet.read(self, channel)

    # --------------------------------------------------------- measurements

    def record(self, seconds: float, channels: Channels = "all", raw: bool = False) -> Recording:
        """Measures for ``seconds`` (of samples, at the unit's period) and returns
        every sample: ``time`` (n,) and ``values`` (n, channels), calibrated in
        the sensors' units, or with ``raw=True`` the raw readings as integers.

        The unit is started, and stopped again before this returns, also on
        failure. ``DeviceIOError`` when a channel stops sending."""
        if not (seconds > 0) or math.isinf(seconds):
            raise ValueError(f"seconds {seconds!r}: give a duration above 0")
        acquisition = self._begin_acquisition(channels, raw)
        try:
            return acquisition.record(seconds)
        finally:
            if self._acquisition is acquisition:
                self._acquisition = None

    def stream(self, channels: Channels = "all", raw: bool = False) -> _acquire.Stream:
        """Starts measurements and yields ``Block``s of samples as they arrive,
        until the loop ends (``break``) or the stream is closed; the unit is
        stopped then. Time stamps count from the first sample after the start."""
        return _acquire.Stream(self._begin_acquisition(channels, raw))

    def _begin_acquisition(self, channels: Channels, raw: bool) -> _acquire.Acquisition:
        chosen = self._channel_list(channels)
        self._require_owner("Ostrel_Device_SendCmd")
        if self._acquisition is not None and not self._acquisition.ended:
            raise Error(f"unit {self.name} is measuring already: close its stream first")
        self._acquisition = _acquire.Acquisition(self, chosen, bool(raw))
        return self._acquisition

    def _end_acquisition(self, acquisition: _acquire.Acquisition, quietly: bool) -> None:
        if self._acquisition is acquisition:
            self._acquisition = None
        if self._handle is None:
            acquisition.abandon()
        elif quietly:
            acquisition.stop_quietly()
        else:
            acquisition.stop()

    # ------------------------------------------------------------- commands

    def command(self, code: int, params: bytes = b"", timeout: float = 2.0) -> bytes:
        """Sends one raw command (code 0-255, up to 250 parameter bytes) and
        returns its response's payload. ``DeviceIOError`` when the unit does
        not answer within ``timeout`` seconds or reports an error."""
        if isinstance(code, bool) or not isinstance(code, int) or not 0 <= code <= 255:
            raise ValueError(f"command code {code!r}: give 0 to 255")
        params = bytes(params)
        if len(params) > MAX_PARAMETER_BYTES:
            raise ValueError(f"{len(params)} parameter bytes; a command carries at most {MAX_PARAMETER_BYTES}")
        return self._exchange(code, params, _milliseconds(timeout))

    def _exchange(self, code: int, params: bytes, ms: int, what: str = "") -> bytes:
        """Sends a command and collects its response, so that no response is
        left behind to answer a later command."""
        code_text = f"0x{code:02x}"
        sent = f"Ostrel_Device_SendCmd({code_text}{what and ', ' + what})"
        signature = ctypes.c_int()
        self._check(
            "Ostrel_Device_SendCmd",
            code,
            _byte_array(params),
            len(params),
            ctypes.byref(signature),
            call=sent,
            error=DeviceIOError,
            hint="the link to the unit failed",
        )
        # Waiting here rather than in SendCmdAndGetResponse tells a silent
        # unit from one that reported an error, and keeps the error's payload.
        export = "Ostrel_Device_GetNextResponse"
        call = f"{export}({code_text}{what and ', ' + what})"
        response = (ctypes.c_ubyte * RESPONSE_CAPACITY)()
        size = ctypes.c_int()
        echo, error_flag = ctypes.c_ubyte(), ctypes.c_ubyte()
        expected = ctypes.c_int(signature.value)
        deadline = time.monotonic() + ms / 1000
        while True:
            size.value = RESPONSE_CAPACITY
            left = max(0, int((deadline - time.monotonic()) * 1000))
            result = self._call(
                export,
                response,
                ctypes.byref(size),
                ctypes.byref(echo),
                ctypes.byref(error_flag),
                ctypes.byref(expected),
                left,
            )
            # A failure long before the time-out is an older command's response
            # (its signature differs), taken off the queue: wait on for ours.
            if result == 0 or time.monotonic() >= deadline - 0.05:
                break
        if result != 0:
            raise DeviceIOError(f"the unit did not answer within {ms} ms", export=export, call=call, result=result)
        payload = bytes(response[: max(size.value, 0)])
        if error_flag.value:
            raise DeviceIOError(
                f"the unit reported an error for command {code_text}"
                + (f": {_text.hex_bytes(payload)}" if payload else ""),
                export=export,
                call=call,
                result=0,
                outcome="gave an error response",
            )
        if echo.value != code:
            raise DeviceIOError(
                f"the response answers command 0x{echo.value:02x}, not {code_text}",
                export=export,
                call=call,
                result=0,
                outcome="gave another command's response",
            )
        return payload


class Memory:
    """The unit's non-volatile memory: block -1 is the unit's own (24576
    bytes, readable and writable), blocks 1-7 the sensors' data sheets
    (128 bytes each, read only)."""

    def __init__(self, unit: Unit) -> None:
        self._unit = unit

    def range(self, block: int = UNIT_MEMORY) -> range:
        """The block's addresses, e.g. range(0, 24576) for block -1; empty for
        a number that is not a block of this unit."""
        first, last = ctypes.c_int(), ctypes.c_int()
        self._unit._check(
            "Ostrel_Device_NVMemBlk_GetAddrRange",
            int(block),
            ctypes.byref(first),
            ctypes.byref(last),
            call=f"Ostrel_Device_NVMemBlk_GetAddrRange(block {block})",
        )
        return range(first.value, last.value + 1) if last.value > first.value else range(0)

    def _span(self, block: int, address: int, count: int) -> None:
        addresses = self.range(block)
        if not addresses:
            raise ValueError(
                f"block {block} is not a memory block of this unit (-1 for its memory, 1-7 for data sheets)"
            )
        if count <= 0 or address < addresses.start or address + count > addresses.stop:
            raise ValueError(
                f"{count} bytes from address 0x{address:04x} do not fit block {block} "
                f"(0x{addresses.start:04x}-0x{addresses.stop - 1:04x})"
            )

    def read(
        self, address: int = 0, count: Optional[int] = None, *, block: int = UNIT_MEMORY, timeout: float = 5.0
    ) -> bytes:
        """Reads ``count`` bytes of a block from ``address`` (all the rest of
        the block when count is None), within ``timeout`` seconds in all."""
        if count is None:
            count = self.range(block).stop - address
        self._span(block, address, count)
        ms = _milliseconds(timeout)
        deadline = time.monotonic() + ms / 1000
        data = bytearray()
        for start in range(address, address + count, READ_PIECE):
            piece = min(READ_PIECE, address + count - start)
            left = max(0, int((deadline - time.monotonic()) * 1000))
            buffer = (ctypes.c_ubyte * piece)()
            self._unit._check(
                "Ostrel_Device_NVMemBlk_Read",
                block,
                buffer,
                start,
                piece,
                left,
                call=f"Ostrel_Device_NVMemBlk_Read(block {block}, 0x{start:04x}, {piece} bytes)",
                error=DeviceIOError,
                hint=f"the unit did not send them all within {ms} ms, or refused the read",
            )
            data += bytes(buffer)
        return bytes(data)

    def write(self, address: int, data: bytes, *, timeout: float = 5.0) -> None:
        """Writes bytes to the unit's own memory (block -1) from ``address``."""
        data = bytes(data)
        self._span(UNIT_MEMORY, address, len(data))
        ms = _milliseconds(timeout)
        self._unit._check(
            "Ostrel_Device_NVMemBlk_Write",
            UNIT_MEMORY,
            _byte_array(data),
            address,
            len(data),
            ms,
            call=f"Ostrel_Device_NVMemBlk_Write(block -1, 0x{address:04x}, {len(data)} bytes)",
            error=DeviceIOError,
            hint=f"the unit did not confirm the write within {ms} ms, or refused it",
        )
