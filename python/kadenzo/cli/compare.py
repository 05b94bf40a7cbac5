"""`kadenzo compare`: the cursor distance between every pair of replays, or
the closest pairs, as a table (see kadenzo.compare for what is measured)."""

from __future__ import annotations

import argparse
import math
from collections.abc import Iterator
from typing import Any, cast

from kadenzo import bulk, compare
from kadenzo._for_people import for_people, say
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, Progress, UsageError, look
from kadenzo.cli._output import refuse_replacing_found_inputs
from kadenzo.cli._tables import TableWriter, is_parquet

COLUMNS = ["a", "b", "distance"]
TYPES = {"a": "string", "b": "string", "distance": "float64"}


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "compare",
        help="cursor distance between every pair of cursor-mode replays",
        description="Compares the cursor paths of every pair of cursor-mode replays: the mean distance "
        "between the two cursors over the time both plays cover (small distances mean similar "
        "plays). Writes one row per pair, a < b in the order the files were found (the distance "
        "samples a at its frames; an empty distance means the plays share no time), or with "
        "--top the closest pairs first. Plays of other modes are left out; a file that does not "
        "decode is named on standard error, and the exit status is then 1.",
    )
    _options.add_sources(parser)
    parser.add_argument(
        "--top", type=_options.positive_int, metavar="K", help="only the K most similar pairs, closest first"
    )
    _options.add_output(parser, "write to FILE (.csv, or .parquet for Parquet) instead of CSV on standard output")
    parser.add_argument(
        "--grid-ms",
        type=_options.positive_number,
        metavar="MS",
        help="compare on a shared grid of times MS apart (much faster for many plays; "
        "default: each play's own frame times)",
    )
    parser.add_argument(
        "--mirror-y",
        type=_options.finite_number,
        metavar="H",
        help="compare each play against the others mirrored (y -> H - y; 384 for the playfield)",
    )
    _options.add_threads(parser, "threads to decode and compare with")
    _options.add_progress(parser)
    return parser


def load_plays(
    args: argparse.Namespace, total: int | None, progress: Progress
) -> tuple[list[str], list[Any], int, int]:
    """The cursor-mode plays of the sources (their names and columns),
    decoded on the worker pool, with the counts of files that failed (each
    named on standard error) and of plays of other modes."""
    names: list[str] = []
    plays: list[Any] = []
    failed = other_modes = 0
    progress.start(total, "file")
    with bulk.decode(args.paths, frames="columns", threads=args.threads, glob=args.glob) as results:
        for done, result in enumerate(results, 1):
            progress.update(done=done)
            if result.error is not None:
                failed += 1
                say(f"kadenzo compare: {for_people(result.path)}: {result.error.message}")
            elif result.columns is None or "y" not in result.columns.names:
                other_modes += 1
            else:
                names.append(result.path)
                plays.append(result.columns)
    return names, plays, failed, other_modes


def run(args: argparse.Namespace) -> int:
    refuse_replacing_found_inputs(args.output, args.paths, args.glob)
    found = look(args.paths, args.glob, args.output)
    parquet = is_parquet(args.output)
    progress = Progress(None, args.progress)
    try:
        names, plays, failed, other_modes = load_plays(args, found.total, progress)
        if not names and not failed and not other_modes:
            raise found.nothing_found(args.glob)
        progress.start(compare.pair_count(len(plays), grid_ms=args.grid_ms, top=args.top), "pair")
        try:
            result = compare.matrix(
                plays,
                grid_ms=args.grid_ms,
                mirror_y=args.mirror_y,
                top=args.top,
                threads=args.threads,
                progress=lambda done, total: progress.update(done=done),
            )
        except ValueError as error:  # the library speaks of its arguments, which these options give
            raise UsageError(f"--grid-ms {args.grid_ms:g}: {error}" if args.grid_ms else str(error)) from None
        progress.close()
        with TableWriter(args.output, COLUMNS, TYPES, parquet) as table:
            table.write_many(_rows([table.path_value(name) for name in names], result))
        written = table.rows_written  # counted as the writer flushed, the last rows on leaving
    except KeyboardInterrupt:
        progress.close()
        say("interrupted")
        raise
    say(
        f"{_counted(len(plays), 'cursor-mode play')} compared, {_counted(written, 'pair')} written; "
        f"{_counted(other_modes, 'play')} of other modes left out, {_counted(failed, 'file')} failed"
    )
    return ExitStatus.FAILED if failed else ExitStatus.OK


def _counted(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _rows(names: list[str], result: Any) -> Iterator[tuple[str, str, float | None]]:
    """The rows of the closest pairs, or of every pair a < b, one matrix row
    at a time (the whole matrix as Python objects would cost some 30 times its memory)."""
    if isinstance(result, list):
        for pair in result:
            yield names[pair.i], names[pair.j], _value(pair.distance)
        return
    count = len(names)
    if count < 2:
        return  # no pair (and a view of no values cannot be recast)
    flat = result.cast("B").cast("d")  # one run of count * count values
    for i in range(count):
        row = cast("list[float]", flat[i * count + i + 1 : (i + 1) * count].tolist())
        for j, distance in enumerate(row, i + 1):
            yield names[i], names[j], _value(distance)


def _value(distance: float) -> float | None:
    return None if math.isnan(distance) else distance  # no shared time: an empty field
