"""Finds and loads the library file.

Order: a path the caller gives, the path in OSTREL_LIBRARY, the copy inside
the package (ostrel/_lib/, put there when the package was built), then the
system's search path.

On Windows the library loads the Widcomm stack's shim, ZEL_WidI.dll, by its
bare name when Ostrel_Init first asks, so Windows looks for it beside the
program (python.exe of the base installation, also from a venv), in the
system folders, the current folder and on PATH, but not in folders that
os.add_dll_directory() adds. A shim beside the Ostrel_lib.dll loaded here is
loaded first by its full path; Windows then hands that one to the library.
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
SHIM = "ZEL_WidI.dll"

_loaded: Dict[str, ctypes.CDLL] = {}
_lock = threading.Lock()
# Why the shim beside the library did not load, for the hint when no stack is found.
shim_problem = ""


def _is_windows() -> bool:
    return sys.platform == "win32"


def file_name() -> str:
    """The library's file name on this system."""
    if _is_windows():
        return "Ostrel_lib.dll"
    if sys.platform == "darwin":
        return "libOstrel_lib.dylib"
    return "libOstrel_lib.so"


def _bits() -> int:
    return struct.calcsize("P") * 8


def package_copy() -> Path:
    """Where the package keeps its own copy for this interpreter: a DLL per
    pointer size on Windows (x86/, x64/), the one library elsewhere."""
    if _is_windows():
        return PACKAGE_COPY / ("x64" if _bits() == 64 else "x86") / file_name()
    return PACKAGE_COPY / file_name()


def shim_beside(library_file: str) -> Optional[Path]:
    """The Widcomm shim beside a library file given by its path, if there is one."""
    if not _is_windows() or os.path.basename(library_file) == library_file:
        return None
    shim = Path(library_file).resolve().parent / SHIM
    return shim if shim.is_file() else None


def _load_shim(library_file: str) -> None:
    global shim_problem
    shim = shim_beside(library_file)
    if shim is None:
        return
    try:
        _loaded[str(shim)] = ctypes.CDLL(str(shim))
    except OSError as error:
        shim_problem = f"{shim} did not load ({error})" + (
            ": the shim exists as a 32-bit DLL only, which a 64-bit Python cannot load" if _bits() == 64 else ""
        )


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
            _load_shim(file)
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
    bits = _bits()
    if path is None and not os.environ.get(ENVIRONMENT_VARIABLE) and not package_copy().is_file():
        other = package_copy().parent.parent / ("x86" if bits == 64 else "x64") / file_name()
        if _is_windows() and other.is_file():
            tried.append(f"the package holds the {96 - bits}-bit DLL only ({other})")
        else:
            tried.append(
                f"the package holds no copy of the library ({package_copy()} is missing): it was built before "
                "the library was; build the library and install the package again"
            )
    raise Error(
        "cannot load Ostrel_lib for this "
        f"{bits}-bit Python; tried "
        + "; ".join(tried)
        + f". Set {ENVIRONMENT_VARIABLE} to the library's path"
        + (" (a 32-bit Python needs the 32-bit DLL, a 64-bit one the 64-bit DLL)" if _is_windows() else "")
    )
