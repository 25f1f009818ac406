"""Numbers and CSV fields as ostrel writes them, so that a CSV file written
here reads the same as one of `ostrel stream --csv`."""

from __future__ import annotations

import math

import numpy as np


def short_number(value: float) -> str:
    """The fewest significant digits (up to 9) that read back to the same
    float32, without trading whole digits for an exponent: 40 is "40",
    0.001 is "0.001", 22.036133 stays so."""
    if math.isnan(value):
        return "nan"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    whole = 1 if value == 0 else math.floor(math.log10(abs(value))) + 1
    target = np.float32(value)
    for digits in range(1, 10):
        precision = whole if digits < whole <= 15 else digits
        text = "%.*g" % (precision, value)
        if np.float32(float(text)) == target:
            return text
    return "%.9g" % value


def decimals_for(step: float) -> int:
    """Decimals needed to show multiples of step (0.001 gives 3, 0.25 gives 2)."""
    if not (step > 0) or not math.isfinite(step):
        return 0
    decimals = 0
    scaled = step
    while decimals < 9 and abs(scaled - round(scaled)) > 1e-6 * max(1.0, abs(scaled)):
        scaled *= 10
        decimals += 1
    return decimals


def time_decimals(period: float) -> int:
    """Decimals of a time stamp: enough for the period, at least milliseconds."""
    return max(decimals_for(period), 3)


def csv_field(text: str) -> str:
    """A field, quoted when it holds a comma, a quote, a line break or edge blanks."""
    if any(c in text for c in ',"\r\n') or (text and (text[0] == " " or text[-1] == " ")):
        return '"' + text.replace('"', '""') + '"'
    return text


def csv_row(fields) -> str:
    """One record with its line end ("\\r\\n", as the format asks)."""
    return ",".join(csv_field(field) for field in fields) + "\r\n"


def hex_bytes(data: bytes) -> str:
    """ "01 02 0a"."""
    return " ".join(f"{b:02x}" for b in data)
