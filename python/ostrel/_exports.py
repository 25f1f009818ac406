"""The library's exported C interface as ctypes prototypes.

Every export of include/Ostrel_lib.h is declared here, so that a library
that lacks one is refused when it is loaded rather than half-way through a
measurement. Handles are pointer-sized (c_void_p), which serves the 32-bit
and the 64-bit DLL and the Linux library alike; every export is cdecl, so
ctypes.CDLL is right on Windows too.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, c_char_p, c_double, c_float, c_int, c_short, c_ubyte, c_uint, c_ushort, c_void_p
from typing import Dict, List, Sequence, Tuple

Handle = c_void_p
Prototype = Tuple[object, Sequence[object]]  # (restype, argtypes)

_p = POINTER

# The exports other than the data-sheet field accessors, in header order.
_PLAIN: Dict[str, Prototype] = {
    # lifecycle
    "Ostrel_Init": (Handle, ()),
    "Ostrel_Uninit": (c_int, (Handle,)),
    "Ostrel_GetDLLVersion": (c_int, (Handle, _p(c_short), _p(c_short))),
    # discovery
    "Ostrel_SearchForDevices": (c_int, (Handle, c_int, c_int, _p(c_int))),
    "Ostrel_OpenDeviceListSnapshot": (Handle, (Handle, c_int, _p(c_int), _p(c_int))),
    "Ostrel_DeviceListSnapshot_GetNthEntry": (c_int, (Handle, c_uint, c_char_p, c_int, _p(c_int))),
    "Ostrel_CloseDeviceListSnapshot": (c_int, (Handle,)),
    # open devices
    "Ostrel_Device_Open": (Handle, (Handle, c_char_p)),
    "Ostrel_Device_Close": (c_int, (Handle,)),
    "Ostrel_Device_GetOpenDeviceName": (c_int, (Handle, c_char_p, c_int)),
    "Ostrel_Device_Lock": (c_int, (Handle, c_uint)),
    "Ostrel_Device_Unlock": (c_int, (Handle,)),
    # commands and data
    "Ostrel_Device_SendCmd": (c_int, (Handle, c_int, _p(c_ubyte), c_int, _p(c_int))),
    "Ostrel_Device_SendCmdAndGetResponse": (
        c_int,
        (Handle, c_int, _p(c_ubyte), c_int, _p(c_ubyte), _p(c_int), c_uint),
    ),
    "Ostrel_Device_GetNextResponse": (
        c_int,
        (Handle, _p(c_ubyte), _p(c_int), _p(c_ubyte), _p(c_ubyte), _p(c_int), c_uint),
    ),
    "Ostrel_Device_ClearIO": (c_int, (Handle, c_int)),
    "Ostrel_Device_SetMeasurementPeriod": (c_int, (Handle, c_double, c_uint)),
    "Ostrel_Device_GetMeasurementPeriod": (c_int, (Handle, _p(c_double), c_uint)),
    "Ostrel_Device_GetMeasurementTick": (c_double, (Handle,)),
    "Ostrel_Device_GetMinimumMeasurementPeriod": (c_double, (Handle,)),
    "Ostrel_Device_GetMaximumMeasurementPeriod": (c_double, (Handle,)),
    "Ostrel_Device_GetNumMeasurementsAvailable": (c_int, (Handle, c_int)),
    "Ostrel_Device_ReadRawMeasurements": (c_int, (Handle, c_int, _p(c_int), c_int)),
    "Ostrel_Device_GetLatestRawMeasurement": (c_int, (Handle, c_int)),
    "Ostrel_Device_ConvertToVoltage": (c_double, (Handle, c_int, c_int)),
    "Ostrel_Device_CalibrateData": (c_double, (Handle, c_int, c_double)),
    "Ostrel_Device_CalibrateData2": (c_double, (Handle, c_int, c_int)),
    "Ostrel_Device_GetChannelRange": (c_int, (Handle, _p(c_int), _p(c_int))),
    "Ostrel_Device_NVMemBlk_GetAddrRange": (c_int, (Handle, c_int, _p(c_int), _p(c_int))),
    "Ostrel_Device_NVMemBlk_Read": (c_int, (Handle, c_int, _p(c_ubyte), c_int, c_int, c_uint)),
    "Ostrel_Device_NVMemBlk_Write": (c_int, (Handle, c_int, _p(c_ubyte), c_int, c_int, c_uint)),
    # whole data sheets
    "Ostrel_Device_DDSMem_ReadRecord": (c_int, (Handle, c_int, c_ubyte, c_uint)),
    "Ostrel_Device_DDSMem_WriteRecord": (c_int, (Handle, c_int, c_uint)),
    "Ostrel_Device_DDSMem_SetRecord": (c_int, (Handle, c_int, _p(c_ubyte))),
    "Ostrel_Device_DDSMem_GetRecord": (c_int, (Handle, c_int, _p(c_ubyte))),
    "Ostrel_Device_DDSMem_CalculateChecksum": (c_int, (Handle, c_int, _p(c_ubyte))),
    "Ostrel_Device_DDSMem_SetSerialNumber": (c_int, (Handle, c_int, c_int, c_int, c_int)),
    "Ostrel_Device_DDSMem_GetSerialNumber": (c_int, (Handle, c_int, _p(c_ubyte), _p(c_ubyte), _p(c_ubyte))),
    "Ostrel_Device_DDSMem_SetLotCode": (c_int, (Handle, c_int, c_int, c_int)),
    "Ostrel_Device_DDSMem_GetLotCode": (c_int, (Handle, c_int, _p(c_ubyte), _p(c_ubyte))),
    "Ostrel_Device_DDSMem_SetCalPage": (
        c_int,
        (Handle, c_int, c_ubyte, c_float, c_float, c_float, c_char_p),
    ),
    "Ostrel_Device_DDSMem_GetCalPage": (
        c_int,
        (Handle, c_int, c_ubyte, _p(c_float), _p(c_float), _p(c_float), c_char_p, c_ushort),
    ),
    # diagnostics
    "Ostrel_Diags_SetDebugTraceThreshold": (c_int, (Handle, c_int)),
    "Ostrel_Diags_GetDebugTraceThreshold": (c_int, (Handle, _p(c_int))),
    "Ostrel_Diags_SetIOTraceEnableFlag": (c_int, (Handle, c_ubyte)),
    "Ostrel_Diags_GetIOTraceEnableFlag": (c_int, (Handle, _p(c_ubyte))),
    "Ostrel_Diags_GetNumInputTraceBytesAvailable": (c_int, (Handle,)),
    "Ostrel_Diags_GetNumOutputTraceBytesAvailable": (c_int, (Handle,)),
    "Ostrel_Diags_ReadInputTraceBytes": (c_int, (Handle, _p(c_ubyte), c_int)),
    "Ostrel_Diags_ReadOutputTraceBytes": (c_int, (Handle, _p(c_ubyte), c_int)),
}

# The single-value data-sheet fields: how each setter takes its value and
# each getter hands it out. Setters of 8- and 16-bit fields take an int.
_U8, _U16, _FLOAT, _TEXT = "u8", "u16", "float", "text"
FIELDS: List[Tuple[str, str]] = [
    ("MemMapVersion", _U8),
    ("SensorNumber", _U8),
    ("ManufacturerID", _U8),
    ("LongName", _TEXT),
    ("ShortName", _TEXT),
    ("Uncertainty", _U8),
    ("SignificantFigures", _U8),
    ("CurrentRequirement", _U8),
    ("Averaging", _U8),
    ("MinSamplePeriod", _FLOAT),
    ("TypSamplePeriod", _FLOAT),
    ("TypNumberofSamples", _U16),
    ("WarmUpTime", _U16),
    ("ExperimentType", _U8),
    ("OperationType", _U8),
    ("CalibrationEquation", _U8),
    ("YminValue", _FLOAT),
    ("YmaxValue", _FLOAT),
    ("Yscale", _U8),
    ("HighestValidCalPageIndex", _U8),
    ("ActiveCalPage", _U8),
    ("Checksum", _U8),
]

_FIELD_PROTOTYPES: Dict[str, Tuple[Prototype, Prototype]] = {
    _U8: ((c_int, (Handle, c_int, c_int)), (c_int, (Handle, c_int, _p(c_ubyte)))),
    _U16: ((c_int, (Handle, c_int, c_int)), (c_int, (Handle, c_int, _p(c_ushort)))),
    _FLOAT: ((c_int, (Handle, c_int, c_float)), (c_int, (Handle, c_int, _p(c_float)))),
    _TEXT: ((c_int, (Handle, c_int, c_char_p)), (c_int, (Handle, c_int, c_char_p, c_ushort))),
}


def prototypes() -> Dict[str, Prototype]:
    """Every export's name with its (restype, argtypes)."""
    table = dict(_PLAIN)
    for field, kind in FIELDS:
        setter, getter = _FIELD_PROTOTYPES[kind]
        table["Ostrel_Device_DDSMem_Set" + field] = setter
        table["Ostrel_Device_DDSMem_Get" + field] = getter
    return table


def declare(library: ctypes.CDLL) -> List[str]:
    """Sets restype and argtypes of every export; returns the names missing."""
    missing = []
    for name, (restype, argtypes) in prototypes().items():
        try:
            function = getattr(library, name)
        except AttributeError:
            missing.append(name)
            continue
        function.restype = restype
        function.argtypes = list(argtypes)
    return missing
