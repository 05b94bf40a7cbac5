"""Summarises a folder of replays into a table: one row per replay with its
header fields and its frame count.

    python examples/replay_table.py samples/                 # print the table
    python examples/replay_table.py samples/ --csv plays.csv # and write it as CSV

Files are decoded in chunks with `parse_replays_from_paths` (all cores, only one
chunk of replays in memory at a time). A damaged file does not end the run: its
chunk is decoded again file by file and the file's row carries the failure in
the `error` column.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

import kadenzo
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
    row: dict[str, Any] = {"path": path, "mode": mode_name(replay.mode)}
    for field in HEADER_FIELDS:
        row[field] = getattr(replay, field)
    mods = replay.mods
    row["mods"] = int(mods)
    row["mods_text"] = repr(mods)
    row["frame_count"] = len(frames_of(replay))
    row["error"] = None
    return row


def failure_row(path: str, error: BaseException) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(COLUMNS)
    row["path"] = path
    row["error"] = str(error)
    return row


def is_decode_failure(error: BaseException) -> bool:
    # PanicException derives from BaseException and is not a module attribute.
    return type(error).__name__ == "PanicException"


def decode_rows(paths: Sequence[str]) -> list[dict[str, Any]]:
    """Rows for `paths` in order, decoded in one batch; after a failure, file
    by file so that only the damaged files lose their row's values."""
    try:
        return [summary_row(p, r) for p, r in zip(paths, kadenzo.parse_replays_from_paths(paths))]
    except BaseException as error:
        if not is_decode_failure(error):
            raise
    rows = []
    for path in paths:
        try:
            rows.append(summary_row(path, kadenzo.parse_replay_from_path(path)))
        except BaseException as error:
            if not is_decode_failure(error):
                raise
            rows.append(failure_row(path, error))
    return rows


def chunks(items: Sequence[str], size: int) -> Iterator[Sequence[str]]:
    for start in range(0, len(items), size):
        yield items[start:start + size]


def replay_paths(folder: str | pathlib.Path) -> list[str]:
    """The .kvr files of a folder and its subfolders, sorted."""
    return sorted(str(p) for p in pathlib.Path(folder).rglob("*.kvr") if p.is_file())


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

    table = summarise(replay_paths(args.folder), args.chunk_size)
    if args.csv:
        table.to_csv(args.csv, index=False)
    with pd.option_context("display.max_columns", None, "display.width", 200):
        print(table.drop(columns=["beatmap_hash", "replay_hash"]).to_string(index=False))
    failed = int(table["error"].notna().sum())
    print(f"{len(table)} replays, {failed} failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
