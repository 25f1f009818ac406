"""Keeps the calls that must run alone apart from all others.

Ostrel_Init, Ostrel_Uninit and the discovery calls (search, snapshots,
Ostrel_Device_Open) must not overlap any other call of the library; every
other call may overlap the others. Each call holds the gate for exactly one
library call, never across Python code, so holders never nest.
"""

from __future__ import annotations

import contextlib
import threading
from typing import Iterator


class CallGate:
    def __init__(self) -> None:
        self._condition = threading.Condition(threading.Lock())
        self._shared = 0
        self._exclusive = False
        self._exclusive_waiting = 0

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        with self._condition:
            # Waiting exclusive calls go first, so a busy stream cannot starve a search.
            while self._exclusive or self._exclusive_waiting:
                self._condition.wait()
            self._shared += 1
        try:
            yield
        finally:
            with self._condition:
                self._shared -= 1
                if self._shared == 0:
                    self._condition.notify_all()

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        with self._condition:
            self._exclusive_waiting += 1
            try:
                while self._exclusive or self._shared:
                    self._condition.wait()
            finally:
                self._exclusive_waiting -= 1
            self._exclusive = True
        try:
            yield
        finally:
            with self._condition:
                self._exclusive = False
                self._condition.notify_all()
