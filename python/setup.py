"""The package's build step: puts a copy of the library into ostrel/_lib/.

Which library: the files named in OSTREL_BUNDLE_LIBRARY (separated like
PATH: ':' on Linux, ';' on Windows), else the one this tree builds for this
system (the native-release preset's libOstrel_lib.so on Linux; the Windows
DLLs of build/win32 and build/win64). Each file is placed by what it is: a
Linux library as _lib/libOstrel_lib.so, a 32-bit DLL as
_lib/x86/Ostrel_lib.dll, a 64-bit DLL as _lib/x64/Ostrel_lib.dll, so that one
package can carry both DLLs; the copy is stripped of its symbols where a
strip tool for it is at hand. With none found the package is built without
a copy on Linux, and looks for the library at run time (OSTREL_LIBRARY, then
the system's search path); on Windows, where no system copy is to be
expected, that is refused unless OSTREL_BUNDLE_LIBRARY=none asks for it.

A wheel with a library is tagged for that library's systems: win32 and
win_amd64 for the DLLs, manylinux_X_Y for a Linux library that needs glibc
X.Y.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
TREE_BUILD = HERE.parent / "build"

# A DLL's folder inside _lib/ and its wheel platform, by PE machine type.
PE_MACHINES = {0x014C: ("x86", "win32"), 0x8664: ("x64", "win_amd64")}
# The strip tool of each kind of file, where it may be at hand.
STRIP_TOOLS = {None: "strip", "win32": "i686-w64-mingw32-strip", "win_amd64": "x86_64-w64-mingw32-strip"}
WITHOUT_LIBRARY = "none"


def default_sources(platform=sys.platform):
    if platform == "win32":
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


def glibc_needed(path: Path):
    """The newest glibc version a Linux library names, as (major, minor)."""
    versions = re.findall(rb"GLIBC_(\d+)\.(\d+)", path.read_bytes())
    return max(((int(a), int(b)) for a, b in versions), default=None)


def linux_platform(path: Path, platform: str) -> str:
    """linux_ARCH as manylinux_X_Y_ARCH, when the library's glibc needs are known."""
    needed = glibc_needed(path)
    if needed is None or not platform.startswith("linux_"):
        return platform
    return f"manylinux_{needed[0]}_{needed[1]}_" + platform[len("linux_") :]


def sources(platform=sys.platform):
    named = os.environ.get("OSTREL_BUNDLE_LIBRARY")
    if named == WITHOUT_LIBRARY:
        return []
    if not named:
        found = [p for p in default_sources(platform) if p.is_file()]
        if not found and platform == "win32":
            raise SystemExit(
                "setup.py: no Ostrel_lib.dll to put into the package, and without one it would not work: set "
                "OSTREL_BUNDLE_LIBRARY to the release's DLLs (x86\\Ostrel_lib.dll;x64\\Ostrel_lib.dll), or install "
                "the release's wheel instead (OSTREL_BUNDLE_LIBRARY=none builds without a DLL)"
            )
        return found
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
            place, platform = identify(source)
            (target / place).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(source, target / place)
            stripped = strip(target / place, platform)
            print(f"setup.py: {source} -> ostrel/_lib/{place}{' (stripped)' if stripped else ''}")


def has_symbols(path: Path) -> bool:
    """Whether a library still carries a symbol table (a DLL of the release
    does not, and stays as it is, byte for byte)."""
    head = path.read_bytes()
    if head[:4] == b"\x7fELF":
        return b".symtab" in head
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    return struct.unpack_from("<I", head, pe + 4 + 12)[0] != 0  # the COFF header's number of symbols


def strip(path: Path, platform) -> bool:
    """Strips a copy of its symbols and debug information (its exports stay)."""
    tool = shutil.which(STRIP_TOOLS[platform])
    if tool is None or not has_symbols(path):
        return False
    subprocess.run([tool, "--strip-unneeded", str(path)], check=True)
    return True


commands = {"build_py": build_py_with_library}

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        bdist_wheel = None

if bdist_wheel is None:
    from setuptools import Command

    class bdist_wheel_unavailable(Command):
        """Without the wheel command a wheel with a library inside would be
        tagged for any system: refused rather than built so."""

        user_options = [("dist-dir=", "d", "where the wheel would go")]

        def initialize_options(self):
            self.dist_dir = None

        def finalize_options(self):
            pass

        def run(self):
            raise SystemExit(
                "setup.py: the wheel command is not available (Debian: apt-get install python3-wheel), so the "
                "wheel could not be tagged for the library it carries"
            )

    commands["bdist_wheel"] = bdist_wheel_unavailable
else:

    class bdist_wheel_for_library(bdist_wheel):
        """A wheel with a library inside is for that library's system only."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = not sources()

        def get_tag(self):
            python, abi, platform = super().get_tag()
            if self.root_is_pure:
                return python, abi, platform
            platforms = sorted({identify(p)[1] or linux_platform(p, platform) for p in sources()})
            return "py3", "none", ".".join(platforms)

    commands["bdist_wheel"] = bdist_wheel_for_library

if __name__ == "__main__":
    setup(cmdclass=commands)
