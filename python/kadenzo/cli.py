"""The `kadenzo` command line (also `python -m kadenzo`).

    kadenzo summary PATH... [-o OUT.csv|OUT.parquet] [--header-only] [--stats] [--salvage] [--glob PATTERN] [--threads N]
    kadenzo frames FILE [-o OUT.csv|OUT.parquet]
    kadenzo frames PATH... -o OUT_DIR/ [--glob PATTERN] [--threads N]
    kadenzo show FILE
    kadenzo plot FILE [-o OUT.png] [--start S] [--end S]
    kadenzo compare PATH... [--top K] [-o OUT.csv|OUT.parquet] [--grid-ms MS] [--mirror-y H]
    kadenzo anonymise PATH... -o OUTDIR [--key KEY] [--overwrite]

Exit statuses: see kadenzo._exit (0 done, 1 a replay failed, 2 usage, 3 no
file found, 4 the output could not be written, 130/143 stopped by SIGINT or
SIGTERM, 141 standard output closed by its reader).
"""

from __future__ import annotations

import argparse
import datetime
import importlib
import itertools
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any, Literal

import kadenzo
from kadenzo import (
    _anonymise,
    _compare_command,
    _dataset_sources,
    _find,
    _header_rows,
    _sources,
    _stop_signals,
    _tables,
    bulk,
    dataset,
    errors,
)
from kadenzo._argument_types import positive_int, seconds, thread_count
from kadenzo._exit import CommandError, ExitStatus, Failure, MissingDependency, NothingFound, UsageError
from kadenzo._for_people import for_people, say
from kadenzo._output import (
    OutputFile,
    arrow_file,
    refuse_overwriting_inputs,
    refuse_replacing_found_inputs,
    refuse_writing_inside_inputs,
    standard_output,
    write_errors,
)

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = ExitStatus.FAILED, ExitStatus.USAGE, ExitStatus.INTERRUPTED
# The Arrow type of each column format of FrameColumns.
ARROW_TYPES = {"q": "int64", "d": "float64", "i": "int32", "?": "bool_"}
# The largest resolution `plot` draws at: the figure stays below about 30 million pixels.
MAX_DPI = 600


# --- decoding ------------------------------------------------------------------


def decode_one(path: str, header_only: bool = False) -> kadenzo.Replay:
    try:
        return bulk.decode_one(path, header_only=header_only)
    except errors.ReplayError as error:
        raise Failure(f"{for_people(path)}: {error.message}") from None


# --- progress ------------------------------------------------------------------


class Progress:
    """A bar on standard error while it is a terminal and tqdm is installed;
    otherwise nothing."""

    def __init__(self, total: int | None, enabled: bool, unit: str = "file"):
        self._bar = None
        if enabled and sys.stderr.isatty():
            try:
                tqdm = importlib.import_module("tqdm").tqdm
            except ImportError:
                return
            self._bar = tqdm(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True, smoothing=0.05)

    def update(self, failed: int) -> None:
        if self._bar is not None:
            if failed:
                self._bar.set_postfix(failed=failed, refresh=False)
            self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


# --- commands ------------------------------------------------------------------

UNIX_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)


def csv_value(column: str, value: Any) -> Any:
    """A summary value as CSV writes it: `played_at` as ISO 8601 text."""
    if column == "played_at" and value is not None:
        return (UNIX_EPOCH + datetime.timedelta(microseconds=value)).isoformat().replace("+00:00", "Z")
    return value


def summary_row(
    reader: _header_rows.RowReader,
    outcome: bulk.DecodeResult | _find.FolderError,
    stats: bool,
    header_only: bool,
    path_text: Callable[[str], str] = _tables.path_value,
) -> list[Any]:
    """The row of `kadenzo.dataset.summary` for one input (a folder that
    cannot be listed has a row of its own), then its --stats columns; the
    path as `path_text` gives it (see _tables.path_value)."""
    blank_stats = [None] * len(_header_rows.STATS_COLUMNS) if stats else []
    if isinstance(outcome, _find.FolderError):
        return [*reader.row(path_text(outcome.path), None, None, outcome.message), *blank_stats]
    name = path_text(outcome.path) if outcome.path is not None else None
    if outcome.error is not None:
        message = getattr(outcome.error, "message", None) or str(outcome.error)
        salvaged = outcome.error.salvaged
        if salvaged is not None:
            return [*_header_rows.salvaged_row(reader, name, message, salvaged), *blank_stats]
        return [*reader.row(name, None, None, message), *blank_stats]
    assert outcome.replay is not None
    columns = None if header_only else outcome.columns  # with --stats the frames went into columns
    row = reader.row(name, outcome.replay, columns, None)
    if not stats:
        return row
    if columns is None:
        return [*row, *blank_stats]
    return [*row, *_header_rows.stats_row(columns)]


def summary_table(output: str | None, stats: bool, parquet: bool) -> _tables.TableWriter:
    """The writer of the summary table: Parquet of `kadenzo.dataset.schema()`
    (plus the --stats columns), or CSV of the same columns."""
    names = [*_header_rows.COLUMNS, *_header_rows.STATS_COLUMNS] if stats else list(_header_rows.COLUMNS)
    # Only the text columns matter to CSV (they may need quoting); Parquet takes the schema.
    types = {name: "string" if name in _header_rows.TEXT_COLUMNS else "other" for name in names}
    types.update({name: kind for name, kind in _header_rows.STATS_TYPES.items() if stats})
    schema = None
    if parquet:
        try:
            pyarrow = importlib.import_module("pyarrow")
            schema = dataset.schema()
        except ImportError:
            raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
        if stats:  # with their nullable pandas types too
            arrow_tables = importlib.import_module("kadenzo._arrow_tables")
            schema = arrow_tables.with_pandas_metadata(
                pyarrow.schema(
                    [
                        *schema,
                        *(
                            (name, getattr(pyarrow, _header_rows.STATS_TYPES[name])())
                            for name in _header_rows.STATS_COLUMNS
                        ),
                    ]
                )
            )
    return _tables.TableWriter(output, names, types, parquet, schema=schema)


def run_summary(args: argparse.Namespace) -> int:
    empty_folders: list[str] = []
    refuse_replacing_found_inputs(args.output, args.paths, args.glob)
    frames: Literal["objects", "columns"] = "columns" if args.stats else "objects"
    found: list[str | _find.FolderError] = []
    outcomes, total = _sources.decode_inputs(
        args.paths, args.glob, args.header_only, args.threads, frames, empty_folders, args.salvage, found
    )
    refuse_overwriting_inputs(args.output, found)  # a link among them may lead anywhere
    parquet = args.parquet or _tables.is_parquet(args.output)
    done = failed = 0
    progress = Progress(total, args.progress)  # no total with archives: tqdm then counts without a bar
    try:
        reader = _header_rows.RowReader(_header_rows.COLUMNS)
        with summary_table(args.output, args.stats, parquet) as table:
            for outcome in outcomes:
                failed += isinstance(outcome, _find.FolderError) or outcome.error is not None
                row = summary_row(reader, outcome, args.stats, args.header_only, table.path_value)
                table.write(row if parquet else [csv_value(name, value) for name, value in zip(table.columns, row)])
                done += 1
                progress.update(failed)
    except KeyboardInterrupt:
        progress.close()
        say(f"interrupted: {done} of {total if total is not None else '?'} files written, {failed} failed")
        raise
    progress.close()
    if not done:
        raise NothingFound(f"no file matching {args.glob!r} in {', '.join(empty_folders) or 'the paths given'}")
    for folder in empty_folders:
        say(f"kadenzo summary: no file matching {args.glob!r} in {folder}")
    say(f"{done} files, {failed} failed")
    return EXIT_FAILED if failed else 0


def run_frames_dataset(args: argparse.Namespace) -> int:
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
    refuse_overwriting_inputs(args.output, args.paths)
    folders = [path for path in args.paths if os.path.isdir(path)]
    refuse_writing_inside_inputs(args.output, folders)
    paths = list(_dataset_sources.find_replays(args.paths, args.glob))
    if not paths:
        raise NothingFound(f"no file matching {args.glob!r} in {', '.join(folders) or 'the paths given'}")
    with write_errors(args.output):  # exit 4 when the disk refuses; nothing is left under OUT_DIR then
        try:
            written = dataset.write_parquet(paths, args.output, threads=args.threads)
        except FileExistsError as error:
            raise UsageError(str(error)) from None
    failed = failures_written(args.output, written)
    say(f"{len(paths)} files, {failed} failed; {len(written)} Parquet files written under {args.output}")
    return EXIT_FAILED if failed else 0


def failures_written(out_dir: str, written: list[str]) -> int:
    """The files that failed, counted from the dataset written: one header
    row per file, its error set. Each part is opened by its name, which need
    not be UTF-8 (see arrow_file), only its error column read."""
    parquet = importlib.import_module("pyarrow.parquet")
    root = os.path.realpath(out_dir)
    failed = 0
    for path in written:
        if os.path.relpath(os.path.realpath(path), root).split(os.sep)[0] != "headers":
            continue
        with arrow_file(path, "rb") as source:
            # One file's reader: read_table's threads would outlive a Python file.
            errors_column = parquet.ParquetFile(source).read(columns=["error"]).column("error")
        failed += len(errors_column) - errors_column.null_count
    return failed


def names_a_file(output: str) -> bool:
    """An -o with a table file's suffix that is not a folder already (nor says it wants one)."""
    looks_like_a_table = output.lower().endswith((".csv", ".parquet", ".pq"))
    return looks_like_a_table and not output.endswith(("/", os.sep)) and not os.path.isdir(output)


def is_dataset_output(args: argparse.Namespace) -> bool:
    output = args.output
    return (
        len(args.paths) != 1
        or os.path.isdir(args.paths[0])
        or (output is not None and (output.endswith(("/", os.sep)) or os.path.isdir(output)))
    )


def run_frames(args: argparse.Namespace) -> int:
    if is_dataset_output(args):
        return run_frames_dataset(args)
    args.file = args.paths[0]
    from kadenzo import columns as columns_module

    refuse_overwriting_inputs(args.output, [args.file])
    columns = columns_module.frames(decode_one(args.file))
    names = ["time", *columns.names]
    if _tables.is_parquet(args.output):
        write_frames_parquet(columns, args.output, args.file)
        return 0
    deltas = columns.time_delta.tolist()
    rows = zip(itertools.accumulate(deltas), *(columns[name].tolist() for name in columns.names))
    types = {"time": "int64", **{name: ARROW_TYPES[columns[name].format] for name in columns.names}}
    with _tables.TableWriter(args.output, names, types) as table:
        table.write_many(rows)
    return 0


def write_frames_parquet(columns: Any, output: str, source: str) -> None:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
    table = pyarrow.table(columns)  # the columns' own memory, no copy
    try:
        # Checked: a sum past 64 bits is an error, never a wrapped value.
        time = pyarrow.compute.cumulative_sum_checked(table["time_delta"])
    except pyarrow.ArrowInvalid:
        raise Failure(f"{for_people(source)}: the play's time passes 64 bits; write CSV for its exact values") from None
    table = table.add_column(0, "time", time)
    with OutputFile(output) as out, write_errors(output), arrow_file(out.path) as sink:
        pyarrow.parquet.write_table(table, sink)


def mod_text(replay: kadenzo.Replay) -> tuple[int | None, str | None]:
    """The mods as a number and as member names ("DoubleTime|Hidden"); (None,
    None) for a header whose mods have bit 31 set, which Mod does not convert."""
    mods, _ = _header_rows.mods_of(replay)
    if mods is None:
        return None, None
    return mods, repr(replay.mods).removeprefix("<Mod.").rsplit(":", 1)[0]


def run_show(args: argparse.Namespace) -> int:
    replay = decode_one(args.file)
    from kadenzo import columns as columns_module

    columns = columns_module.frames(replay)
    mods, mods_text = mod_text(replay)
    duration = sum(columns.time_delta) / 1000 if len(columns) else 0.0
    life = replay.life_bar_graph or []
    # Header texts come from the file: shown escaped, never as terminal commands.
    lines = [
        for_people(args.file),
        f"  mode          {_header_rows.mode_name(replay.mode)}",
        f"  player        {shown(replay.username)}",
        f"  beatmap hash  {shown(replay.beatmap_hash)}",
        f"  replay hash   {shown(replay.replay_hash)}",
        f"  game version  {replay.game_version}",
        f"  score         {replay.score:,}, max combo {replay.max_combo}{', perfect' if replay.perfect else ''}",
        f"  hits          300: {replay.count_300}  100: {replay.count_100}  50: {replay.count_50}  "
        f"geki: {replay.count_geki}  katu: {replay.count_katu}  miss: {replay.count_miss}",
        f"  mods          {mods_text.replace('|', ', ') if mods_text else 'unreadable'} ({mods})",
        f"  timestamp     {replay.timestamp}",
        f"  replay id     {replay.replay_id}",
        f"  frames        {len(columns):,} over {duration:.1f} s ({', '.join(columns.names)})",
        f"  seed          {replay.rng_seed if replay.rng_seed is not None else '(none)'}",
        f"  life bar      {len(life)} samples"
        + (f", {life[-1].life:.0%} at {life[-1].time / 1000:.1f} s" if life else ""),
    ]
    out = standard_output()
    with write_errors("standard output"):
        print("\n".join(lines), file=out, flush=True)
    return 0


def shown(text: str | None) -> str:
    return for_people(text) if text is not None else "(none)"


def run_plot(args: argparse.Namespace) -> int:
    try:
        from kadenzo import _plot
    except ImportError:
        raise MissingDependency("kadenzo plot needs matplotlib and NumPy: pip install 'kadenzo[plot]'") from None
    if args.start is not None and args.end is not None and args.start >= args.end:
        raise UsageError(f"--start ({args.start:g}) must be before --end ({args.end:g})")
    out = args.output or os.path.splitext(os.path.basename(args.file))[0] + ".png"
    image_format = _plot.image_format(out)
    if image_format is None:
        raise UsageError(
            f"cannot tell an image format from {for_people(out)}: end it in one of {', '.join(_plot.image_suffixes())}"
        )
    refuse_overwriting_inputs(out, [args.file])
    replay = decode_one(args.file)
    length = _plot.play_seconds(replay)
    if args.start is not None and args.start > length:
        raise UsageError(f"--start {args.start:g} is after the end of the play ({length:.1f} s)")
    with OutputFile(out) as output, write_errors(out):
        _plot.plot_play(replay, output.path, args.dpi, args.start, args.end, image_format=image_format)
    print(for_people(out), file=standard_output())
    return 0


# --- the parser ------------------------------------------------------------------


def dpi(text: str) -> int:
    value = positive_int(text)
    if value > MAX_DPI:
        raise argparse.ArgumentTypeError(f"must be at most {MAX_DPI}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kadenzo",
        description="Decode Kivo replay files: tables of folders, frames, summaries and plots.",
        epilog="Run 'kadenzo COMMAND --help' for the options of a command.\n\n" + EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"kadenzo {getattr(kadenzo, '__version__', '(unknown version)')}"
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    summary = commands.add_parser(
        "summary",
        help="one row per replay file: header fields, frame count, seed, error",
        description="Writes one row per replay: the header fields, the frame count and seed, and the error "
        "for a file that does not decode. Folders are searched with their subfolders. A progress "
        "bar shows on standard error when it is a terminal; the count of failed files ends the "
        "run there. Symbolic links to folders are not followed.",
        epilog=EXIT_STATUSES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    summary.add_argument("paths", nargs="+", metavar="PATH", help="replay files and folders")
    summary.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="write to FILE (.csv, or .parquet for Parquet) instead of CSV on standard output",
    )
    summary.add_argument("--parquet", action="store_true", help="write Parquet (needs pyarrow and -o)")
    summary.add_argument(
        "--glob",
        default="*.kvr",
        metavar="PATTERN",
        help="names of the files searched for in folders, case ignored (default: %(default)s)",
    )
    summary.add_argument(
        "--header-only", action="store_true", help="read only the headers: much faster, no frame count or seed"
    )
    summary.add_argument(
        "--stats",
        action="store_true",
        help="add per-play statistics: play length, frame times, presses, path length and speed",
    )
    summary.add_argument(
        "--salvage",
        action="store_true",
        help="for a file that fails to decode, fill the columns of the fields read before "
        "the fault (the error column still says what went wrong)",
    )
    summary.add_argument(
        "--threads", type=thread_count, metavar="N", help="decoding threads (default: the worker pool's size)"
    )
    summary.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    summary.set_defaults(run=run_summary)

    frames = commands.add_parser(
        "frames",
        help="the frames of one replay as a table, or of many as a Parquet dataset",
        description="Writes the frames of one replay as a table: 'time' (ms since the start of the play), "
        "then the fields of the mode's frames (key sets as integers). Given several files or a "
        "folder and -o OUT_DIR/, writes a Parquet dataset instead: OUT_DIR/headers/ (one row per "
        "replay) and OUT_DIR/frames/ (one row per frame), partitioned by mode (needs pyarrow).",
    )
    frames.add_argument("paths", nargs="+", metavar="PATH", help="a replay file; or files and folders")
    frames.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write to OUT (.csv, or .parquet for Parquet) instead of CSV on standard output; "
        "a folder (OUT_DIR/) for a Parquet dataset",
    )
    frames.add_argument(
        "--glob",
        default="*.kvr",
        metavar="PATTERN",
        help="names of the files searched for in folders (default: %(default)s)",
    )
    frames.add_argument(
        "--threads", type=positive_int, metavar="N", help="decoding threads (default: the worker pool's size)"
    )
    frames.set_defaults(run=run_frames)

    show = commands.add_parser(
        "show",
        help="a short readable summary of one replay",
        description="Prints a short readable summary of one replay.",
    )
    show.add_argument("file", metavar="FILE", help="a replay file")
    show.set_defaults(run=run_show)

    plot = commands.add_parser(
        "plot",
        help="draw one replay to an image (needs matplotlib)",
        description="Draws one replay: the cursor trail, catcher or keys over time, above the life bar. "
        "Needs matplotlib and NumPy.",
    )
    plot.add_argument("file", metavar="FILE", help="a replay file")
    plot.add_argument(
        "-o",
        "--output",
        metavar="OUT.png",
        help="image to write, format from its suffix (default: the file's name with .png, here)",
    )
    plot.add_argument("--start", type=seconds, metavar="SECONDS", help="draw from this time in the play")
    plot.add_argument("--end", type=seconds, metavar="SECONDS", help="draw up to this time in the play")
    plot.add_argument("--dpi", type=dpi, default=120, help=f"resolution, 1 to {MAX_DPI} (default: %(default)s)")
    plot.set_defaults(run=run_plot)

    _compare_command.add_parser(commands)
    anonymise = _anonymise.add_parser(commands, thread_count, EXIT_STATUSES)
    anonymise.set_defaults(run=lambda args: _anonymise.run(args, Progress))
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    with _stop_signals.stopping_on_signals():
        try:
            args = build_parser().parse_args(argv)
            return run(args)
        except KeyboardInterrupt as stop:  # before a command started
            return stop.status if isinstance(stop, _stop_signals.Stopped) else EXIT_INTERRUPTED


def run(args: argparse.Namespace) -> int:
    """Runs the command; every way it ends is an exit status and at most one line on standard error."""
    try:
        return int(args.run(args))
    except BrokenPipeError:  # the reader of standard output went away (`| head`): quiet, as other tools are
        _tables.silence_stdout()
        return ExitStatus.BROKEN_PIPE
    except CommandError as error:
        say(f"kadenzo {args.command}: {error}")
        return error.status
    except OSError as error:  # the output cannot be written
        say(f"kadenzo {args.command}: {error}")
        return ExitStatus.WRITE_FAILED
    except MemoryError:
        say(f"kadenzo {args.command}: out of memory")
        return EXIT_FAILED
    except KeyboardInterrupt as stop:
        if args.command not in ("summary", "anonymise"):  # these have said how far they came
            say("interrupted")
        return stop.status if isinstance(stop, _stop_signals.Stopped) else EXIT_INTERRUPTED


EXIT_STATUSES = """exit status:
  0    done
  1    a replay could not be read or decoded
  2    a wrong command line, a missing optional library, or -o naming an input
  3    no file found in the folders given
  4    the output could not be written (a file named by -o is left as it was)
  130  stopped by SIGINT (Ctrl-C), 143 by SIGTERM: the rows so far are kept
  141  the reader of standard output went away (| head)"""


def entry_point() -> None:
    """The console script."""
    sys.exit(main())
