"""Holding Ctrl-C back across the steps that must not be cut apart.

Python raises KeyboardInterrupt between any two byte codes of the main
thread, so a handle the library has just handed out, or samples just moved
out of its buffers, could be lost between the call and the line that keeps
them. Inside held() Ctrl-C is only noted: the block raises it where nothing
is in flight (the check it is given), or it is raised when the block ends.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Callable, Iterator


def _nothing() -> None:
    pass


@contextlib.contextmanager
def held(absorb: bool = False) -> Iterator[Callable[[], None]]:
    """Notes Ctrl-C instead of raising it; yields a check that passes a noted
    one on. At the end a noted Ctrl-C is passed on, unless absorb is set (for
    clean-up while another exception is already on its way out)."""
    if threading.current_thread() is not threading.main_thread():
        yield _nothing  # signals reach the main thread only
        return
    noted = []
    try:
        previous = signal.signal(signal.SIGINT, lambda number, frame: noted.append(number))
    except ValueError:  # not the main interpreter
        yield _nothing
        return

    def pass_on() -> None:
        if not noted:
            return
        noted.clear()
        if callable(previous):
            previous(signal.SIGINT, None)  # Python's own handler raises KeyboardInterrupt
        elif previous != signal.SIG_IGN:
            raise KeyboardInterrupt

    try:
        yield pass_on
    finally:
        signal.signal(signal.SIGINT, previous)
        if absorb:
            noted.clear()
        pass_on()
