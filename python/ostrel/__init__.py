"""Pellucor units from Python: find, open and measure through Ostrel_lib.

Pure Python over ctypes, on the library's exported C interface only: one
package serves the Linux libOstrel_lib.so and both Windows DLLs (the 32-bit
one from a 32-bit Python, the 64-bit one from a 64-bit Python).

    import ostrel
    with ostrel.Library() as lib:
        print(lib.search())                       # [Unit(name='12345', open=False), ...]
        with lib.open('12345') as unit:
            unit.period = 0.01
            data = unit.record(seconds=3, channels=[3, 4, 7])
            print(data.units, data.values[-1])

An open unit belongs to the thread that opened it: a call from any other
thread raises WrongThread before the library is called. A Library or Unit
left open is closed at interpreter exit, or when it is dropped; closing
twice is harmless. Every Library of a process shares its one instance of
the library, which ends with the last of them.

Nothing waits for ever and nothing is lost: a run (record() or a stream)
fails with DeviceIOError when no sample arrives for `timeout` seconds beyond
one period; every exception that ends a run, Ctrl-C's KeyboardInterrupt
included, carries what was read and not yet handed out as `partial`; the
period cannot change under a running stream; Ctrl-C during open() closes
the unit again once the open has finished. A lost link ends a run with
DeviceIOError naming the unit and what was seen, or with reconnect=True the
unit is opened again and the run goes on, its gaps listed in ``gaps``.

API:

| name | what it gives |
|---|---|
| `Library(path=None)` | the library, initialised (`Ostrel_Init`; a second one shares the process's instance); a context manager |
| `Library.search()` | searches for units (15 s on Widcomm; Ctrl-C ends the wait): `[Unit(name='12345', open=False), ...]` |
| `Library.open(unit)` | opens a unit (name or `Unit`) on this thread, searching first if needed: the `Unit` |
| `Library.units` | the units open now, through any `Library` of the process |
| `Library.version` | the library's version, `(0, 73)` |
| `Library.trace_threshold` | the library's trace threshold; 10 or less traces to standard error (Linux) |
| `Library.path` | the library file or name that was loaded |
| `Library.closed` | whether `close()` ended this one (or the instance ended) |
| `Library.close()` | lets go of the instance; the last one closes this thread's units, then the library (`Ostrel_Uninit`) |
| `Unit.name` | the unit's name, as the search lists it |
| `Unit.open` | whether the unit is open |
| `Unit.thread` | the thread that opened it, the only one that may use it |
| `Unit.channels` | the sensor channels, `[3, 4, 5, 6, 7]` |
| `Unit.period` | the measurement period in seconds; set it to change it (0.001-65.535; refused while the unit measures) |
| `Unit.data_sheet(channel)` | a `DataSheet`: every field, the pages, `units`, `checksum_holds` |
| `Unit.record(seconds, channels='all', raw=False, *, volts=False, page=None, timeout=10.0, reconnect=False, silence=5.0)` | a `Recording` of every sample: calibrated, raw, in volts, or by another calibration `page` (`1` or `{3: 1}`); `reconnect=True` opens a lost link again and goes on |
| `Unit.stream(channels='all', raw=False, *, volts=False, page=None, timeout=10.0, reconnect=False, silence=5.0)` | a `Stream`: iterate for `Block`s as samples arrive; silence for `timeout` s beyond a period is `DeviceIOError` |
| `Unit.memory` | the unit's non-volatile memory, a `Memory` |
| `Unit.memory.range(block=-1)` | the block's addresses, `range(0, 24576)` |
| `Unit.memory.read(address=0, count=None, *, block=-1, timeout=5.0)` | `bytes` of a memory block |
| `Unit.memory.write(address, data, *, timeout=5.0)` | writes the unit's own memory (block -1) |
| `Unit.command(code, params=b'', timeout=2.0)` | sends a raw command: the response's payload `bytes` (`timeout=None`: no limit) |
| `Unit.close()` | stops measurements and closes the unit (`Ostrel_Device_Close`) |
| `Stream.period`, `Stream.closed`, `Stream.close()` | the stream's period; whether it ended; stops the unit (also on `break`) |
| `Stream.read()`, `Stream.latest()` | without waiting: the samples arrived since the last `Block`; the newest row (handing nothing out) |
| `Recording`, `Block` (both `Samples`) | `time` (n,) s, `values` (n, k), `channels`, `names`, `units`, `period`, `raw`, `unit`, `started` (a `datetime`), `gaps` |
| `Recording[channel]`, `Block[channel]` | one channel's column of `values` |
| `Block.first_index` | the periods from the start to the block's first sample (its time stamp over the period) |
| `Recording.columns`, `Block.columns` | the CSV header: `['time (s)', '3 Temp (degC)', ...]` |
| `Recording.to_csv(path_or_file, header=True)`, `Block.to_csv(...)` | CSV in the layout of `ostrel stream --csv` (float32 digits, an empty row at a gap), to a path or an open file |
| `Recording.to_pandas()`, `Block.to_pandas()` | a `pandas.DataFrame` indexed by time (needs pandas) |
| `DataSheet`, `CalPage` | a data sheet's fields (`long_name`, `pages`, `checksum`, ...) |
| `Error` | a failed call: `export`, `call`, `result`, `hint`, `partial` (the samples a failed run read); `str()` is one line |
| `UnitNotFound`, `DeviceIOError`, `NoBluetoothStack`, `WrongThread` | the kinds of `Error` |
| `python -m ostrel` | searches and lists the units, as `ostrel list` does |
"""

from ._acquire import Stream
from .datasheet import CalPage, DataSheet
from .errors import DeviceIOError, Error, NoBluetoothStack, UnitNotFound, WrongThread
from .library import Library
from .samples import Block, Recording, Samples
from .unit import Memory, Unit

__version__ = "0.73.0"

__all__ = [
    "Library",
    "Unit",
    "Memory",
    "Stream",
    "Samples",
    "Block",
    "Recording",
    "DataSheet",
    "CalPage",
    "Error",
    "UnitNotFound",
    "DeviceIOError",
    "NoBluetoothStack",
    "WrongThread",
]
