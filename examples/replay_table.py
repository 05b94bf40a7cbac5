"""Summarises a folder of replays into a table: one row per replay with its
header fields and its frame count.

    python examples/replay_table.py samples/                 # print the table
    python examples/replay_table.py samples/ --csv plays.csv # and write it as CSV

Files are decoded in chunks with `parse_replays_from_paths` (all cores, only one
chunk of replays in memory at a time). A damaged file does not end the run: a
chunk that fails is split in halves and each half decoded again, down to the
single damaged files, whose rows carry the failure in the `error` column.
"""
from __future__ import annotations

import argparse
import pathlib
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, TypeVar

import kadenzo
import kadenzo.columns
import pandas as pd

# The frame list of a decoded replay is the one of its own mode.
FRAME_LIST_OF_MODE = {
    "STD": "kivo_replay_data",
    "TAIKO": "taiko_replay_data",
    "CTB": "catch_replay_data",
    "MANIA": "mania_replay_data",
}

HEADER_FIELDS = (
    "game_version", "beatmap_hash", "username", "replay_hash",
    "count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss",
    "score", "max_combo", "perfect", "timestamp", "replay_id", "rng_seed",
)

COLUMNS = ("path", "mode", *HEADER_FIELDS, "mods", "mods_text", "frame_count", "error")

# Nullable column types: a failed file's row has no values, and the NaN that
# pandas would put there turns an integer column into floats, which round
# timestamps (~6.4e17) and online ids (up to 2**64 - 1). Text columns keep
# pandas' own choice.
DTYPES = {
    **dict.fromkeys(("game_version", "count_300", "count_100", "count_50", "count_geki", "count_katu",
                     "count_miss", "score", "max_combo", "timestamp", "rng_seed", "mods", "frame_count"),
                    "Int64"),
    "replay_id": "UInt64",
    "perfect": "boolean",
}


def mode_name(mode: kadenzo.GameMode) -> str:
    """"STD", "TAIKO", "CTB", "MANIA" or "UNKNOWN"."""
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
    except BaseException as error:
        if not is_decode_failure(error):
            raise
        return None, None


def printable(path: str) -> str:
    """The path as text that can be printed and written as UTF-8: bytes of a
    name in a foreign encoding (kept by Python as lone surrogates) become U+FFFD."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def failure_row(path: str, error: BaseException) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row["path"] = printable(path)
    row["error"] = short_message(error)
    return row


def short_message(error: BaseException, limit: int = 300) -> str:
    """The failure's message for a table cell. A truncated file's message holds
    every byte left in the file; those are replaced by their count."""
    text = re.sub(r"input: \[([^\]]*)\]",
                  lambda match: f"input: [{match.group(1).count(',') + 1 if match.group(1) else 0} bytes]",
                  str(error))
    return text if len(text) <= limit else text[:limit - 1] + "…"


def is_decode_failure(error: BaseException) -> bool:
    # PanicException derives from BaseException and is not a module attribute.
    return type(error).__name__ == "PanicException"


def is_file_failure(error: BaseException) -> bool:
    """A failure that belongs to one file of a batch: it does not decode, or
    its name cannot be passed on as UTF-8 (a name from a foreign encoding)."""
    return is_decode_failure(error) or isinstance(error, UnicodeEncodeError)


T = TypeVar("T")


def decode_each(paths: Sequence[str], convert: Callable[[str, kadenzo.Replay], T],
                on_failure: Callable[[str, BaseException], T]) -> list[T]:
    """convert(path, replay) for each path, in order, decoded in one batch.

    A batch fails as a whole when one of its files does; it is then split in
    halves and each half decoded again, so the good files keep the batch's
    threads and only the damaged files reach on_failure(path, error)."""
    try:
        return [convert(path, replay) for path, replay in zip(paths, kadenzo.parse_replays_from_paths(paths))]
    except BaseException as error:
        if not is_file_failure(error):
            raise
        if len(paths) == 1:
            return [on_failure(paths[0], error)]
    middle = len(paths) // 2
    return decode_each(paths[:middle], convert, on_failure) + decode_each(paths[middle:], convert, on_failure)


def decode_rows(paths: Sequence[str]) -> list[dict[str, Any]]:
    """The rows of `paths` in order; a damaged file gets a failure row."""
    return decode_each(paths, summary_row, failure_row)


def chunks(items: Sequence[str], size: int) -> Iterator[Sequence[str]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


def replay_paths(folder: str | pathlib.Path) -> list[str]:
    """The .kvr files of a folder and its subfolders, sorted, as absolute
    paths: a worker process elsewhere may run in another folder."""
    return sorted(str(p) for p in pathlib.Path(folder).resolve().rglob("*.kvr") if p.is_file())


def to_table(rows: Sequence[dict[str, Any]]) -> pd.DataFrame:
    """The DataFrame of summary rows, with the column types of DTYPES."""
    return pd.DataFrame({name: pd.Series([row[name] for row in rows], dtype=DTYPES.get(name))
                         for name in COLUMNS})


def summarise(paths: Iterable[str], chunk_size: int = 256) -> pd.DataFrame:
    """The table of `paths`, one row per path in the given order."""
    ordered = list(paths)
    return to_table([row for chunk in chunks(ordered, chunk_size) for row in decode_rows(chunk)])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="folder searched for .kvr files")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument("--chunk-size", type=int, default=256, help="replays decoded per batch call")
    args = parser.parse_args(argv)
    if not pathlib.Path(args.folder).is_dir():
        parser.error(f"not a folder: {args.folder}")

    table = summarise(replay_paths(args.folder), args.chunk_size)
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
