"""Records every sensor channel of a unit and draws them, one chart per
channel, each value axis in the sensor's units (needs matplotlib).

    python record_chart.py [NAME] [--seconds S] [--out FILE]

Without NAME it takes the first unit the search finds. The project's figure
docs/ostrel-python-record.png comes from this script against the simulated
units (see the README's Python section).
"""

import argparse

import matplotlib

matplotlib.use("Agg")  # a file, no window
import matplotlib.pyplot as plt

import ostrel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("name", nargs="?", help="the unit's name (default: the first one found)")
    parser.add_argument("--seconds", type=float, default=3.0, help="seconds of samples (default 3)")
    parser.add_argument("--period", type=float, default=0.01, help="measurement period in seconds (default 0.01)")
    parser.add_argument("--out", default="ostrel-python-record.png", help="the image file to write")
    args = parser.parse_args()

    with ostrel.Library() as lib:
        if args.name is None:
            found = lib.search()
            if not found:
                raise SystemExit("no unit found")
            args.name = found[0].name
        with lib.open(args.name) as unit:
            unit.period = args.period
            data = unit.record(seconds=args.seconds)

    figure, axes = plt.subplots(len(data.channels), 1, sharex=True, figsize=(8, 1.7 * len(data.channels)))
    for column, ax in enumerate(axes):
        ax.plot(data.time, data.values[:, column], linewidth=1.2, color=f"C{column}")
        ax.set_ylabel(data.units[column])
        ax.set_title(f"Channel {data.channels[column]}: {data.names[column]}", fontsize=9, loc="left")
        ax.grid(True, alpha=0.3)
    axes[-1].set_xlabel("time (s)")
    figure.suptitle(f"Unit {data.unit}: unit.record(seconds={args.seconds:g}), one sample every {data.period:g} s")
    figure.tight_layout()
    figure.savefig(args.out, dpi=90, metadata={"Software": None})
    print(f"{len(data)} samples of channels {data.channels} -> {args.out}")


if __name__ == "__main__":
    main()
