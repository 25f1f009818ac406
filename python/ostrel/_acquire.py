"""The measurement loop behind Unit.record() and Unit.stream(): clear the
channel buffers, start, read the chosen channels while they run, line their
samples up into rows, stop."""

from __future__ import annotations

import contextlib
import ctypes
import time
from typing import TYPE_CHECKING, List, Optional

import numpy as np

from .errors import DeviceIOError, Error, WrongThread
from .samples import Block, Recording

if TYPE_CHECKING:
    from .unit import Unit

CMD_START = 0x18
CMD_STOP = 0x19
COMMAND_TIMEOUT_MS = 2000
# The channel buffers hold 40000 samples each, so reading every 20 ms keeps
# far ahead of even the fastest period.
POLL_SECONDS = 0.02
READ_CHUNK = 4096
CHANNEL_BUFFER = 40000  # the newest values the library keeps per channel
# How far a channel may fall behind the others before it counts as silent:
# well past any delay between the channels of one unit's blobs.
MAX_LAG_SAMPLES = 4000
# Time allowed beyond a recording's own length, and before a stream without
# any sample is given up: generous, for loaded machines.
GRACE_SECONDS = 10.0


class Acquisition:
    """One run of measurements on an open unit, on the unit's thread."""

    def __init__(self, unit: "Unit", channels: List[int], raw: bool) -> None:
        self.unit = unit
        self.channels = channels
        self.raw = raw
        sheets = [unit.data_sheet(channel) for channel in channels]
        self.names = [sheet.name for sheet in sheets]
        self.units = ["raw" if raw else sheet.units for sheet in sheets]
        self.period = unit.period
        self.counts = [0] * len(channels)
        self._pending: List[List[float]] = [[] for _ in channels]
        self._buffer = (ctypes.c_int * READ_CHUNK)()
        self._next_index = 0
        self._running = False
        self.ended = False
        self._started_at = 0.0

    @property
    def running(self) -> bool:
        return self._running

    def start(self) -> None:
        # Anything buffered before the start belongs to no run of ours.
        self.unit._check("Ostrel_Device_ClearIO", -1)
        self.unit._exchange(CMD_START, b"", COMMAND_TIMEOUT_MS, "start measurements")
        self._running = True
        self._started_at = time.monotonic()

    def stop(self) -> None:
        """Stops the unit; harmless when it is not running."""
        self.ended = True
        if not self._running:
            return
        self._running = False
        self.unit._exchange(CMD_STOP, b"", COMMAND_TIMEOUT_MS, "stop measurements")

    def stop_quietly(self) -> None:
        """Stops the unit while another failure is on its way out."""
        with contextlib.suppress(Error):
            self.stop()

    def abandon(self) -> None:
        """Forgets the run without a call: the unit was closed (which stops it)."""
        self._running = False
        self.ended = True

    def elapsed(self) -> float:
        return time.monotonic() - self._started_at

    def read(self, limit: Optional[int] = None) -> Optional[Block]:
        """Reads what arrived; returns the complete rows (at most limit) as a
        Block, or None when no row is complete yet."""
        for k, channel in enumerate(self.channels):
            self._read_channel(k, channel)
        rows = min(len(p) for p in self._pending)
        if rows == 0:
            self._check_silence()
            return None
        if limit is not None:
            rows = min(rows, limit)
        columns = [p[:rows] for p in self._pending]
        self._pending = [p[rows:] for p in self._pending]
        first = self._next_index
        self._next_index += rows
        values = np.array(columns, dtype=np.int64 if self.raw else np.float64).T.reshape(rows, len(self.channels))
        return Block(
            first_index=first, time=np.arange(first, first + rows) * self.period, values=values, **self._meta()
        )

    def _read_channel(self, k: int, channel: int) -> None:
        moved = 0
        while True:
            n = self.unit._call("Ostrel_Device_ReadRawMeasurements", channel, self._buffer, READ_CHUNK)
            if n < 0:
                raise DeviceIOError(
                    export="Ostrel_Device_ReadRawMeasurements",
                    call=f"Ostrel_Device_ReadRawMeasurements(channel {channel})",
                    result=n,
                )
            raws = self._buffer[:n]
            self.counts[k] += n
            moved += n
            self._pending[k].extend(raws if self.raw else self.unit._calibrate(channel, raws))
            if n < READ_CHUNK:
                break
        # A full buffer has most likely overwritten samples, and every time
        # stamp after the gap would be wrong.
        if moved >= CHANNEL_BUFFER:
            raise Error(
                f"channel {channel} filled the library's buffer ({CHANNEL_BUFFER} samples) before it was read: "
                "older samples were lost; read the stream more often"
            )

    def _check_silence(self) -> None:
        if not any(self.counts) and self.elapsed() > GRACE_SECONDS:
            raise DeviceIOError(
                f"no measurements arrived within {GRACE_SECONDS:g} s of the start command: the unit is not sending"
            )
        longest = max(len(p) for p in self._pending)
        if longest > MAX_LAG_SAMPLES:
            silent = [c for c, p in zip(self.channels, self._pending) if not p]
            raise DeviceIOError(
                f"channel {silent[0]} sent no samples while the others sent {longest}: "
                "the unit stopped sending it, or does not send that channel"
            )

    def _meta(self) -> dict:
        return dict(
            channels=self.channels,
            names=self.names,
            units=self.units,
            period=self.period,
            raw=self.raw,
            unit=self.unit.name,
        )

    def record(self, seconds: float) -> Recording:
        """Runs until every channel sent seconds / period samples."""
        target = max(1, round(seconds / self.period))
        blocks: List[Block] = []
        have = 0
        self.start()
        try:
            while have < target:
                time.sleep(POLL_SECONDS)
                block = self.read(limit=target - have)
                if block is not None:
                    blocks.append(block)
                    have += len(block)
                elif self.elapsed() > seconds + GRACE_SECONDS:
                    self._fail_short(target)
        except BaseException:
            self.stop_quietly()
            raise
        self.stop()
        return Recording(
            time=np.concatenate([b.time for b in blocks]),
            values=np.concatenate([b.values for b in blocks]),
            **self._meta(),
        )

    def _fail_short(self, target: int) -> None:
        elapsed = round(self.elapsed(), 1)
        for channel, count in zip(self.channels, self.counts):
            if count < target:
                raise DeviceIOError(
                    f"channel {channel} sent {count} of {target} samples within {elapsed:g} s: "
                    "the unit stopped sending, or does not send that channel"
                )


class Stream:
    """Blocks of samples as they arrive, until the loop ends (break) or the
    stream is closed; the unit is stopped then. Also a context manager."""

    def __init__(self, acquisition: Acquisition) -> None:
        self._acquisition = acquisition
        self._closed = False

    @property
    def period(self) -> float:
        """The measurement period in seconds, as the unit reported it."""
        return self._acquisition.period

    def __iter__(self) -> "Stream":
        return self

    def __next__(self) -> Block:
        acquisition = self._acquisition
        if self._closed or acquisition.ended:
            self._closed = True
            raise StopIteration
        try:
            if not acquisition.running:
                acquisition.start()
            while True:
                time.sleep(POLL_SECONDS)
                block = acquisition.read()
                if block is not None:
                    return block
        except WrongThread:
            raise  # the stream stays the owning thread's
        except BaseException:
            self._closed = True
            acquisition.unit._end_acquisition(acquisition, quietly=True)
            raise

    def close(self) -> None:
        """Stops the unit's measurements; closing twice is harmless."""
        if self._closed:
            return
        self._closed = True
        self._acquisition.unit._end_acquisition(self._acquisition, quietly=False)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        # A loop that breaks drops the stream at once; stop the unit then, but
        # only on the thread that owns it (a collector on another thread
        # leaves it to Unit.close, which stops it too).
        try:
            if not self._closed and self._acquisition.unit._owned_here():
                self.close()
        except Exception:
            pass
