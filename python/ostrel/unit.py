"""An open unit: its period, data sheets, measurements, memory and raw commands."""

from __future__ import annotations

import ctypes
import math
import operator
import threading
import time
import weakref
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Type, Union

import numpy as np

from . import _acquire, _text, datasheet
from ._acquire import DEFAULT_SILENCE, DEFAULT_TIMEOUT
from .datasheet import DataSheet
from .errors import DeviceIOError, Error, WrongThread
from .samples import Recording

if TYPE_CHECKING:
    from .library import Library, _Instance

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
# The longest wait the library takes (unsigned 32-bit milliseconds).
LONGEST_MS = 0xFFFFFFFF
# A response is waited for in slices, so that Ctrl-C is never held up long.
RESPONSE_SLICE_MS = 250


def _milliseconds(seconds: Optional[float]) -> Optional[int]:
    """Milliseconds of a time-out; None (no limit) stays None."""
    seconds = _acquire.seconds_or_none(seconds, "timeout")
    return None if seconds is None else min(int(round(seconds * 1000)), LONGEST_MS)


def _within(ms: Optional[int]) -> str:
    return "in time" if ms is None else f"within {ms} ms"


def _integer(value: Any) -> Optional[int]:
    """An int of anything that is an integer (numpy's too), bool excepted; else None."""
    if isinstance(value, (bool, np.bool_)):
        return None
    try:
        return operator.index(value)
    except TypeError:
        return None


def _whole(value: Any, what: str) -> int:
    number = _integer(value)
    if number is None:
        raise TypeError(f"{what} {value!r}: give an integer")
    return number


def _byte_string(data: Any) -> bytes:
    """bytes of a bytes-like object, or of a sequence of integers 0-255 (numpy's too)."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    return bytes(_whole(value, "byte") for value in data)


def _byte_array(data: bytes):
    return (ctypes.c_ubyte * len(data)).from_buffer_copy(data) if data else None


class _Claim:
    """An open unit's handle and the thread it belongs to: what releasing the
    unit needs once its Unit is gone (a finalizer must not hold the Unit)."""

    __slots__ = ("handle", "owner", "name")

    def __init__(self, handle: int, owner: threading.Thread, name: str) -> None:
        self.handle = handle
        self.owner = owner
        self.name = name

    def closable_here(self) -> bool:
        # A thread that has ended left its claim to any thread.
        return self.owner is threading.current_thread() or not self.owner.is_alive()


def _release(instance: "_Instance", claim: _Claim) -> None:
    """A Unit left open was dropped: close it now where that is safe, else at
    the next call of the package on its thread (the library refuses the close
    on any other)."""
    if claim.closable_here() and instance.gate.idle_here():
        instance.close_claim(claim)
    else:
        instance.dropped.append(claim)


class Unit:
    """A Pellucor unit: one the search found, and once opened (``Library.open``)
    the unit in use.

    An open unit belongs to the thread that opened it: every call from
    another thread raises ``WrongThread`` before the library is called.
    ``with unit:`` closes it at the end; closing twice is harmless. A unit
    dropped while open is closed as soon as its thread may close it.
    """

    def __init__(self, library: "Library", name: str) -> None:
        self._library = library
        self.name = name
        self._handle: Optional[int] = None
        self._owner: Optional[threading.Thread] = None
        self._channel_range = (0, -1)
        self._acquisition: Optional[_acquire.Acquisition] = None
        self._finalizer: Optional[weakref.finalize] = None

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
        """Takes an open handle; from here on it is never lost: closed with the
        unit, or by the finalizer when the Unit is dropped open."""
        self._handle = handle
        self._owner = threading.current_thread()
        claim = _Claim(handle, self._owner, self.name)
        self._finalizer = weakref.finalize(self, _release, self._library._instance, claim)
        self._finalizer.atexit = False  # at exit the Library closes its units
        first, last = ctypes.c_int(), ctypes.c_int()
        self._check("Ostrel_Device_GetChannelRange", ctypes.byref(first), ctypes.byref(last))
        self._channel_range = (first.value, last.value)

    def _reopen(self) -> bool:
        """Closes the handle of a unit whose link was lost and opens the unit
        again by name (the last search's list holds it: no search), keeping
        its run: whether it is open again."""
        if self._handle is not None:
            with self._library._gate.shared():
                # A failed close leaves the handle to the library, which ends it at Ostrel_Uninit.
                self._library._lib.Ostrel_Device_Close(self._handle)
            if self._finalizer is not None:
                self._finalizer.detach()
                self._finalizer = None
            self._handle = None
            self._owner = None
        try:
            self._library.open(self)
        except DeviceIOError:
            return False
        return True

    def _detach(self) -> None:
        if self._acquisition is not None:
            self._acquisition.abandon()
            self._acquisition = None
        if self._finalizer is not None:
            self._finalizer.detach()
            self._finalizer = None
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
        here = threading.current_thread().name
        if owner is not None and not owner.is_alive():
            advice = f"{owner.name}, which has ended), not to {here}: close it (any thread may now) and open it again"
        else:
            advice = (
                f"{owner.name if owner else '?'}), not to {here}: use it there, or close it there and open it "
                "again on this thread"
            )
        raise WrongThread(
            f"unit {self.name} belongs to the thread that opened it ({advice}",
            export=export,
            outcome="not called",
        )

    def _call(self, export: str, *args) -> int:
        """Runs one guarded per-device export on the owning thread."""
        self._require_owner(export)
        instance = self._library._instance
        if instance.dropped:
            instance.release_dropped()
        with instance.gate.shared():
            return getattr(instance.lib, export)(self._handle, *args)

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

    def _convert(self, export: str, channel: int, raws: Sequence[int]) -> List[float]:
        """Volts or calibrated values of raw readings, with the library's own arithmetic."""
        self._require_owner(export)
        convert = getattr(self._library._lib, export)
        handle = self._handle
        with self._library._gate.shared():
            return [convert(handle, channel, raw) for raw in raws]

    def _get_field(self, field: str, channel: int) -> int:
        """A one-byte field of the library's copy of a data sheet."""
        value = ctypes.c_ubyte()
        self._check("Ostrel_Device_DDSMem_Get" + field, channel, ctypes.byref(value))
        return value.value

    def _set_field(self, field: str, channel: int, value: int) -> None:
        """Changes a one-byte field of the library's copy (never the unit's memory)."""
        self._check("Ostrel_Device_DDSMem_Set" + field, channel, value)

    def _constant(self, export: str) -> float:
        with self._library._gate.shared():
            return getattr(self._library._lib, export)(None)

    @property
    def memory(self) -> "Memory":
        """The unit's non-volatile memory."""
        return Memory(self)

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
        single = _integer(channels)
        if single is not None:
            wanted = [single]
        else:
            try:
                wanted = list(channels)
            except TypeError:
                raise ValueError(f"channels {channels!r}: give 'all', a channel or a list of channels") from None
        chosen: List[int] = []
        for channel in wanted:
            number = self._sensor_channel(channel)
            if number not in chosen:
                chosen.append(number)
        if not chosen:
            raise ValueError("no channels given")
        return chosen

    def _sensor_channel(self, channel: Any) -> int:
        first, last = self._channel_range
        number = _integer(channel)
        if number is None or not first <= number <= last:
            raise ValueError(f"channel {channel!r} is not a sensor channel ({first} to {last})")
        return number

    def _measuring(self) -> bool:
        return self._acquisition is not None and not self._acquisition.ended

    def _refuse_while_measuring(self, export: str) -> None:
        # The run stamps sample i at i x its period: a new period in the middle
        # would make every later time stamp wrong without a word.
        if self._measuring():
            raise Error(
                f"unit {self.name} is measuring: a new period would make the time stamps of its run wrong; "
                "close the stream first",
                export=export,
                outcome="not called",
            )

    # --------------------------------------------------------------- period

    @property
    def period(self) -> float:
        """The measurement period in seconds, as the unit reports it.

        Setting it (0.001 to 65.535 s) sends it to the unit, which keeps it
        to its 1 ms tick; reading it back gives what the unit took. Refused
        while a stream or recording of the unit runs."""
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
        self._require_owner("Ostrel_Device_SetMeasurementPeriod")
        self._refuse_while_measuring("Ostrel_Device_SetMeasurementPeriod")
        seconds = float(seconds)
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
        return datasheet.read(self, self._sensor_channel(channel))

    # --------------------------------------------------------- measurements

    def record(
        self,
        seconds: float,
        channels: Channels = "all",
        raw: bool = False,
        *,
        volts: bool = False,
        page: _acquire.Page = None,
        timeout: Optional[float] = DEFAULT_TIMEOUT,
        reconnect: bool = False,
        silence: float = DEFAULT_SILENCE,
    ) -> Recording:
        """Measures for ``seconds`` (of samples, at the unit's period) and returns
        every sample: ``time`` (n,) and ``values`` (n, channels), calibrated in
        the sensors' units; with ``raw=True`` the raw readings as integers,
        with ``volts=True`` the sensors' voltages. ``page`` calibrates with
        another valid page of the data sheet (a number for every channel, or
        ``{channel: page}``; the temperature sheet's page 1 is in degF).

        The unit is started, and stopped again before this returns, also on
        failure. ``DeviceIOError`` when a channel stops sending: no sample for
        ``timeout`` seconds beyond one period (None: no limit).

        A lost link is seen after ``silence`` periods without a sample (at
        least 1 s): a period query whose write fails, or that goes unanswered
        for 2 s. It is a ``DeviceIOError`` naming the unit and what was seen;
        with ``reconnect=True`` the unit is closed and opened again by name,
        with pauses of 1, 2, 4... up to 30 s between tries (logged on the
        "ostrel" logger), set to the same period and started again, until the
        recording's end. Time stamps stay on one wall-clock axis: the rows
        after a gap are stamped from when the unit measured again (to the
        period), ``gaps`` lists each gap's (last time before, first after),
        and the recording holds fewer than ``seconds`` / period rows.

        Nothing measured is lost to an exception: whatever ends the run
        (Ctrl-C's KeyboardInterrupt too) carries the samples measured until
        then as ``partial``, a Recording. A stop the unit does not acknowledge
        after a complete recording is a RuntimeWarning, and the recording is
        returned."""
        seconds = float(seconds)
        if not (seconds > 0) or math.isinf(seconds):
            raise ValueError(f"seconds {seconds!r}: give a duration above 0")
        acquisition = self._begin_acquisition(channels, raw, volts, page, timeout, reconnect, silence)
        try:
            return acquisition.record(seconds)
        finally:
            if self._acquisition is acquisition:
                self._acquisition = None

    def stream(
        self,
        channels: Channels = "all",
        raw: bool = False,
        *,
        volts: bool = False,
        page: _acquire.Page = None,
        timeout: Optional[float] = DEFAULT_TIMEOUT,
        reconnect: bool = False,
        silence: float = DEFAULT_SILENCE,
    ) -> _acquire.Stream:
        """Starts measurements and yields ``Block``s of samples as they arrive,
        until the loop ends (``break`` too) or the stream is closed; the unit
        is stopped then. Time stamps count from the first sample after the
        start. Values, ``timeout``, ``reconnect``, ``silence`` and ``partial``
        as for ``record()``: an exception that ends the stream carries the
        samples read and not yet handed out as ``partial``, a Block. A Block's
        ``gaps`` are the gaps before its rows; with reconnect, the call that
        finds the link lost (``read()`` too) returns once the unit measures
        again."""
        return _acquire.Stream(self._begin_acquisition(channels, raw, volts, page, timeout, reconnect, silence))

    def _begin_acquisition(
        self,
        channels: Channels,
        raw: bool,
        volts: bool,
        page: _acquire.Page,
        timeout: Optional[float],
        reconnect: bool,
        silence: float,
    ) -> _acquire.Acquisition:
        chosen = self._channel_list(channels)
        self._require_owner("Ostrel_Device_SendCmd")
        if self._measuring():
            raise Error(f"unit {self.name} is measuring already: close its stream first")
        self._acquisition = _acquire.Acquisition(self, chosen, raw, volts, page, timeout, reconnect, silence)
        return self._acquisition

    def _end_acquisition(self, acquisition: _acquire.Acquisition, error: Optional[BaseException] = None) -> None:
        if self._acquisition is acquisition:
            self._acquisition = None
        if error is not None:
            acquisition.salvage(error)
        elif self._handle is None:
            acquisition.abandon()
        else:
            acquisition.stop()

    # ------------------------------------------------------------- commands

    def command(self, code: int, params: bytes = b"", timeout: Optional[float] = 2.0) -> bytes:
        """Sends one raw command (code 0-255, up to 250 parameter bytes) and
        returns its response's payload. ``DeviceIOError`` when the unit does
        not answer within ``timeout`` seconds (None: no limit; Ctrl-C ends the
        wait) or reports an error. The period command is refused while a
        stream or recording runs, as setting ``period`` is."""
        number = _integer(code)
        if number is None or not 0 <= number <= 255:
            raise ValueError(f"command code {code!r}: give 0 to 255")
        params = _byte_string(params)
        if len(params) > MAX_PARAMETER_BYTES:
            raise ValueError(f"{len(params)} parameter bytes; a command carries at most {MAX_PARAMETER_BYTES}")
        if number == _acquire.CMD_SET_PERIOD:
            self._require_owner("Ostrel_Device_SendCmd")
            self._refuse_while_measuring("Ostrel_Device_SendCmd")
        return self._exchange(number, params, _milliseconds(timeout))

    def _exchange(self, code: int, params: bytes, ms: Optional[int], what: str = "") -> bytes:
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
        deadline = None if ms is None else time.monotonic() + ms / 1000
        while True:
            size.value = RESPONSE_CAPACITY
            left = RESPONSE_SLICE_MS
            if deadline is not None:
                left = max(0, min(left, int((deadline - time.monotonic()) * 1000)))
            result = self._call(
                export,
                response,
                ctypes.byref(size),
                ctypes.byref(echo),
                ctypes.byref(error_flag),
                ctypes.byref(expected),
                left,
            )
            # A failure before the time-out is the end of a slice, or an older
            # command's response (its signature differs) taken off the queue:
            # wait on for ours.
            if result == 0 or (deadline is not None and time.monotonic() >= deadline - 0.05):
                break
        if result != 0:
            raise DeviceIOError(f"the unit did not answer {_within(ms)}", export=export, call=call, result=result)
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

    def __repr__(self) -> str:
        return f"<ostrel.Memory of unit {self._unit.name!r}: block -1 its own, blocks 1-7 the data sheets>"

    def range(self, block: int = UNIT_MEMORY) -> range:
        """The block's addresses, e.g. range(0, 24576) for block -1; empty for
        a number that is not a block of this unit."""
        block = _whole(block, "block")
        first, last = ctypes.c_int(), ctypes.c_int()
        self._unit._check(
            "Ostrel_Device_NVMemBlk_GetAddrRange",
            block,
            ctypes.byref(first),
            ctypes.byref(last),
            call=f"Ostrel_Device_NVMemBlk_GetAddrRange(block {block})",
        )
        return range(first.value, last.value + 1) if last.value > first.value else range(0)

    def _span(self, block: int, address: int, count: Optional[int]) -> int:
        """The byte count (the rest of the block for None), once the bytes fit the block."""
        addresses = self.range(block)
        if not addresses:
            raise ValueError(
                f"block {block} is not a memory block of this unit (-1 for its memory, 1-7 for data sheets)"
            )
        where = f"block {block} (0x{addresses.start:04x}-0x{addresses.stop - 1:04x})"
        if address not in addresses:
            raise ValueError(f"address 0x{address:04x} is outside {where}")
        if count is None:
            count = addresses.stop - address
        if count <= 0 or address + count > addresses.stop:
            raise ValueError(f"{count} bytes from address 0x{address:04x} do not fit {where}")
        return count

    def read(
        self,
        address: int = 0,
        count: Optional[int] = None,
        *,
        block: int = UNIT_MEMORY,
        timeout: Optional[float] = 5.0,
    ) -> bytes:
        """Reads ``count`` bytes of a block from ``address`` (all the rest of
        the block when count is None), within ``timeout`` seconds in all
        (None: as long as the library waits, about 49 days)."""
        address, block = _whole(address, "address"), _whole(block, "block")
        count = self._span(block, address, None if count is None else _whole(count, "count"))
        ms = _milliseconds(timeout)
        deadline = None if ms is None else time.monotonic() + ms / 1000
        data = bytearray()
        for start in range(address, address + count, READ_PIECE):
            piece = min(READ_PIECE, address + count - start)
            left = LONGEST_MS if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
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
                hint=f"the unit did not send them all {_within(ms)}, or refused the read",
            )
            data += bytes(buffer)
        return bytes(data)

    def write(self, address: int, data: bytes, *, timeout: Optional[float] = 5.0) -> None:
        """Writes bytes to the unit's own memory (block -1) from ``address``."""
        address = _whole(address, "address")
        data = _byte_string(data)
        self._span(UNIT_MEMORY, address, len(data))
        ms = _milliseconds(timeout)
        self._unit._check(
            "Ostrel_Device_NVMemBlk_Write",
            UNIT_MEMORY,
            _byte_array(data),
            address,
            len(data),
            LONGEST_MS if ms is None else ms,
            call=f"Ostrel_Device_NVMemBlk_Write(block -1, 0x{address:04x}, {len(data)} bytes)",
            error=DeviceIOError,
            hint=f"the unit did not confirm the write {_within(ms)}, or refused it",
        )
