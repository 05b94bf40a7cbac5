"""The `kadenzo` command line (also `python -m kadenzo`).

    kadenzo summary PATH... [-o OUT.csv|OUT.parquet] [--header-only] [--glob PATTERN] [--threads N]
    kadenzo frames FILE [-o OUT.csv|OUT.parquet]
    kadenzo show FILE
    kadenzo plot FILE [-o OUT.png] [--start S] [--end S]
    kadenzo anonymise PATH... -o OUTDIR [--key KEY] [--overwrite]

Exit status: 0 when every file decoded, 1 when any failed, 2 for a wrong
command line or a missing optional library, 130 when interrupted (Ctrl-C).
"""
from __future__ import annotations

import argparse
import importlib
import itertools
import os
import sys
from collections.abc import Sequence
from typing import Any

import kadenzo
from kadenzo import _anonymise, _summary, _tables, bulk, errors

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


class Failure(Exception):
    """A file that cannot be read or decoded; the message names the file."""


# --- decoding ------------------------------------------------------------------

def decode_files(paths: Sequence[str], header_only: bool, threads: int | None) -> bulk.Decoding:
    """The outcome of each path, in order, decoded on the worker pool."""
    return bulk.decode(paths, header_only=header_only, threads=threads)


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

def run_summary(args: argparse.Namespace) -> int:
    paths = list(_summary.find_replays(args.paths, args.glob))
    parquet = args.parquet or _tables.is_parquet(args.output)
    done = failed = 0
    progress = Progress(len(paths), args.progress)
    try:
        with _tables.TableWriter(args.output, _summary.COLUMNS, _summary.TYPES, parquet) as table:
            for outcome in decode_files(paths, args.header_only, args.threads):
                if outcome.error is None:
                    assert outcome.replay is not None
                    table.write(_summary.replay_row(outcome.path, outcome.replay))
                else:
                    failed += 1
                    table.write(_summary.failure_row(outcome.path, outcome.error))
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


def run_frames(args: argparse.Namespace) -> int:
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


def run_show(args: argparse.Namespace) -> int:
    replay = decode_one(args.file)
    from kadenzo import columns as columns_module

    columns = columns_module.frames(replay)
    mods, mods_text = _summary.mods_of(replay)
    duration = sum(columns.time_delta) / 1000 if len(columns) else 0.0
    life = replay.life_bar_graph or []
    lines = [
        _summary.printable(args.file),
        f"  mode          {_summary.MODE_NAMES.get(repr(replay.mode))}",
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
        "frames", help="the frames of one replay as a table",
        description="Writes the frames of one replay as a table: 'time' (ms since the start of the play), "
                    "then the fields of the mode's frames (key sets as integers).")
    frames.add_argument("file", metavar="FILE", help="a replay file")
    frames.add_argument("-o", "--output", metavar="OUT",
                        help="write to OUT (.csv, or .parquet for Parquet) instead of CSV on standard output")
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

    anonymise = _anonymise.add_parser(commands, positive_int)
    anonymise.set_defaults(run=lambda args: _anonymise.run(args, Progress))
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except Failure as failure:
        print(f"kadenzo {args.command}: {failure}", file=sys.stderr)
        return EXIT_FAILED
    except (_tables.UsageError, _anonymise.UsageError) as error:
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

