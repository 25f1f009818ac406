"""The package's build step: puts a copy of the library into ostrel/_lib/.

Which library: the files named in OSTREL_BUNDLE_LIBRARY (separated like
PATH), else the one this tree builds for this system (the native-release
preset's libOstrel_lib.so on Linux; the Windows DLLs of build/win32 and
build/win64). Each file is placed by what it is: a Linux library as
_lib/libOstrel_lib.so, a 32-bit DLL as _lib/x86/Ostrel_lib.dll, a 64-bit DLL
as _lib/x64/Ostrel_lib.dll, so that one package can carry both DLLs. With
none found the package is built without a copy and looks for the library
at run time (OSTREL_LIBRARY, then the system's search path).
"""

import os
import shutil
import struct
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
TREE_BUILD = HERE.parent / "build"

# A DLL's folder inside _lib/ and its wheel platform, by PE machine type.
PE_MACHINES = {0x014C: ("x86", "win32"), 0x8664: ("x64", "win_amd64")}


def default_sources():
    if sys.platform == "win32":
        return [TREE_BUILD / p / "bin" / "Ostrel_lib.dll" for p in ("win32", "win64")]
    return [TREE_BUILD / "native-release" / "bin" / "libOstrel_lib.so"]


def identify(path: Path):
    """Where a library file goes inside _lib/, and the wheel platform it
    needs (None: the building system's), by the file's header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:4] == b"\x7fELF":
        return "libOstrel_lib.so", None
    if head[:2] == b"MZ" and len(head) >= 0x40:
        pe = struct.unpack_from("<I", head, 0x3C)[0]
        if head[pe : pe + 4] == b"PE\0\0" and len(head) >= pe + 6:
            machine = struct.unpack_from("<H", head, pe + 4)[0]
            if machine in PE_MACHINES:
                folder, platform = PE_MACHINES[machine]
                return folder + "/Ostrel_lib.dll", platform
    raise SystemExit(f"setup.py: {path} is not a Linux library or a 32- or 64-bit Windows DLL")


def sources():
    named = os.environ.get("OSTREL_BUNDLE_LIBRARY")
    if not named:
        return [p for p in default_sources() if p.is_file()]
    found = [Path(p) for p in named.split(os.pathsep) if p]
    for source in found:
        if not source.is_file():
            raise SystemExit(f"setup.py: OSTREL_BUNDLE_LIBRARY names {source}, which is not a file")
    return found


class build_py_with_library(build_py):
    def run(self):
        super().run()
        target = Path(self.build_lib) / "ostrel" / "_lib"
        shutil.rmtree(target, ignore_errors=True)  # nothing left over from an earlier build
        if not sources():
            print(
                "setup.py: no library to put into the package (build the native-release preset, or set "
                "OSTREL_BUNDLE_LIBRARY); it will look for one at run time",
                file=sys.stderr,
            )
        for source in sources():
            place, _ = identify(source)
            (target / place).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target / place)
            print(f"setup.py: {source} -> ostrel/_lib/{place}")


commands = {"build_py": build_py_with_library}

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # building without wheels (an sdist, say)
    bdist_wheel = None

if bdist_wheel is not None:

    class bdist_wheel_for_library(bdist_wheel):
        """A wheel with a library inside is for that library's system only."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = not sources()

        def get_tag(self):
            python, abi, platform = super().get_tag()
            if self.root_is_pure:
                return python, abi, platform
            platforms = sorted({identify(p)[1] or platform for p in sources()})
            return "py3", "none", ".".join(platforms)

    commands["bdist_wheel"] = bdist_wheel_for_library

if __name__ == "__main__":
    setup(cmdclass=commands)
