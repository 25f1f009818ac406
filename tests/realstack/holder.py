#!/usr/bin/python3
"""A host process that lives across steps of a case: reads one command a
line from standard input, answers one line on standard output ("ok ..." or
"error ...").

    init | search | open NAME | record NAME SECONDS | close NAME | uninit | quit
"""

import sys

import ostrel


def main():
    lib = None
    units = {}

    def run(words):
        nonlocal lib
        verb = words[0]
        if verb == "init":
            lib = ostrel.Library()
            lib.trace_threshold = 10  # the library's trace to standard error, into the suite's log
            return ""
        if verb == "search":
            return " ".join(u.name for u in lib.search())
        if verb == "open":
            units[words[1]] = lib.open(words[1])
            return words[1]
        if verb == "record":
            data = units[words[1]].record(seconds=float(words[2]), channels=[3, 4])
            return str(len(data.values))
        if verb == "close":
            units.pop(words[1]).close()
            return words[1]
        if verb == "uninit":
            lib.close()
            lib = None
            return ""
        raise ValueError(f"unknown command {verb}")

    for line in sys.stdin:
        words = line.split()
        if not words:
            continue
        if words[0] == "quit":
            break
        try:
            answer = f"ok {run(words)}"
        except Exception as e:  # every failure is an answer, the process lives on
            answer = f"error {type(e).__name__}: {e}".replace("\n", " ")
        print(answer, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
