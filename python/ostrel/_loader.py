"""Finds and loads the library file.

Order: a path the caller gives, the path in OSTREL_LIBRARY, the copy inside
the package (ostrel/_lib/, put there when the package was built), then the
system's search path.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from . import _exports
from .errors import Error

ENVIRONMENT_VARIABLE = "OSTREL_LIBRARY"
PACKAGE_COPY = Path(__file__).resolve().parent / "_lib"

_loaded: Dict[str, ctypes.CDLL] = {}
_lock = threading.Lock()


def _is_windows() -> bool:
    return sys.platform == "win32"


def file_name() -> str:
    """The library's file name on this system."""
    if _is_windows():
        return "Ostrel_lib.dll"
    if sys.platform == "darwin":
        return "libOstrel_lib.dylib"
    return "libOstrel_lib.so"


def package_copy() -> Path:
    """Where the package keeps its own copy for this interpreter: a DLL per
    pointer size on Windows (x86/, x64/), the one library elsewhere."""
    if _is_windows():
        return PACKAGE_COPY / ("x64" if struct.calcsize("P") == 8 else "x86") / file_name()
    return PACKAGE_COPY / file_name()


def candidates(path: Optional[os.PathLike] = None) -> List[Tuple[str, str]]:
    """The places to try, in order, as (where it came from, file or name)."""
    if path is not None:
        return [("the path given", os.fspath(path))]
    from_environment = os.environ.get(ENVIRONMENT_VARIABLE)
    if from_environment:
        return [(ENVIRONMENT_VARIABLE, from_environment)]
    found: List[Tuple[str, str]] = []
    copy = package_copy()
    if copy.is_file():
        found.append(("the package's copy", str(copy)))
    if _is_windows():
        # ctypes does not look on PATH for a bare name; find_library does.
        on_path = ctypes.util.find_library("Ostrel_lib")
        if on_path:
            found.append(("the search path", on_path))
    else:
        found.append(("the search path", file_name()))
    return found


def _open(file: str) -> ctypes.CDLL:
    with _lock:
        library = _loaded.get(file)
        if library is None:
            library = ctypes.CDLL(file)
            missing = _exports.declare(library)
            if missing:
                raise Error(
                    f"{file} lacks {len(missing)} of the exports this package uses "
                    f"({', '.join(missing[:3])}{', ...' if len(missing) > 3 else ''}): "
                    "it is not an Ostrel_lib of this version"
                )
            _loaded[file] = library
        return library


def load(path: Optional[os.PathLike] = None) -> Tuple[ctypes.CDLL, str]:
    """Loads the library; returns it with the file or name it came from.

    A path given, or OSTREL_LIBRARY, is the only place tried: a wrong one is
    an error, not a reason to load some other copy.
    """
    tried = []
    for where, file in candidates(path):
        try:
            return _open(file), file
        except OSError as error:
            tried.append(f"{where} ({file}): {error}")
    bits = struct.calcsize("P") * 8
    if not tried:
        tried.append("the package holds no copy and none is on the search path")
    raise Error(
        "cannot load Ostrel_lib for this "
        f"{bits}-bit Python; tried "
        + "; ".join(tried)
        + f". Set {ENVIRONMENT_VARIABLE} to the library's path"
        + (" (a 32-bit Python needs the 32-bit DLL, a 64-bit one the 64-bit DLL)" if _is_windows() else "")
    )
