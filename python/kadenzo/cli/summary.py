"""`kadenzo summary`: one row per replay, the summary table kadenzo.dataset
builds (its rows made by the same native assembly), written as CSV or
Parquet; `--stats` adds per-play figures (kadenzo.columns.stats)."""

from __future__ import annotations

import argparse
import datetime
import importlib
import os
import time
from collections.abc import Iterator
from typing import Any

from kadenzo import columns as kc
from kadenzo import dataset
from kadenzo._for_people import say
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, MissingDependency, Progress, UsageError, look
from kadenzo.cli._output import refuse_replacing_found_inputs
from kadenzo.cli._tables import TableWriter, is_parquet

# The summary table's columns (kadenzo.dataset.schema()), then those of --stats.
COLUMNS = dataset.SUMMARY_COLUMNS
STATS_COLUMNS = (
    "play_length",
    "frame_time_median",
    "frame_time_mean",
    "presses",
    "presses_by_key",
    "press_duration_mean",
    "path_length",
    "mean_speed",
)
# Arrow type names (pyarrow.<name>()); presses_by_key is text ("K1=3 K2=1").
STATS_TYPES = {
    "play_length": "int64",
    "frame_time_median": "float64",
    "frame_time_mean": "float64",
    "presses": "int64",
    "presses_by_key": "string",
    "press_duration_mean": "float64",
    "path_length": "float64",
    "mean_speed": "float64",
}
TEXT_COLUMNS = ("path", "mode", "beatmap_hash", "username", "replay_hash", "mods_names", "played_at", "error")
UNIX_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
# Rows are built a few at a time (one native call for many files), and
# written at least this often, so a slow folder still shows its rows.
ROWS_AT_ONCE = 64
ROWS_SECONDS = 0.25


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "summary",
        help="one row per replay file: header fields, frame count, seed, error",
        description="Writes one row per replay: the header fields, the frame count and seed, and the error "
        "for a file that does not decode. Folders are searched with their subfolders, archives read member "
        "by member. A progress bar shows on standard error when it is a terminal; the count of failed files "
        "ends the run there. Symbolic links to folders are not followed.",
    )
    _options.add_sources(parser)
    _options.add_output(parser, "write to FILE (.csv, or .parquet for Parquet) instead of CSV on standard output")
    parser.add_argument("--parquet", action="store_true", help="write Parquet (needs pyarrow and -o)")
    parser.add_argument(
        "--header-only",
        action="store_true",
        help="read only the headers: much faster, no frame count or seed (not with --stats)",
    )
    parser.add_argument(
        "--stats",
        action="store_true",
        help="add per-play statistics: play length, frame times, presses, path length and speed",
    )
    _options.add_salvage(
        parser,
        "for a file that fails to decode, fill the columns of the fields read before "
        "the fault (the error column still says what went wrong)",
    )
    _options.add_threads(parser)
    _options.add_progress(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    if args.stats and args.header_only:
        raise UsageError("--stats reads the frames, which --header-only skips: give one of them")
    refuse_replacing_found_inputs(args.output, args.paths, args.glob)
    found = look(args.paths, args.glob, args.output)
    parquet = args.parquet or is_parquet(args.output)
    files = dataset.decoded(
        args.paths, header_only=args.header_only, threads=args.threads, glob=args.glob, salvage=args.salvage
    )
    done = failed = 0
    progress = Progress(found.total, args.progress)  # no total with archives: the bar counts without an end
    pending: list[dataset.Decoded] = []
    try:
        with table_of(args.output, args.stats, parquet) as table:
            started = time.monotonic()
            try:
                for item in files:
                    failed += item.error is not None
                    done += 1
                    progress.update(failed)
                    pending.append(item)
                    if len(pending) >= ROWS_AT_ONCE or time.monotonic() - started > ROWS_SECONDS:
                        written, pending, started = pending, [], time.monotonic()
                        table.write_many(rows(written, table, args.stats, parquet))
            except KeyboardInterrupt:  # the rows of the files decoded so far are kept
                table.write_many(rows(pending, table, args.stats, parquet))
                raise
            table.write_many(rows(pending, table, args.stats, parquet))
    except KeyboardInterrupt:
        progress.close()
        total = f"{found.total} file{'' if found.total == 1 else 's'}" if found.total is not None else "? files"
        say(f"interrupted: {done} of {total} written, {failed} failed")
        raise
    progress.close()
    if not done:
        raise found.nothing_found(args.glob)
    for folder in found.unmatched:
        say(f"kadenzo summary: no file matching {args.glob!r} in {os.fsdecode(folder)}")
    say(f"{done} file{'' if done == 1 else 's'}, {failed} failed")
    return ExitStatus.FAILED if failed else ExitStatus.OK


def rows(files: list[dataset.Decoded], table: TableWriter, stats: bool, parquet: bool) -> Iterator[list[Any]]:
    """The rows of `files`: the dataset's summary rows, the path as the
    output format can hold it (CSV keeps a name's bytes), `played_at` as
    ISO 8601 text in CSV, then the --stats columns."""
    if not files:
        return
    for item, values in zip(files, dataset.summary_rows(files)):
        row = list(values)
        if item.path is not None:
            row[0] = table.path_value(os.fsdecode(item.path))
        if not parquet and row[COLUMNS.index("played_at")] is not None:
            row[COLUMNS.index("played_at")] = iso_time(row[COLUMNS.index("played_at")])
        if stats:
            row.extend(stats_row(item.columns) if item.error is None and item.columns is not None else _NO_STATS)
        yield row


_NO_STATS = [None] * len(STATS_COLUMNS)


def iso_time(microseconds: int) -> str:
    """`played_at` as CSV writes it: ISO 8601 text, UTC."""
    return (UNIX_EPOCH + datetime.timedelta(microseconds=microseconds)).isoformat().replace("+00:00", "Z")


def stats_row(columns: Any) -> list[Any]:
    """The --stats columns of one play's FrameColumns (see kadenzo.columns.stats);
    empty when its clock leaves 64 bits."""
    try:
        figures = kc.stats(columns)
    except OverflowError:
        return list(_NO_STATS)
    by_key = " ".join(f"{name}={count}" for name, count in figures["presses_by_key"].items())
    figures = {**figures, "presses_by_key": by_key}
    if figures["frame_time_median"] is not None:
        figures["frame_time_median"] = float(figures["frame_time_median"])
    return [figures[name] for name in STATS_COLUMNS]


def table_of(output: str | None, stats: bool, parquet: bool) -> TableWriter:
    """The writer of the summary table: Parquet of `kadenzo.dataset.schema()`
    (plus the --stats columns), or CSV of the same columns."""
    names = [*COLUMNS, *STATS_COLUMNS] if stats else list(COLUMNS)
    # Only the text columns matter to CSV (they may need quoting); Parquet takes the schema.
    types = {name: "string" if name in TEXT_COLUMNS else "other" for name in names}
    types.update({name: kind for name, kind in STATS_TYPES.items() if stats})
    schema = None
    if parquet:
        try:
            pyarrow = importlib.import_module("pyarrow")
            schema = dataset.schema()
        except ImportError:
            raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
        if stats:  # with their nullable pandas types too
            arrow_tables = importlib.import_module("kadenzo._arrow_tables")
            extra = [(name, getattr(pyarrow, STATS_TYPES[name])()) for name in STATS_COLUMNS]
            schema = arrow_tables.with_pandas_metadata(pyarrow.schema([*schema, *extra]))
    return TableWriter(output, names, types, parquet, schema=schema)
