"""Checks the release's Python wheel once installed (by check_package.sh,
with the interpreter of the venv it was installed into):
    check_wheel.py RELEASE_FOLDER
The package must pick the DLL of the interpreter's bitness by its own rule,
and that DLL must be the release's DLL of that bitness. Linux cannot load a
Windows DLL, so the rule is what is run here; each DLL's exports and loading
are checked under Wine by the rest of check_package.sh."""

import struct
import sys
from pathlib import Path

import ostrel
from ostrel import _loader

MACHINES = {32: 0x014C, 64: 0x8664}


def machine(path: Path) -> int:
    head = path.read_bytes()[:4096]
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    return struct.unpack_from("<H", head, pe + 4)[0]


def main() -> int:
    release = Path(sys.argv[1])
    installed = Path(ostrel.__file__).parent
    problems = []
    if "site-packages" not in installed.parts:
        problems.append(f"ostrel came from {installed}, not from the venv")
    if not (installed / "py.typed").is_file():
        problems.append("no py.typed")
    if list(installed.rglob("ZEL_WidI*")):
        problems.append("a shim is inside")
    _loader._is_windows = lambda: True
    for bits, folder in ((32, "x86"), (64, "x64")):
        _loader._bits = lambda: bits
        chosen = _loader.package_copy()
        where, file = _loader.candidates()[0]
        if where != "the package's copy" or Path(file) != chosen:
            problems.append(f"{bits}-bit: the package's own copy is not the first place tried: {where} {file}")
        elif chosen.read_bytes() != (release / folder / "Ostrel_lib.dll").read_bytes():
            problems.append(f"{bits}-bit: {chosen} is not the release's {folder}\\Ostrel_lib.dll")
        elif machine(chosen) != MACHINES[bits]:
            problems.append(f"{bits}-bit: {chosen} is built for machine {machine(chosen):#x}")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
