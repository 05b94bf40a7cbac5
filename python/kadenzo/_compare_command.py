"""`kadenzo compare`: the cursor distance between every pair of replays, or
the closest pairs, as a table (see kadenzo.compare for what is measured)."""

from __future__ import annotations

import argparse
import importlib
import math
import sys
from collections.abc import Iterator
from typing import Any, cast

from kadenzo import _find, _tables, bulk, compare
from kadenzo._argument_types import finite_number, positive_int, positive_number, thread_count
from kadenzo._exit import ExitStatus, NothingFound
from kadenzo._for_people import say
from kadenzo._output import refuse_overwriting_inputs, refuse_replacing_found_inputs

COLUMNS = ["a", "b", "distance"]
TYPES = {"a": "string", "b": "string", "distance": "float64"}


class PairProgress:
    """A bar over files, then over pairs, on standard error while it is a
    terminal and tqdm is installed; otherwise nothing."""

    def __init__(self, enabled: bool):
        self._tqdm: Any = None
        self._bar: Any = None
        if enabled and sys.stderr.isatty():
            try:
                self._tqdm = importlib.import_module("tqdm").tqdm
            except ImportError:
                pass

    def start(self, total: int, unit: str) -> None:
        self.close()
        if self._tqdm is not None:
            self._bar = self._tqdm(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True, smoothing=0.05)

    def to(self, done: int) -> None:
        if self._bar is not None:
            self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def load_plays(paths: list[str], threads: int | None, progress: PairProgress) -> tuple[list[str], list[Any], int, int]:
    """The cursor-mode plays among `paths` (their paths and columns), decoded on
    the worker pool, with the counts of files that failed (each named on
    standard error) and of plays of other modes."""
    kept_paths: list[str] = []
    plays: list[Any] = []
    failed = other_modes = 0
    progress.start(len(paths), "file")
    for done, outcome in enumerate(bulk.decode(paths, frames="columns", threads=threads), 1):
        progress.to(done)
        if outcome.error is not None:
            failed += 1
            say(f"kadenzo compare: {outcome.path}: {outcome.error.message}")
        elif outcome.columns is None or "y" not in outcome.columns.names:
            other_modes += 1
        else:
            kept_paths.append(outcome.path)
            plays.append(outcome.columns)
    return kept_paths, plays, failed, other_modes


def run(args: argparse.Namespace) -> int:
    empty_folders: list[str] = []
    refuse_replacing_found_inputs(args.output, args.paths, args.glob)
    items = list(_find.find_replays(args.paths, args.glob, empty_folders))
    paths = [item for item in items if isinstance(item, str)]
    refuse_overwriting_inputs(args.output, paths)  # a link among them may lead anywhere
    folder_errors = [item for item in items if isinstance(item, _find.FolderError)]
    for folder_error in folder_errors:
        say(f"kadenzo compare: {folder_error.path}: {folder_error.message}")
    if not items:
        raise NothingFound(f"no file matching {args.glob!r} in {', '.join(empty_folders) or 'the paths given'}")
    parquet = _tables.is_parquet(args.output)
    progress = PairProgress(args.progress)
    try:
        names, plays, failed, other_modes = load_plays(paths, args.threads, progress)
        pairs = compare._pair_count(len(plays), args.grid_ms, args.top)
        progress.start(pairs, "pair")
        result = compare._pair_matrix(plays, args.grid_ms, args.mirror_y, args.top, args.threads or 0, progress.to)
        progress.to(pairs)
        progress.close()
        with _tables.TableWriter(args.output, COLUMNS, TYPES, parquet) as table:
            table.write_many(_rows([table.path_value(name) for name in names], result))
        written = table.rows_written  # counted as the writer flushed, the last rows on leaving
    except KeyboardInterrupt:
        progress.close()
        say("interrupted")
        raise
    failed += len(folder_errors)
    say(
        f"{len(plays)} cursor-mode plays compared, {written} pairs written; "
        f"{other_modes} plays of other modes left out, {failed} files failed"
    )
    return ExitStatus.FAILED if failed else ExitStatus.OK


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


def add_parser(commands: Any) -> None:
    """Registers the command with the subparsers of the `kadenzo` parser."""
    parser = commands.add_parser(
        "compare",
        help="cursor distance between every pair of cursor-mode replays",
        description="Compares the cursor paths of every pair of cursor-mode replays: the mean distance "
        "between the two cursors over the time both plays cover (small distances mean similar "
        "plays). Writes one row per pair, a < b in the order the files were found (the distance "
        "samples a at its frames; an empty distance means the plays share no time), or with "
        "--top the closest pairs first. Plays of other modes are left out; a file that does not "
        "decode is named on standard error, and the exit status is then 1.",
    )
    parser.add_argument("paths", nargs="+", metavar="PATH", help="replay files and folders")
    parser.add_argument("--top", type=positive_int, metavar="K", help="only the K most similar pairs, closest first")
    parser.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE (.csv, or .parquet for Parquet) instead of CSV on standard output",
    )
    parser.add_argument(
        "--grid-ms",
        type=positive_number,
        metavar="MS",
        help="compare on a shared grid of times MS apart (much faster for many plays; "
        "default: each play's own frame times)",
    )
    parser.add_argument(
        "--mirror-y",
        type=finite_number,
        metavar="H",
        help="compare each play against the others mirrored (y -> H - y; 384 for the playfield)",
    )
    parser.add_argument(
        "--glob",
        default="*.kvr",
        metavar="PATTERN",
        help="names of the files searched for in folders (default: %(default)s)",
    )
    parser.add_argument("--threads", type=thread_count, metavar="N", help="threads (default: the worker pool's size)")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    parser.set_defaults(run=run)
