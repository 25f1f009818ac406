"""python -m ostrel: searches for units and lists them, as `ostrel list` does."""

from __future__ import annotations

import sys
from typing import List, Optional

from . import Error, Library, NoBluetoothStack

USAGE = """usage: python -m ostrel [list]

Searches for units (7.7 s, or 15 s on the Widcomm stack) and lists them with
their status, as `ostrel list` does."""


def print_units(names: List[str], statuses: List[str]) -> None:
    if not names:
        print("no units found")
        return
    print(f"{len(names)} unit{'' if len(names) == 1 else 's'} found:")
    width = max([4] + [len(name) for name in names])
    print(f"  {'NAME':<{width}}  STATUS")
    for name, status in zip(names, statuses):
        print(f"  {name:<{width}}  {status}")


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args and args[0] in ("-h", "--help"):
        print(USAGE)
        return 0
    if args not in ([], ["list"]):
        print(USAGE, file=sys.stderr)
        return 2
    try:
        with Library() as lib:
            units = lib.search()
    except NoBluetoothStack as error:
        print(f"ostrel: {error}", file=sys.stderr)
        return 5  # the exit codes of ostrel
    except Error as error:
        print(f"ostrel: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    print_units([u.name for u in units], ["open" if u.open else "available" for u in units])
    return 0


if __name__ == "__main__":
    sys.exit(main())
