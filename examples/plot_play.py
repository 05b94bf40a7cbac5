"""Plots one play to a PNG: what the player did over time, above the life bar.

    python examples/plot_play.py samples/std.kvr                # writes ./std.png
    python examples/plot_play.py samples/mania.kvr -o mania_play.png

The drawing lives in the package, as kadenzo.plot (`kadenzo plot FILE -o
OUT.png` on the command line does the same, with a time window); this script
shows how to call it from Python. The top panel depends on the mode: the cursor trail for
the standard mode, the catcher's position for catch, a piano roll for drums
and columns. Below it, the life bar over the play.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import kadenzo.bulk
from kadenzo.errors import ReplayError
from kadenzo.plot import plot_play


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("replay", help="a .kvr file")
    parser.add_argument("-o", "--output", help="image to write (default: the replay's name with .png, here)")
    parser.add_argument("--dpi", type=int, default=120)
    args = parser.parse_args(argv)

    try:
        replay = kadenzo.bulk.decode_one(args.replay)
    except ReplayError as error:
        print(f"{args.replay}: cannot decode: {error.message}", file=sys.stderr)
        return 1
    out = args.output or pathlib.Path(args.replay).with_suffix(".png").name
    print(plot_play(replay, out, args.dpi))
    return 0


if __name__ == "__main__":
    sys.exit(main())
