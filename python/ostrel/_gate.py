"""Keeps the calls that must run alone apart from all others.

Ostrel_Init, Ostrel_Uninit and the discovery calls (search, snapshots,
Ostrel_Device_Open) must not overlap any other call of the library; every
other call may overlap the others. Each call holds the gate for exactly one
library call, never across Python code, so holders never nest; a finalizer
that runs while its thread is at the gate (idle_here() is False) must leave
its call for later.
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
        self._here = threading.local()

    def idle_here(self) -> bool:
        """Whether this thread neither holds the gate nor waits for it."""
        return getattr(self._here, "depth", 0) == 0

    @contextlib.contextmanager
    def _entered(self) -> Iterator[None]:
        self._here.depth = getattr(self._here, "depth", 0) + 1
        try:
            yield
        finally:
            self._here.depth -= 1

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        with self._entered():
            with self._shared_held():
                yield

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        with self._entered():
            with self._exclusive_held():
                yield

    @contextlib.contextmanager
    def _shared_held(self) -> Iterator[None]:
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
    def _exclusive_held(self) -> Iterator[None]:
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
