"""`kadenzo frames`: the frames of one replay as a table (CSV or Parquet), or
of many as a Parquet dataset of headers and frames (kadenzo.dataset)."""

from __future__ import annotations

import argparse
import importlib
import itertools
import os
from typing import Any

from kadenzo import bulk, dataset, sources
from kadenzo import columns as kc
from kadenzo._for_people import for_people, say
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, Failure, MissingDependency, Progress, UsageError, look
from kadenzo.cli._output import OutputFile, refuse_overwriting_inputs, refuse_writing_inside_inputs, write_errors
from kadenzo.cli._tables import TableWriter, is_parquet
from kadenzo.errors import ReplayError

# The Arrow type of each column format of FrameColumns.
ARROW_TYPES = {"q": "int64", "d": "float64", "i": "int32", "?": "bool_"}


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "frames",
        help="the frames of one replay as a table, or of many as a Parquet dataset",
        description="Writes the frames of one replay as a table: 'time' (ms since the start of the play), "
        "then the fields of the mode's frames (key sets as integers). Given several files, a folder, a "
        "pattern or an archive and -o OUT_DIR/, writes a Parquet dataset instead: OUT_DIR/headers/ (one row "
        "per replay) and OUT_DIR/frames/ (one row per frame), partitioned by mode (needs pyarrow).",
    )
    _options.add_sources(parser, "a replay file; or files, folders, patterns and archives")
    _options.add_output(
        parser,
        "write to OUT (.csv, or .parquet for Parquet) instead of CSV on standard output; "
        "a folder (OUT_DIR/) for a Parquet dataset",
        metavar="OUT",
    )
    _options.add_salvage(
        parser,
        "for a file that fails to decode, write the frames read before the fault (one file), or fill its "
        "header row with the fields read (a dataset); the exit status is still 1",
    )
    _options.add_threads(parser)
    _options.add_progress(parser)
    return parser


def run(args: argparse.Namespace) -> int:
    if is_dataset_output(args):
        return run_dataset(args)
    path = args.paths[0]
    refuse_overwriting_inputs(args.output, [path])
    status = ExitStatus.OK
    try:
        replay = bulk.decode_one(path, salvage=args.salvage)
    except ReplayError as error:
        if error.salvaged is None:
            raise Failure(f"{for_people(path)}: {error.message}") from None
        say(f"kadenzo frames: {for_people(path)}: {error.message}; writing the frames read before it")
        replay, status = error.salvaged.replay, ExitStatus.FAILED
    columns = kc.frames(replay)
    if is_parquet(args.output):
        write_parquet(columns, args.output, path)
        return status
    deltas = columns.time_delta.tolist()
    rows = zip(itertools.accumulate(deltas), *(columns[name].tolist() for name in columns.names))
    types = {"time": "int64", **{name: ARROW_TYPES[columns[name].format] for name in columns.names}}
    with TableWriter(args.output, ["time", *columns.names], types) as table:
        table.write_many(rows)
    return status


def is_dataset_output(args: argparse.Namespace) -> bool:
    """Several files (given, or found in a folder, a pattern, an archive), or
    an -o that is a folder. (A pattern that matches nothing is taken for a
    missing file's name, and decoding it says so.)"""
    output = args.output
    return (
        len(args.paths) != 1
        or os.path.isdir(args.paths[0])
        or sources.count(args.paths[0], args.glob) not in (0, 1)
        or (output is not None and (output.endswith(("/", os.sep)) or os.path.isdir(output)))
    )


def write_parquet(columns: Any, output: str, source: str) -> None:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
    from kadenzo._arrow_files import arrow_file

    table = pyarrow.table(columns)  # the columns' own memory, no copy
    try:
        # Checked: a sum past 64 bits is an error, never a wrapped value.
        time = pyarrow.compute.cumulative_sum_checked(table["time_delta"])
    except pyarrow.ArrowInvalid:
        raise Failure(f"{for_people(source)}: the play's time passes 64 bits; write CSV for its exact values") from None
    table = table.add_column(0, "time", time)
    with OutputFile(output) as out, write_errors(output), arrow_file(out.path) as sink:
        pyarrow.parquet.write_table(table, sink)


def run_dataset(args: argparse.Namespace) -> int:
    """`kadenzo frames PATH... -o OUT_DIR/`: a Parquet dataset of headers and frames."""
    if args.output is None:
        raise UsageError("frames of several files or a folder need -o OUT_DIR/ (a Parquet dataset)")
    if names_a_file(args.output):
        raise UsageError(
            f"-o {for_people(args.output)} names a file, but frames of several files or a folder are a "
            "Parquet dataset: give -o OUT_DIR/ for a dataset, or one replay file for a table"
        )
    try:
        importlib.import_module("kadenzo._parquet_dataset")
    except ImportError:
        raise MissingDependency("a Parquet dataset needs pyarrow: pip install 'kadenzo[arrow]'") from None
    refuse_overwriting_inputs(args.output, [path for path in args.paths if os.path.lexists(path)])
    refuse_writing_inside_inputs(args.output, [path for path in args.paths if os.path.isdir(path)])
    found = look(args.paths, args.glob)
    if found.total == 0:
        raise found.nothing_found(args.glob)
    progress = Progress(found.total, args.progress)
    counts = {"files": 0, "failed": 0}

    def decoded(item: dataset.Decoded) -> None:
        counts["files"] += 1
        counts["failed"] += item.error is not None
        progress.update(counts["failed"])

    try:
        with write_errors(args.output):  # exit 4 when the disk refuses; nothing is left under OUT_DIR then
            try:
                written = dataset.write_parquet(
                    args.paths,
                    args.output,
                    threads=args.threads,
                    glob=args.glob,
                    salvage=args.salvage,
                    progress=decoded,
                )
            except FileExistsError as error:
                raise UsageError(str(error)) from None
    finally:
        progress.close()
    if not counts["files"]:
        raise found.nothing_found(args.glob)
    files, failed = counts["files"], counts["failed"]
    say(
        f"{files} file{'' if files == 1 else 's'}, {failed} failed; "
        f"{len(written)} Parquet file{'' if len(written) == 1 else 's'} written under {args.output}"
    )
    return ExitStatus.FAILED if failed else ExitStatus.OK


def names_a_file(output: str) -> bool:
    """An -o with a table file's suffix that is not a folder already (nor says it wants one)."""
    looks_like_a_table = output.lower().endswith((".csv", ".parquet", ".pq"))
    return looks_like_a_table and not output.endswith(("/", os.sep)) and not os.path.isdir(output)
