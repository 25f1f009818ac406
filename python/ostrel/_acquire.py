"""The measurement loop behind Unit.record() and Unit.stream(): clear the
channel buffers, start, read the chosen channels while they run, line their
samples up into rows, stop.

One loop object (Acquisition) serves both, so that both keep the same rules:
a time limit on silence, rows handed out only when every channel has its
sample, and whatever was read and not yet handed out riding on the exception
that ends a run (its ``partial``) rather than being dropped.

A lost link is told from a quiet channel as ostrel stream tells it: after a
bound without any sample (periods, never under a second) a period query
goes to the unit; a failed write is a drop seen at once, no answer within
PROBE_TIMEOUT_MS a drop seen within the bound. The run then ends, or with
reconnect the unit is opened again by name and started again, on the same
time axis: rows are stamped by the periods since the run's start, and a gap
skips the periods the unit was away.
"""

from __future__ import annotations

import contextlib
import ctypes
import datetime
import logging
import math
import operator
import time
import warnings
from typing import TYPE_CHECKING, Callable, Dict, List, Mapping, Optional, Tuple, Union

import numpy as np

from . import _interrupt
from .errors import DeviceIOError, Error, WrongThread
from .samples import Block, Recording, Samples

if TYPE_CHECKING:
    from .datasheet import DataSheet
    from .unit import Unit

CMD_START = 0x18
CMD_STOP = 0x19
CMD_SET_PERIOD = 0x1B
CMD_GET_PERIOD = 0x1C
COMMAND_TIMEOUT_MS = 2000
PROBE_TIMEOUT_MS = 2000
# The channel buffers hold 40000 samples each, so reading every 20 ms keeps
# far ahead of even the fastest period.
POLL_SECONDS = 0.02
READ_CHUNK = 4096
CHANNEL_BUFFER = 40000  # the newest values the library keeps per channel
# How far a channel may fall behind the others before it counts as silent:
# well past any delay between the channels of one unit's blobs.
MAX_LAG_SAMPLES = 4000
# How long a run waits for its next sample beyond one period before it is
# given up: generous, for loaded machines and a link that stalls a while.
DEFAULT_TIMEOUT = 10.0
# Periods without a sample before the link is checked, and the shortest wait.
DEFAULT_SILENCE = 5.0
SHORTEST_SILENCE_SECONDS = 1.0
# Pauses between tries to open a unit again: growing, so that a unit gone for
# long is not asked every second, and capped, so that it is found soon once back.
FIRST_PAUSE_SECONDS = 1.0
LONGEST_PAUSE_SECONDS = 30.0

Page = Union[None, int, Mapping[int, int]]
Gap = Tuple[float, float]

log = logging.getLogger("ostrel")


def _nothing() -> None:
    pass


class _LinkLost(Exception):
    """What was seen of a lost link; handled inside the run."""


def seconds_or_none(value: Optional[float], what: str) -> Optional[float]:
    if value is None:
        return None
    value = float(value)
    if not (value >= 0) or math.isinf(value):
        raise ValueError(f"{what} {value!r}: give seconds, 0 or more, or None for no limit")
    return value


class Acquisition:
    """One run of measurements on an open unit, on the unit's thread."""

    def __init__(
        self,
        unit: "Unit",
        channels: List[int],
        raw: bool = False,
        volts: bool = False,
        page: Page = None,
        timeout: Optional[float] = DEFAULT_TIMEOUT,
        reconnect: bool = False,
        silence: float = DEFAULT_SILENCE,
    ) -> None:
        if raw and volts:
            raise ValueError("raw=True and volts=True: choose one")
        silence = float(silence)
        if not silence > 0 or math.isinf(silence):
            raise ValueError(f"silence {silence!r}: give a number of periods above 0")
        self.unit = unit
        self.channels = channels
        self.raw = bool(raw)
        self.volts = bool(volts)
        self.timeout = seconds_or_none(timeout, "timeout")
        self.reconnect = bool(reconnect)
        sheets = [unit.data_sheet(channel) for channel in channels]
        self._pages = self._chosen_pages(sheets, page) if not (raw or volts) else {}
        self.names = [sheet.name for sheet in sheets]
        self.units = [self._units_of(sheet) for sheet in sheets]
        self.period = unit.period
        self._silence_bound = max(SHORTEST_SILENCE_SECONDS, silence * self.period)
        self.counts = [0] * len(channels)
        self.started: Optional[datetime.datetime] = None
        self._pending: List[List[float]] = [[] for _ in channels]
        self._ready: List[Block] = []  # rows formed and not yet handed out
        self._buffer = (ctypes.c_int * READ_CHUNK)()
        self._next_index = 0  # slot of the time axis of the next row to form
        self._complete = 0  # rows that every channel has sent so far
        self._latest: Optional[Block] = None
        self._running = False
        self._gap = False  # samples were overwritten: no row after it can be stamped
        self.ended = False
        self._started_at = 0.0
        self._progress_at = 0.0
        self._alive_at = 0.0  # when the link last showed it is up
        self.gaps: List[Gap] = []
        self._gap_from: Optional[float] = None  # a gap waits for its first row after
        self._last_time = 0.0
        self._axis_over = False  # the unit was not back before the recording's end

    # ------------------------------------------------------------ values

    def _chosen_pages(self, sheets: List["DataSheet"], page: Page) -> Dict[int, int]:
        """The calibration page per channel where it differs from the one the
        library calibrates with."""
        if page is None:
            return {}
        if isinstance(page, Mapping):
            wanted = {operator.index(c): operator.index(p) for c, p in page.items()}
            unknown = sorted(set(wanted) - set(self.channels))
            if unknown:
                raise ValueError(f"page names channel {unknown[0]}, which is not among the channels {self.channels}")
        else:
            wanted = {channel: operator.index(page) for channel in self.channels}
        chosen = {}
        for sheet in sheets:
            if sheet.channel not in wanted:
                continue
            p = wanted[sheet.channel]
            last = min(sheet.highest_valid_cal_page_index, len(sheet.pages) - 1)
            if not 0 <= p <= last:
                raise ValueError(f"channel {sheet.channel} has calibration pages 0 to {last}; {p} is not one of them")
            if p != sheet.calibration_page:
                chosen[sheet.channel] = p
        return chosen

    def _units_of(self, sheet: "DataSheet") -> str:
        if self.raw:
            return "raw"
        if self.volts or sheet.calibration_equation != 1:
            return "V"
        return sheet.pages[self._pages.get(sheet.channel, sheet.calibration_page)].units

    def _values(self, channel: int, raws: List[int]) -> List[float]:
        if self.raw:
            return raws
        if self.volts:
            return self.unit._convert("Ostrel_Device_ConvertToVoltage", channel, raws)
        page = self._pages.get(channel)
        if page is None:
            return self.unit._convert("Ostrel_Device_CalibrateData2", channel, raws)
        # The library calibrates with its copy's active page: that copy points
        # at the chosen page for these calls only (the unit's memory is never
        # written), so the library's own arithmetic does the work.
        active = self.unit._get_field("ActiveCalPage", channel)
        self.unit._set_field("ActiveCalPage", channel, page)
        try:
            return self.unit._convert("Ostrel_Device_CalibrateData2", channel, raws)
        finally:
            self.unit._set_field("ActiveCalPage", channel, active)

    # ------------------------------------------------------- start, stop

    @property
    def running(self) -> bool:
        return self._running

    def start(self) -> None:
        # Anything buffered before the start belongs to no run of ours.
        self.unit._check("Ostrel_Device_ClearIO", -1)
        # Running from the moment the command may have reached the unit, so
        # that a failure or Ctrl-C while waiting for its answer still stops it.
        self._running = True
        self.unit._exchange(CMD_START, b"", COMMAND_TIMEOUT_MS, "start measurements")
        self._started_at = self._progress_at = self._alive_at = time.monotonic()
        self.started = datetime.datetime.now().astimezone()

    def stop(self) -> None:
        """Stops the unit; harmless when it is not running."""
        self.ended = True
        if not self._running:
            return
        self._running = False
        self.unit._exchange(CMD_STOP, b"", COMMAND_TIMEOUT_MS, "stop measurements")

    def abandon(self) -> None:
        """Forgets the run without a call: the unit was closed (which stops it)."""
        self._running = False
        self.ended = True

    def elapsed(self) -> float:
        return time.monotonic() - self._started_at

    # ------------------------------------------------------------ reading

    def step(
        self, limit: Optional[int] = None, check: bool = True, interrupted: Callable[[], None] = _nothing
    ) -> None:
        """Moves what the library buffered into the run and forms the complete
        rows (up to the slot limit of the time axis) into ready blocks. Raises
        when the unit fell silent for longer than the time limit, or its link
        was lost and is not to be opened again (check). With reconnect, a lost
        link is opened again here (interrupted passes Ctrl-C on meanwhile)."""
        if self._gap or self._axis_over:
            return
        try:
            self._step(limit, check)
        except _LinkLost as lost:
            self._carry_on(str(lost), limit, interrupted)

    def _step(self, limit: Optional[int], check: bool) -> None:
        before = [len(p) for p in self._pending]
        overflowed = [channel for k, channel in enumerate(self.channels) if self._read_channel(k, channel)]
        if overflowed:
            self._fell_behind(before, overflowed[0])
        complete = self._next_index + min(len(p) for p in self._pending)
        if any(len(p) > b for p, b in zip(self._pending, before)):
            self._alive_at = time.monotonic()
        if complete > self._complete:
            self._complete = complete
            self._progress_at = time.monotonic()
        elif check and self._running:
            self._check_link()
            self._check_silence()
        if check:
            self._check_lag()
        rows = complete - self._next_index
        if limit is not None:
            rows = min(rows, limit - self._next_index)
        if rows > 0:
            self._ready.append(self._form(rows))

    def waiting(self) -> int:
        """Rows formed and not yet handed out."""
        return sum(len(b) for b in self._ready)

    def take(self) -> Optional[Block]:
        """The rows formed and not yet handed out, as one Block, or None."""
        if not self._ready:
            return None
        blocks, self._ready = self._ready, []
        if len(blocks) == 1:
            return blocks[0]
        return Block(
            first_index=blocks[0].first_index,
            time=np.concatenate([b.time for b in blocks]),
            values=np.concatenate([b.values for b in blocks]),
            gaps=[gap for b in blocks for gap in b.gaps],
            **self._meta(),
        )

    def empty(self) -> Block:
        return Block(
            first_index=self._next_index,
            time=np.zeros(0),
            values=np.zeros((0, len(self.channels)), dtype=self._dtype()),
            **self._meta(),
        )

    def wait(self, limit: Optional[int] = None) -> None:
        """Reads until a row is ready (or the time axis has reached the slot limit)."""
        with _interrupt.held() as interrupted:
            while not self._enough(limit):
                time.sleep(POLL_SECONDS)
                interrupted()  # here nothing read is in flight: it is all in the run
                self.step(limit, interrupted=interrupted)
                if limit is not None and not self._enough(limit):
                    self._check_length(limit)

    def _enough(self, limit: Optional[int]) -> bool:
        if limit is None:
            return self.waiting() >= 1
        return self._next_index >= limit or self._axis_over

    def latest(self) -> Optional[Block]:
        """The newest complete row as a Block of one, without handing anything
        out: what is read here stays for the next block."""
        with _interrupt.held() as interrupted:
            self.step(interrupted=interrupted)
        if self._ready:
            last = self._ready[-1]
            return self._one_row(last, len(last) - 1)
        return self._latest

    def _form(self, rows: int) -> Block:
        columns = [p[:rows] for p in self._pending]
        self._pending = [p[rows:] for p in self._pending]
        first = self._next_index
        self._next_index += rows
        values = np.array(columns, dtype=self._dtype()).T.reshape(rows, len(self.channels))
        times = np.arange(first, first + rows) * self.period
        gaps: List[Gap] = []
        if self._gap_from is not None:
            gaps.append((self._gap_from, float(times[0])))
            self.gaps.extend(gaps)
            self._gap_from = None
        self._last_time = float(times[-1])
        block = Block(first_index=first, time=times, values=values, gaps=gaps, **self._meta())
        self._latest = self._one_row(block, rows - 1)
        return block

    def _one_row(self, block: Block, row: int) -> Block:
        return Block(
            first_index=block.first_index + row,
            time=block.time[row : row + 1],
            values=block.values[row : row + 1],
            **self._meta(),
        )

    def _dtype(self):
        return np.int64 if self.raw else np.float64

    def _read_channel(self, k: int, channel: int) -> bool:
        """Reads the channel's buffer; whether it was full (samples lost)."""
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
            self._pending[k].extend(self._values(channel, raws))
            if n < READ_CHUNK:
                break
        return moved >= CHANNEL_BUFFER

    def _fell_behind(self, before: List[int], channel: int) -> None:
        """A full buffer has most likely overwritten samples, so no time stamp
        after the gap can be right: the rows before it stay for the partial
        result, those after it go with the error, without time stamps."""
        self._gap = True
        complete = min(before)
        after = [p[b:] for p, b in zip(self._pending, before)]
        self._pending = [p[:complete] for p in self._pending]
        if complete:
            self._ready.append(self._form(complete))
        n = min(len(a) for a in after)
        error = Error(
            f"channel {channel} filled the library's buffer ({CHANNEL_BUFFER} samples) before it was read: "
            "older samples were lost; read the stream more often"
        )
        error.after_gap = Samples(
            time=np.full(n, np.nan),
            values=np.array([a[:n] for a in after], dtype=self._dtype()).T.reshape(n, len(self.channels)),
            **self._meta(),
        )
        raise error

    # ---------------------------------------------------------- lost links

    def _check_link(self) -> None:
        """After the bound without any sample (or once the time limit is near),
        asks the unit for its period: raises _LinkLost with what was seen
        when the write fails or the question goes unanswered."""
        quiet = time.monotonic() - self._alive_at
        near_limit = self.timeout is not None and quiet > self.period + self.timeout
        if quiet < self._silence_bound and not near_limit:
            return
        after = f" after {quiet:.1f} s without samples"
        try:
            self.unit._exchange(CMD_GET_PERIOD, b"", PROBE_TIMEOUT_MS, "period query")
        except DeviceIOError as error:
            if error.export == "Ostrel_Device_SendCmd":
                raise _LinkLost(f"a write to the unit failed ({error.call} returned {error.result})" + after)
            if error.result != 0:
                raise _LinkLost(f"the unit did not answer the period query within {PROBE_TIMEOUT_MS} ms" + after)
        self._alive_at = time.monotonic()  # it answered: the link is up

    def _carry_on(self, lost: str, limit: Optional[int], interrupted: Callable[[], None]) -> None:
        """A lost link: raises DeviceIOError, or with reconnect opens the unit
        again (tries with growing pauses) and starts it; returns once it
        measures again, or once the time axis has passed the limit."""
        name = self.unit.name
        last = f"the last sample at {self._last_time:.3f} s" if self._latest is not None else "no sample yet"
        if not self.reconnect:
            raise DeviceIOError(f"unit {name}: link lost: {lost}; {last}")
        log.warning("unit %s: link lost: %s; %s; reconnecting", name, lost, last)
        self._running = False
        self._pending = [[] for _ in self.channels]  # a row not every channel sent
        if self._gap_from is None:
            self._gap_from = self._last_time
        pause = FIRST_PAUSE_SECONDS
        tries = 0
        while True:
            interrupted()
            if self._past(limit):
                self._axis_over = True
                warnings.warn(f"unit {name} was not back before the end of the recording", RuntimeWarning, 4)
                return
            tries += 1
            if self._restart():
                log.warning(
                    "unit %s: open again after %d %s; measuring again at %.3f s",
                    name,
                    tries,
                    "try" if tries == 1 else "tries",
                    self._next_index * self.period,
                )
                return
            log.info("unit %s: try %d failed; the next in %g s", name, tries, pause)
            deadline = time.monotonic() + pause
            while time.monotonic() < deadline and not self._past(limit):
                interrupted()
                time.sleep(POLL_SECONDS)
            pause = min(pause * 2, LONGEST_PAUSE_SECONDS)

    def _past(self, limit: Optional[int]) -> bool:
        return limit is not None and self.elapsed() >= limit * self.period

    def _restart(self) -> bool:
        """Opens the unit again, sets the run's period and starts it: whether
        it measures again."""
        unit = self.unit
        try:
            if not unit._reopen():
                return False
            unit._check("Ostrel_Device_SetMeasurementPeriod", float(self.period), COMMAND_TIMEOUT_MS)
            if unit.period != self.period:
                return False
            unit._check("Ostrel_Device_ClearIO", -1)
            self._running = True
            unit._exchange(CMD_START, b"", COMMAND_TIMEOUT_MS, "start measurements")
        except Error as error:
            self._running = False  # the next try closes the unit, which stops it
            if not isinstance(error, DeviceIOError) and (error.result is None or error.export is None):
                raise  # not the unit's doing: a closed Library, another thread
            return False
        now = time.monotonic()
        # To the period: rows stay a period apart, whole periods missing at the gap.
        self._next_index = max(self._next_index, round((now - self._started_at) / self.period))
        self._complete = self._next_index
        self._progress_at = self._alive_at = now
        return True

    def _check_silence(self) -> None:
        if self.timeout is None:
            return
        quiet = time.monotonic() - self._progress_at
        if quiet <= self.period + self.timeout:
            return
        if not any(self.counts):
            raise DeviceIOError(
                f"no measurements arrived within {quiet:.1f} s of the start command: the unit is not sending"
            )
        raise DeviceIOError(
            f"no samples arrived for {quiet:.1f} s (the period is {self.period:g} s): the unit stopped sending; "
            "is it on and in reach?"
        )

    def _check_lag(self) -> None:
        longest = max(len(p) for p in self._pending)
        if longest > MAX_LAG_SAMPLES:
            silent = [c for c, p in zip(self.channels, self._pending) if not p]
            raise DeviceIOError(
                f"channel {silent[0]} sent no samples while the others sent {longest}: "
                "the unit stopped sending it, or does not send that channel"
            )

    def _check_length(self, target: int) -> None:
        """A recording that runs far past its own length fails, even while
        samples trickle in."""
        if self.timeout is None or self.elapsed() <= target * self.period + self.period + self.timeout:
            return
        elapsed = round(self.elapsed(), 1)
        for channel, count in zip(self.channels, self.counts):
            if count < target:
                raise DeviceIOError(
                    f"channel {channel} sent {count} of {target} samples within {elapsed:g} s: "
                    "the unit stopped sending, or does not send that channel"
                )

    def _meta(self) -> dict:
        return dict(
            channels=self.channels,
            names=self.names,
            units=self.units,
            period=self.period,
            raw=self.raw,
            unit=self.unit.name,
            started=self.started,
        )

    # ---------------------------------------------------- ending a run

    def salvage(self, error: BaseException) -> None:
        """After an exception that ends the run: stops the unit, reads what
        arrived up to the stop, and leaves it all ready for the partial result.
        A Ctrl-C meanwhile is absorbed: an exception is on its way out already."""
        with _interrupt.held(absorb=True):
            if self.unit.open and self.unit._owned_here():
                with contextlib.suppress(Error):
                    self.stop()
                if not isinstance(error, WrongThread):
                    with contextlib.suppress(Error):
                        self.step(check=False)
            else:
                self.abandon()

    def record(self, seconds: float) -> Recording:
        """Runs until the time axis holds seconds / period rows (fewer with a gap)."""
        target = max(1, round(seconds / self.period))
        try:
            self.start()
            self.wait(limit=target)
        except BaseException as error:
            self.salvage(error)
            error.partial = self._recording()
            raise
        recording = self._recording()
        try:
            self.stop()
        except Error as error:
            # Every sample is here: a lost acknowledgement must not cost them.
            warnings.warn(
                f"{error} (the recording is complete; close the unit to be sure it stopped)", RuntimeWarning, 2
            )
        except BaseException as error:
            error.partial = recording
            raise
        return recording

    def _recording(self) -> Recording:
        block = self.take() or self.empty()
        fields = self._meta()
        return Recording(time=block.time, values=block.values, gaps=block.gaps, **fields)


class Stream:
    """Blocks of samples as they arrive, until the loop ends (also by
    ``break``) or the stream is closed; the unit is stopped then. A context
    manager too.

    ``read()`` hands out what has arrived without waiting, ``latest()`` the
    newest row without handing anything out. When no sample arrives for
    ``timeout`` seconds beyond one period, ``DeviceIOError`` ends the stream.
    An exception that ends it carries, as ``partial``, the Block of the
    samples read and not yet handed out."""

    def __init__(self, acquisition: Acquisition) -> None:
        self._run = acquisition
        self._closed = False
        self._handed_out = 0

    def __repr__(self) -> str:
        run = self._run
        state = "closed" if self._closed or run.ended else "running" if run.running else "not started"
        return (
            f"<ostrel.Stream of unit {run.unit.name!r}: channels {run.channels}, period {run.period:g} s, "
            f"{state}, {self._handed_out} samples handed out>"
        )

    @property
    def period(self) -> float:
        """The measurement period in seconds, as the unit reported it."""
        return self._run.period

    @property
    def closed(self) -> bool:
        """Whether the stream has ended (its unit is stopped)."""
        return self._closed or self._run.ended

    def __iter__(self):
        return self._blocks()

    def _blocks(self):
        # A generator of its own, so that the loop's end (break, or an
        # exception in its body) ends the stream even while a name holds it.
        try:
            while True:
                try:
                    block = self.__next__()
                except StopIteration:
                    return
                yield block
        finally:
            if not self.closed:
                try:
                    self.close()
                except Error as error:
                    warnings.warn(f"ending the stream: {error}", RuntimeWarning, 2)

    def __next__(self) -> Block:
        return self._hand_out(wait=True)

    def read(self) -> Block:
        """What has arrived since the last block, without waiting: a Block of
        0 or more rows. Starts the unit on first use."""
        return self._hand_out(wait=False)

    def latest(self) -> Optional[Block]:
        """The newest complete row as a Block of one (None before the first),
        without waiting; nothing is handed out, so the next block still holds it."""
        if self.closed:
            return self._run._latest
        return self._guarded(self._run.latest)

    def _hand_out(self, wait: bool) -> Block:
        if self.closed:
            self._closed = True
            if wait:
                raise StopIteration
            return self._run.empty()

        def step():
            if wait:
                self._run.wait()
            else:
                with _interrupt.held() as interrupted:
                    self._run.step(interrupted=interrupted)
            return self._run.take() or self._run.empty()

        block = self._guarded(step)
        self._handed_out += len(block)
        return block

    def _guarded(self, action):
        run = self._run
        try:
            if not run.running:
                run.start()
            return action()
        except WrongThread:
            raise  # the stream stays the owning thread's
        except BaseException as error:
            self._closed = True
            run.unit._end_acquisition(run, error)
            error.partial = run.take() or run.empty()
            raise

    def close(self) -> None:
        """Stops the unit's measurements; closing twice is harmless."""
        if self._closed:
            return
        self._closed = True
        self._run.unit._end_acquisition(self._run)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        # A stream dropped unclosed stops the unit, but only on the thread
        # that owns it (a collector on another thread leaves it to Unit.close,
        # which stops it too).
        try:
            if not self._closed and self._run.unit._owned_here():
                self.close()
        except Exception:
            pass
