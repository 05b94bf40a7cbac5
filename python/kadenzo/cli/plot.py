"""`kadenzo plot`: one replay drawn to an image (kadenzo.plot)."""

from __future__ import annotations

import argparse
import os
from typing import Any

from kadenzo import bulk, sources
from kadenzo._for_people import for_people
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, Failure, MissingDependency, UsageError
from kadenzo.cli._output import OutputFile, refuse_overwriting_inputs, standard_output, write_errors
from kadenzo.errors import ReplayError

# The largest resolution `plot` draws at: the figure stays below about 30 million pixels.
MAX_DPI = 600


@_options.readable_name("resolution")
def dpi(text: str) -> int:
    value = _options.positive_int(text)
    if value > MAX_DPI:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_DPI}")
    return value


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "plot",
        help="draw one replay to an image (needs matplotlib)",
        description="Draws one replay: the cursor trail, catcher or keys over time, above the life bar. "
        "Needs matplotlib and NumPy.",
    )
    parser.add_argument("file", metavar="FILE", help="a replay file, or an archive's member (plays.zip::a.kvr)")
    _options.add_output(
        parser, "image to write, format from its suffix (default: the file's name with .png, here)", "OUT.png"
    )
    parser.add_argument("--start", type=_options.seconds, metavar="SECONDS", help="draw from this time in the play")
    parser.add_argument("--end", type=_options.seconds, metavar="SECONDS", help="draw up to this time in the play")
    parser.add_argument("--dpi", type=dpi, default=120, help=f"resolution, 1 to {MAX_DPI} (default: %(default)s)")
    return parser


def run(args: argparse.Namespace) -> int:
    try:
        from kadenzo import plot
    except ImportError:
        raise MissingDependency("kadenzo plot needs matplotlib and NumPy: pip install 'kadenzo[plot]'") from None
    if args.start is not None and args.end is not None and args.start >= args.end:
        raise UsageError(f"--start ({args.start:g}) must be before --end ({args.end:g})")
    if sources.count(args.file) != 1 or os.path.isdir(args.file):
        raise UsageError(f"{for_people(args.file)} holds several replays or none: plot draws one file")
    name = args.file.rsplit(sources.MEMBER_SEPARATOR, 1)[-1]
    out = args.output or os.path.splitext(os.path.basename(name))[0] + ".png"
    image_format = plot.image_format(out)
    if image_format is None:
        raise UsageError(
            f"cannot tell an image format from {for_people(out)}: end it in one of {', '.join(plot.image_suffixes())}"
        )
    refuse_overwriting_inputs(out, [args.file])
    try:
        replay = bulk.decode_one(args.file)
    except ReplayError as error:
        raise Failure(f"{for_people(args.file)}: {error.message}") from None
    length = plot.play_seconds(replay)
    if args.start is not None and args.start > length:
        raise UsageError(f"--start {args.start:g} is after the end of the play ({length:.1f} s)")
    with OutputFile(out) as output, write_errors(out):
        plot.plot_play(replay, output.path, args.dpi, args.start, args.end, image_format=image_format)
    print(for_people(out), file=standard_output())
    return ExitStatus.OK
