"""The exceptions of the package: one line each, in the shape of ostrel's
failure lines ("CALL RESULT: HINT")."""

from __future__ import annotations

from typing import Optional


class Error(Exception):
    """A call of the library failed, or was refused before it was made.

    Attributes:
        export: the name of the export that failed (``"Ostrel_Device_Open"``),
            or None when the failure is not one call's (a unit that stopped
            sending, for instance).
        call: the export with the arguments that tell which call it was
            (``'Ostrel_Device_Open("99999")'``); equal to ``export`` when
            there are none worth showing.
        result: what the export returned: an int, None for a null handle,
            or None when the call was never made (``WrongThread``).
        hint: what the failure most likely means, in words ('' when nothing
            useful can be said).
        partial: on a failure that ended a ``record()`` or a stream, the
            samples read and not yet handed out (a Recording or a Block);
            None otherwise. A KeyboardInterrupt that ends one carries it too.
    """

    partial = None

    def __init__(
        self,
        hint: str = "",
        *,
        export: Optional[str] = None,
        call: Optional[str] = None,
        result: Optional[int] = None,
        outcome: Optional[str] = None,
    ) -> None:
        self.export = export
        self.call = call if call is not None else export
        self.result = result
        self.hint = hint
        # "returned -1", "returned null", "gave no period"...
        if outcome is None and export is not None:
            outcome = "returned null" if result is None else f"returned {result}"
        self.outcome = outcome
        super().__init__(self._line())

    def _line(self) -> str:
        if self.call is None:
            return self.hint
        line = f"{self.call} {self.outcome}"
        return f"{line}: {self.hint}" if self.hint else line


class UnitNotFound(Error):
    """No unit of that name was among the units the search found."""


class DeviceIOError(Error):
    """The unit did not answer in time, reported an error, failed a data-sheet
    check, or stopped sending measurements."""


class NoBluetoothStack(Error):
    """``Ostrel_Init`` found no usable Bluetooth stack."""


class WrongThread(Error):
    """A unit was used from a thread other than the one that opened it.

    Raised before the library is called: ``result`` is None."""
