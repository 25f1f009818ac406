"""A sensor's data sheet, as the library holds it for an open unit."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import TYPE_CHECKING, Tuple

import numpy as np

from . import _exports

if TYPE_CHECKING:
    from .unit import Unit

PAGES = 3
_TEXT_BUFFER = 64
RECORD_SIZE = 128


@dataclass(frozen=True)
class CalPage:
    """One calibration page: value = k0 + k1 x volts (k2 is carried only)."""

    k0: float
    k1: float
    k2: float
    units: str


@dataclass(frozen=True)
class DataSheet:
    """Every field of a channel's data sheet, in record order, with the
    128 bytes they come from and whether its checksum holds.

    Float fields are the float32 values of the sheet, shown with the fewest
    digits that keep them (0.001, not 0.0010000000475).
    """

    channel: int
    mem_map_version: int
    sensor_number: int
    serial_number: Tuple[int, int, int]
    lot_code: Tuple[int, int]
    manufacturer_id: int
    long_name: str
    short_name: str
    uncertainty: int
    significant_figures: int
    current_requirement: int
    averaging: int
    min_sample_period: float
    typ_sample_period: float
    typ_number_of_samples: int
    warm_up_time: int
    experiment_type: int
    operation_type: int
    calibration_equation: int
    ymin_value: float
    ymax_value: float
    yscale: int
    highest_valid_cal_page_index: int
    active_cal_page: int
    pages: Tuple[CalPage, CalPage, CalPage]
    checksum: int
    computed_checksum: int
    record: bytes

    @property
    def checksum_holds(self) -> bool:
        """Whether byte 127 is what bytes 0-126 give."""
        return self.checksum == self.computed_checksum

    @property
    def calibration_page(self) -> int:
        """The page the library calibrates with: the active one while it is
        among the valid pages, page 0 otherwise."""
        page = self.active_cal_page
        return page if page <= self.highest_valid_cal_page_index and page < PAGES else 0

    @property
    def units(self) -> str:
        """Units of calibrated values: the calibration page's, or 'V' when the
        equation is not the linear one (values then stay in volts)."""
        if self.calibration_equation != 1:
            return "V"
        return self.pages[self.calibration_page].units

    @property
    def name(self) -> str:
        """The short name, else the long name, else 'channel N'."""
        return self.short_name or self.long_name or f"channel {self.channel}"


# Attribute of each single-value field, by the export's field name.
_ATTRIBUTES = {
    "MemMapVersion": "mem_map_version",
    "SensorNumber": "sensor_number",
    "ManufacturerID": "manufacturer_id",
    "LongName": "long_name",
    "ShortName": "short_name",
    "Uncertainty": "uncertainty",
    "SignificantFigures": "significant_figures",
    "CurrentRequirement": "current_requirement",
    "Averaging": "averaging",
    "MinSamplePeriod": "min_sample_period",
    "TypSamplePeriod": "typ_sample_period",
    "TypNumberofSamples": "typ_number_of_samples",
    "WarmUpTime": "warm_up_time",
    "ExperimentType": "experiment_type",
    "OperationType": "operation_type",
    "CalibrationEquation": "calibration_equation",
    "YminValue": "ymin_value",
    "YmaxValue": "ymax_value",
    "Yscale": "yscale",
    "HighestValidCalPageIndex": "highest_valid_cal_page_index",
    "ActiveCalPage": "active_cal_page",
    "Checksum": "checksum",
}

_OUTPUT_TYPES = {"u8": ctypes.c_ubyte, "u16": ctypes.c_ushort, "float": ctypes.c_float}


def _float(value: float) -> float:
    return float(str(np.float32(value)))


def _text(buffer: ctypes.Array) -> str:
    return buffer.value.decode("latin-1")


def read(unit: "Unit", channel: int) -> DataSheet:
    """Reads every field of the channel's data sheet through the accessors."""
    fields = {"channel": channel}

    def get(field: str, *outputs) -> None:
        export = "Ostrel_Device_DDSMem_Get" + field
        unit._check(export, channel, *outputs, call=_call_text(export, channel))

    for field, kind in _exports.FIELDS:
        attribute = _ATTRIBUTES[field]
        if kind == "text":
            buffer = ctypes.create_string_buffer(_TEXT_BUFFER)
            get(field, buffer, _TEXT_BUFFER)
            fields[attribute] = _text(buffer)
        else:
            out = _OUTPUT_TYPES[kind]()
            get(field, ctypes.byref(out))
            fields[attribute] = _float(out.value) if kind == "float" else out.value

    serial = [ctypes.c_ubyte() for _ in range(3)]
    get("SerialNumber", *(ctypes.byref(b) for b in serial))
    fields["serial_number"] = tuple(b.value for b in serial)
    lot = [ctypes.c_ubyte() for _ in range(2)]
    get("LotCode", *(ctypes.byref(b) for b in lot))
    fields["lot_code"] = tuple(b.value for b in lot)

    pages = []
    for page in range(PAGES):
        k = [ctypes.c_float() for _ in range(3)]
        units = ctypes.create_string_buffer(_TEXT_BUFFER)
        get("CalPage", page, *(ctypes.byref(x) for x in k), units, _TEXT_BUFFER)
        pages.append(CalPage(*(_float(x.value) for x in k), _text(units)))
    fields["pages"] = tuple(pages)

    computed = ctypes.c_ubyte()
    record = (ctypes.c_ubyte * RECORD_SIZE)()
    for export, output in (("CalculateChecksum", computed), ("GetRecord", record)):
        export = "Ostrel_Device_DDSMem_" + export
        unit._check(export, channel, output, call=_call_text(export, channel))
    fields["computed_checksum"] = computed.value
    fields["record"] = bytes(record)
    return DataSheet(**fields)


def _call_text(export: str, channel: int) -> str:
    return f"{export}(channel {channel})"
