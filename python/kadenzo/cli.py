"""The `kadenzo` command line (also `python -m kadenzo`).

    kadenzo summary PATH... [-o OUT.csv|OUT.parquet] [--header-only] [--glob PATTERN] [--threads N]
    kadenzo frames FILE [-o OUT.csv|OUT.parquet]
    kadenzo frames PATH... -o OUT_DIR/ [--glob PATTERN] [--threads N]
    kadenzo show FILE
    kadenzo plot FILE [-o OUT.png] [--start S] [--end S]

Exit status: 0 when every file decoded, 1 when any failed, 2 for a wrong
command line or a missing optional library, 130 when interrupted (Ctrl-C).
"""
from __future__ import annotations

import argparse
import datetime
import importlib
import itertools
import os
import sys
from collections.abc import Sequence
from typing import Any

import kadenzo
from kadenzo import _header_rows, _sources, _tables, bulk, dataset, errors

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


class Failure(Exception):
    """A file that cannot be read or decoded; the message names the file."""


# --- decoding ------------------------------------------------------------------

def decode_one(path: str, header_only: bool = False) -> kadenzo.Replay:
    try:
        return bulk.decode_one(path, header_only=header_only)
    except errors.ReplayError as error:
        raise Failure(f"{path}: {error.message}") from None


# --- progress ------------------------------------------------------------------

class Progress:
    """A bar on standard error while it is a terminal and tqdm is installed;
    otherwise nothing."""

    def __init__(self, total: int, enabled: bool, unit: str = "file"):
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

UNIX_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def csv_value(column: str, value: Any) -> Any:
    """A summary value as CSV writes it: `played_at` as ISO 8601 text."""
    if column == "played_at" and value is not None:
        return (UNIX_EPOCH + datetime.timedelta(microseconds=value)).isoformat().replace("+00:00", "Z")
    return value


class SummaryTable:
    """The rows of `kadenzo.dataset.summary` written as they come: Parquet
    from its Arrow batches, CSV from the same row values without pyarrow."""

    def __init__(self, output: str | None, parquet: bool, header_only: bool):
        self.columns = _header_rows.COLUMNS
        self._rows = _header_rows.RowReader(self.columns)
        self._header_only = header_only
        self._builder: Any = None
        if parquet:
            try:
                from kadenzo import _arrow_tables
            except ImportError:
                raise _tables.MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
            if output is None:
                raise _tables.UsageError("Parquet output needs a file: give -o FILE.parquet")
            pyarrow_parquet = importlib.import_module("pyarrow.parquet")
            schema = dataset.schema()
            self._builder = _arrow_tables.SummaryBuilder(schema, full_decode=not header_only)
            self._parquet = pyarrow_parquet.ParquetWriter(output, schema)
        else:
            self._csv = _tables.TableWriter(output, self.columns, {})

    def write(self, item: dataset.Decoded) -> None:
        if self._builder is not None:
            self._builder.add(item.name, item.replay, item.columns, item.error)
            if len(self._builder) >= _tables.BATCH_ROWS:
                self._parquet.write_batch(self._builder.take())
            return
        columns = None if self._header_only else item.columns
        row = self._rows.row(item.name, item.replay, columns, item.error)
        self._csv.write([csv_value(name, value) for name, value in zip(self.columns, row)])

    def __enter__(self) -> SummaryTable:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._builder is None:
            self._csv.__exit__(*exc_info)
            return
        try:
            if len(self._builder):
                self._parquet.write_batch(self._builder.take())
        finally:
            self._parquet.close()  # its footer: every row written so far stays readable


def run_summary(args: argparse.Namespace) -> int:
    paths = list(_sources.find_replays(args.paths, args.glob))
    parquet = args.parquet or _tables.is_parquet(args.output)
    done = failed = 0
    progress = Progress(len(paths), args.progress)
    try:
        with SummaryTable(args.output, parquet, args.header_only) as table:
            for item in dataset.decoded(paths, header_only=args.header_only, threads=args.threads):
                failed += item.error is not None
                table.write(item)
                done += 1
                progress.update(failed)
    except KeyboardInterrupt:
        progress.close()
        print(f"interrupted: {done} of {len(paths)} files written, {failed} failed", file=sys.stderr)
        return EXIT_INTERRUPTED
    progress.close()
    if not paths:
        print(f"no files matching {args.glob!r} found", file=sys.stderr)
    else:
        print(f"{done} files, {failed} failed", file=sys.stderr)
    return EXIT_FAILED if failed else 0


def run_frames_dataset(args: argparse.Namespace) -> int:
    """`kadenzo frames PATH... -o OUT_DIR/`: a Parquet dataset of headers and frames."""
    if args.output is None:
        raise _tables.UsageError("frames of several files or a folder need -o OUT_DIR/ (a Parquet dataset)")
    try:
        importlib.import_module("kadenzo._parquet_dataset")
    except ImportError:
        raise _tables.MissingDependency("a Parquet dataset needs pyarrow: pip install 'kadenzo[arrow]'") from None
    paths = list(_sources.find_replays(args.paths, args.glob))
    try:
        written = dataset.write_parquet(paths, args.output, threads=args.threads)
    except FileExistsError as error:
        raise _tables.UsageError(str(error)) from None
    # The failures, counted from what was written: one header row per file.
    headers = importlib.import_module("pyarrow.dataset").dataset(
        os.path.join(args.output, "headers"), format="parquet", partitioning="hive")
    failed = headers.count_rows(filter=~importlib.import_module("pyarrow.compute").field("error").is_null())
    print(f"{len(paths)} files, {failed} failed; {len(written)} Parquet files written under {args.output}",
          file=sys.stderr)
    return EXIT_FAILED if failed else 0


def is_dataset_output(args: argparse.Namespace) -> bool:
    output = args.output
    return (len(args.paths) != 1 or os.path.isdir(args.paths[0])
            or (output is not None and (output.endswith(("/", os.sep)) or os.path.isdir(output))))


def run_frames(args: argparse.Namespace) -> int:
    if is_dataset_output(args):
        return run_frames_dataset(args)
    args.file = args.paths[0]
    from kadenzo import columns as columns_module

    columns = columns_module.frames(decode_one(args.file))
    names = ["time", *columns.names]
    if _tables.is_parquet(args.output):
        write_frames_parquet(columns, args.output)
        return 0
    deltas = columns.time_delta.tolist()
    rows = zip(itertools.accumulate(deltas), *(columns[name].tolist() for name in columns.names))
    with _tables.TableWriter(args.output, names, {}) as table:
        table.write_many(rows)
    return 0


def write_frames_parquet(columns: Any, output: str) -> None:
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
        importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise _tables.MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
    table = pyarrow.table(columns)  # the columns' own memory, no copy
    table = table.add_column(0, "time", pyarrow.compute.cumulative_sum(table["time_delta"]))
    pyarrow.parquet.write_table(table, output)


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
    lines = [
        _sources.printable(args.file),
        f"  mode          {_header_rows.mode_name(replay.mode)}",
        f"  player        {replay.username if replay.username is not None else '(none)'}",
        f"  beatmap hash  {replay.beatmap_hash if replay.beatmap_hash is not None else '(none)'}",
        f"  replay hash   {replay.replay_hash if replay.replay_hash is not None else '(none)'}",
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
    print("\n".join(lines))
    return 0


def run_plot(args: argparse.Namespace) -> int:
    try:
        from kadenzo import _plot
    except ImportError:
        raise _tables.MissingDependency("kadenzo plot needs matplotlib and NumPy: "
                                        "pip install 'kadenzo[plot]'") from None
    replay = decode_one(args.file)
    out = args.output or os.path.splitext(os.path.basename(args.file))[0] + ".png"
    print(_plot.plot_play(replay, out, args.dpi, args.start, args.end))
    return 0


# --- the parser ------------------------------------------------------------------

def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kadenzo", description="Decode Kivo replay files: tables of folders, frames, summaries and plots.",
        epilog="Run 'kadenzo COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"kadenzo {getattr(kadenzo, '__version__', '(unknown version)')}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    summary = commands.add_parser(
        "summary", help="one row per replay file: header fields, frame count, seed, error",
        description="Writes one row per replay: the header fields, the frame count and seed, and the error "
                    "for a file that does not decode. Folders are searched with their subfolders. A progress "
                    "bar shows on standard error when it is a terminal; the count of failed files ends the "
                    "run there. Exit status 1 when any file failed.")
    summary.add_argument("paths", nargs="+", metavar="PATH", help="replay files and folders")
    summary.add_argument("-o", "--output", metavar="FILE",
                         help="write to FILE (.csv, or .parquet for Parquet) instead of CSV on standard output")
    summary.add_argument("--parquet", action="store_true", help="write Parquet (needs pyarrow and -o)")
    summary.add_argument("--glob", default="*.kvr", metavar="PATTERN",
                         help="names of the files searched for in folders (default: %(default)s)")
    summary.add_argument("--header-only", action="store_true",
                         help="read only the headers: much faster, no frame count or seed")
    summary.add_argument("--threads", type=positive_int, metavar="N",
                         help="decoding threads (default: the worker pool's size)")
    summary.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    summary.set_defaults(run=run_summary)

    frames = commands.add_parser(
        "frames", help="the frames of one replay as a table, or of many as a Parquet dataset",
        description="Writes the frames of one replay as a table: 'time' (ms since the start of the play), "
                    "then the fields of the mode's frames (key sets as integers). Given several files or a "
                    "folder and -o OUT_DIR/, writes a Parquet dataset instead: OUT_DIR/headers/ (one row per "
                    "replay) and OUT_DIR/frames/ (one row per frame), partitioned by mode (needs pyarrow).")
    frames.add_argument("paths", nargs="+", metavar="PATH", help="a replay file; or files and folders")
    frames.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT (.csv, or .parquet for Parquet) instead of CSV on standard output; "
                             "a folder (OUT_DIR/) for a Parquet dataset")
    frames.add_argument("--glob", default="*.kvr", metavar="PATTERN",
                        help="names of the files searched for in folders (default: %(default)s)")
    frames.add_argument("--threads", type=positive_int, metavar="N",
                        help="decoding threads (default: the worker pool's size)")
    frames.set_defaults(run=run_frames)

    show = commands.add_parser("show", help="a short readable summary of one replay",
                               description="Prints a short readable summary of one replay.")
    show.add_argument("file", metavar="FILE", help="a replay file")
    show.set_defaults(run=run_show)

    plot = commands.add_parser(
        "plot", help="draw one replay to an image (needs matplotlib)",
        description="Draws one replay: the cursor trail, catcher or keys over time, above the life bar. "
                    "Needs matplotlib and NumPy.")
    plot.add_argument("file", metavar="FILE", help="a replay file")
    plot.add_argument("-o", "--output", metavar="OUT.png",
                      help="image to write, format from its suffix (default: the file's name with .png, here)")
    plot.add_argument("--start", type=float, metavar="SECONDS", help="draw from this time in the play")
    plot.add_argument("--end", type=float, metavar="SECONDS", help="draw up to this time in the play")
    plot.add_argument("--dpi", type=positive_int, default=120, help="resolution (default: %(default)s)")
    plot.set_defaults(run=run_plot)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except Failure as failure:
        print(f"kadenzo {args.command}: {failure}", file=sys.stderr)
        return EXIT_FAILED
    except _tables.UsageError as error:
        print(f"kadenzo {args.command}: {error}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as error:  # the output cannot be written
        print(f"kadenzo {args.command}: {error}", file=sys.stderr)
        return EXIT_FAILED
    except BrokenPipeError:  # the reader of standard output went away (`| head`)
        _tables.silence_stdout()
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def entry_point() -> None:
    """The console script."""
    sys.exit(main())

