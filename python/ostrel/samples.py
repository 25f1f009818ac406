"""Measurements as numpy arrays: a Block (what one step of a stream brought)
and a Recording (a whole record()). Both share one layout: a row per sample,
a column per channel."""

from __future__ import annotations

import datetime
import io
import operator
import os
from typing import List, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from . import _text


class Samples:
    """Time-stamped samples of one or more channels.

    Attributes:
        time: seconds, shape (n,): a sample is stamped by the periods since
            the first sample after the start, sample i at i x period while
            the link holds; after a gap (a lost link opened again) the axis
            goes on in wall-clock terms, whole periods missing.
        values: shape (n, k), a column per channel: calibrated values
            (float64, in ``units``) or, for ``raw``, the raw readings (int64).
        channels: the k channel numbers, in column order.
        names: the sensors' short names ('Temp'), in column order.
        units: the units of each column ('degC'), or 'raw' for raw readings.
        period: the measurement period in seconds, as the unit reported it.
        raw: whether ``values`` holds raw readings.
        unit: the name of the unit that sent them.
        started: when the unit confirmed the start (a timezone-aware
            ``datetime`` in local time); sample 0 followed about one period
            later.
        gaps: (start, end) of each gap among these samples: the time stamps
            of the last sample before and the first after it.

    ``samples[3]`` is channel 3's column of ``values``.
    """

    def __init__(
        self,
        *,
        time: np.ndarray,
        values: np.ndarray,
        channels: Sequence[int],
        names: Sequence[str],
        units: Sequence[str],
        period: float,
        raw: bool,
        unit: str,
        started: Optional[datetime.datetime] = None,
        gaps: Sequence[Tuple[float, float]] = (),
    ) -> None:
        self.time = time
        self.values = values
        self.channels: List[int] = list(channels)
        self.names: List[str] = list(names)
        self.units: List[str] = list(units)
        self.period = period
        self.raw = raw
        self.unit = unit
        self.started = started
        self.gaps: List[Tuple[float, float]] = list(gaps)

    def __len__(self) -> int:
        return len(self.time)

    def __getitem__(self, channel: int) -> np.ndarray:
        """The values of one channel (by its number, not its column)."""
        try:
            return self.values[:, self.channels.index(operator.index(channel))]
        except (TypeError, ValueError):
            raise KeyError(f"channel {channel!r} is not among these samples' channels {self.channels}") from None

    def __iter__(self):
        # Indexing is by channel and len() counts rows: neither is a sequence to walk.
        raise TypeError(f"{type(self).__name__} is not iterable: use .values, or .channels with samples[channel]")

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(unit={self.unit!r}, channels={self.channels}, "
            f"samples={len(self)}, period={self.period!r}, raw={self.raw})"
        )

    @property
    def columns(self) -> List[str]:
        """The CSV header: 'time (s)', then '3 Temp (degC)' for each channel."""
        return ["time (s)"] + [
            f"{channel} {name} ({units or 'no units'})"
            for channel, name, units in zip(self.channels, self.names, self.units)
        ]

    def to_csv(self, path_or_file: Union[str, os.PathLike, TextIO], header: bool = True) -> None:
        """Writes the samples as CSV in the layout of ``ostrel stream --csv``:
        a header line, then a row per sample, lines ending in CR LF, and an
        empty line before the first row after each gap.

        Calibrated values are written as ostrel writes them: with the fewest
        digits that read back to the same 32-bit float (about 7 significant
        digits), which is the precision of the sensors' calibration; the
        float64 ``values`` themselves keep more.

        A path is created or replaced. An open text file (opened with
        ``newline=''``) is written at its position, so that a stream's blocks
        can go into one file: pass ``header=False`` for all but the first.
        """
        if isinstance(path_or_file, (str, os.PathLike)):
            with open(path_or_file, "w", encoding="utf-8", newline="") as file:
                self._write_csv(file, header)
        else:
            self._write_csv(path_or_file, header)

    def _write_csv(self, file: TextIO, header: bool) -> None:
        decimals = _text.time_decimals(self.period)
        cell = str if self.raw else _text.short_number
        out = io.StringIO()
        if header:
            out.write(_text.csv_row(self.columns))
        resumed = {end for _, end in self.gaps}
        for t, row in zip(self.time.tolist(), self.values.tolist()):
            if t in resumed:
                out.write("\r\n")
            out.write(_text.csv_row(["%.*f" % (decimals, t)] + [cell(v) for v in row]))
        file.write(out.getvalue())

    def to_pandas(self):
        """A pandas.DataFrame: the CSV header's columns, indexed by time in
        seconds. Needs pandas, which this package does not install."""
        try:
            import pandas
        except ImportError as error:
            raise ImportError(
                "to_pandas() needs pandas, which is not installed (Debian: apt-get install python3-pandas)"
            ) from error
        columns = self.columns
        return pandas.DataFrame(self.values, columns=columns[1:], index=pandas.Index(self.time, name=columns[0]))


class Block(Samples):
    """The samples a stream brought since the last block.

    ``first_index`` is the slot of the block's first row on the time axis:
    the periods since the start, gaps included (its time stamp is
    first_index x period)."""

    def __init__(self, *, first_index: int, **fields) -> None:
        super().__init__(**fields)
        self.first_index = first_index


class Recording(Samples):
    """The samples of ``Unit.record()``: the same number for every channel."""
