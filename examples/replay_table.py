"""Summarises a folder of replays into a table: one row per replay with its
header fields and its frame count.

    python examples/replay_table.py samples/                 # print the table
    python examples/replay_table.py samples/ --csv plays.csv # and write it as CSV

Files are decoded with `kadenzo.bulk.decode` (all cores, the rows made as the
results arrive, only a few replays in memory at a time). A damaged file does
not end the run: its row carries the failure in the `error` column.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Callable, Iterable, Sequence
from typing import Any, TypeVar

import kadenzo
import kadenzo.bulk
import kadenzo.columns
import pandas as pd
from kadenzo.errors import ReplayError

# The frame list of a decoded replay is the one of its own mode.
FRAME_LIST_OF_MODE = {
    "STD": "kivo_replay_data",
    "TAIKO": "taiko_replay_data",
    "CTB": "catch_replay_data",
    "MANIA": "mania_replay_data",
}

HEADER_FIELDS = (
    "game_version",
    "beatmap_hash",
    "username",
    "replay_hash",
    "count_300",
    "count_100",
    "count_50",
    "count_geki",
    "count_katu",
    "count_miss",
    "score",
    "max_combo",
    "perfect",
    "timestamp",
    "replay_id",
    "rng_seed",
)

COLUMNS = ("path", "mode", *HEADER_FIELDS, "mods", "mods_text", "frame_count", "error")

# Nullable column types: a failed file's row has no values, and the NaN that
# pandas would put there turns an integer column into floats, which round
# timestamps (~6.4e17) and online ids (up to 2**64 - 1). Text columns keep
# pandas' own choice.
DTYPES = {
    **dict.fromkeys(
        (
            "game_version",
            "count_300",
            "count_100",
            "count_50",
            "count_geki",
            "count_katu",
            "count_miss",
            "score",
            "max_combo",
            "timestamp",
            "rng_seed",
            "mods",
            "frame_count",
        ),
        "Int64",
    ),
    "replay_id": "UInt64",
    "perfect": "boolean",
}


def mode_name(mode: kadenzo.GameMode) -> str:
    """ "STD", "TAIKO", "CTB", "MANIA" or "UNKNOWN"."""
    return repr(mode).removeprefix("GameMode.")


def frames_of(replay: kadenzo.Replay) -> list[Any]:
    """The frames of the replay's own mode (empty for a header-only decode).
    Each call builds every frame object anew: call it once per replay."""
    frames = getattr(replay.replay_data, FRAME_LIST_OF_MODE.get(mode_name(replay.mode), ""), None)
    return frames if frames is not None else []


def summary_row(path: str, replay: kadenzo.Replay) -> dict[str, Any]:
    """One table row of plain Python values (safe to pickle, send or store)."""
    row: dict[str, Any] = {"path": printable(path), "mode": mode_name(replay.mode)}
    for field in HEADER_FIELDS:
        row[field] = getattr(replay, field)
    row["mods"], row["mods_text"] = mods_of(replay)
    row["frame_count"] = kadenzo.columns.frame_count(replay) or 0  # counted without building frames
    row["error"] = None
    return row


def mods_of(replay: kadenzo.Replay) -> tuple[int | None, str | None]:
    """The mods as a number and as text; (None, None) for a header whose mods
    have bit 31 set, which Mod refuses to read as a number."""
    mods = replay.mods
    try:
        return int(mods), repr(mods)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # the refusal is a BaseException, like Ctrl-C
        return None, None


def printable(path: str) -> str:
    """The path as text that can be printed and written as UTF-8: bytes of a
    name in a foreign encoding (kept by Python as lone surrogates) become U+FFFD."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def failure_row(path: str, error: ReplayError) -> dict[str, Any]:
    """The row of a file that failed: what is wrong and where."""
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row["path"] = printable(path)
    row["error"] = error.message
    return row


T = TypeVar("T")


def decode_each(
    paths: Iterable[str],
    convert: Callable[[str, kadenzo.Replay], T],
    on_failure: Callable[[str, ReplayError], T],
    threads: int | None = None,
) -> list[T]:
    """convert(path, replay) for each path, in order, or on_failure(path,
    error) for a file that does not decode."""

    def outcome(result: kadenzo.bulk.DecodeResult) -> T:
        if result.error is not None:
            return on_failure(result.path, result.error)
        assert result.replay is not None
        return convert(result.path, result.replay)

    return [outcome(result) for result in kadenzo.bulk.decode(paths, threads=threads)]


def decode_rows(paths: Iterable[str], threads: int | None = None) -> list[dict[str, Any]]:
    """The rows of `paths` in order; a damaged file gets a failure row."""
    return decode_each(paths, summary_row, failure_row, threads)


def replay_paths(folder: str | pathlib.Path) -> list[str]:
    """The .kvr files of a folder and its subfolders, sorted, as absolute
    paths: a worker process elsewhere may run in another folder."""
    return sorted(str(p) for p in pathlib.Path(folder).resolve().rglob("*.kvr") if p.is_file())


def to_table(rows: Sequence[dict[str, Any]]) -> pd.DataFrame:
    """The DataFrame of summary rows, with the column types of DTYPES."""
    return pd.DataFrame({name: pd.Series([row[name] for row in rows], dtype=DTYPES.get(name)) for name in COLUMNS})


def summarise(paths: Iterable[str], threads: int | None = None) -> pd.DataFrame:
    """The table of `paths`, one row per path in the given order."""
    return to_table(decode_rows(paths, threads))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="folder searched for .kvr files")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument("--threads", type=int, help="files decoded at once (default: all cores)")
    args = parser.parse_args(argv)
    if not pathlib.Path(args.folder).is_dir():
        parser.error(f"not a folder: {args.folder}")

    table = summarise(replay_paths(args.folder), args.threads)
    if args.csv:
        table.to_csv(args.csv, index=False)
    print_table(table)
    failed = int(table["error"].notna().sum())
    print(f"{len(table)} replays, {failed} failed")
    return 0


def print_table(table: pd.DataFrame, most: int = 40) -> None:
    """The table without its hash columns; a long one only in part (the CSV
    has it all)."""
    shown = table.drop(columns=["beatmap_hash", "replay_hash"])
    with pd.option_context("display.max_columns", None, "display.width", 200):
        print(shown.head(most).to_string(index=False))
    if len(table) > most:
        print(f"... {len(table) - most} more rows")


if __name__ == "__main__":
    sys.exit(main())
