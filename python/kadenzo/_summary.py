"""`kadenzo summary`: one row per replay file (its header fields, frame count
and seed, or the error that stopped it), streamed to a table as the files
are decoded, so that memory stays flat however many files there are."""
from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Any

import kadenzo
from kadenzo import _find
from kadenzo._native import frame_count

HEADER_FIELDS = (
    "game_version", "beatmap_hash", "username", "replay_hash",
    "count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss",
    "score", "max_combo", "perfect",
)
COLUMNS = ("path", "mode", *HEADER_FIELDS, "mods", "mods_text", "timestamp", "replay_id",
           "frame_count", "rng_seed", "error")
# Arrow types for Parquet; a failed file leaves its values empty (null).
TYPES = {
    **dict.fromkeys(("game_version", "score", "rng_seed"), "int32"),
    **dict.fromkeys(("count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss",
                     "max_combo"), "int16"),
    "perfect": "bool_",
    "mods": "int64",
    "timestamp": "int64",
    "replay_id": "uint64",
    "frame_count": "int64",
}
MODE_NAMES = {"GameMode.STD": "STD", "GameMode.TAIKO": "TAIKO", "GameMode.CTB": "CTB",
              "GameMode.MANIA": "MANIA", "GameMode.UNKNOWN": "UNKNOWN"}


def printable(path: str | bytes) -> str:
    """The path as text that can be written as UTF-8 (a data value: kept as
    it is otherwise): bytes of a name in a foreign encoding become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def find_replays(sources: Sequence[str], pattern: str = "*.kvr") -> Iterator[str]:
    """Each source that is a file, and the files under each folder (and its
    subfolders) whose name matches `pattern`, sorted within each folder. A
    source that is neither is passed on: decoding it reports why. Folders
    that cannot be read are left out here (kadenzo._find reports them)."""
    return (item for item in _find.find_replays(sources, pattern) if isinstance(item, str))


def mods_of(replay: kadenzo.Replay) -> tuple[int | None, str | None]:
    """The mods as a number and as names ("DoubleTime|Hidden"); (None, None)
    for a header whose mods have bit 31 set, which Mod does not convert."""
    mods = replay.mods
    try:
        return int(mods), repr(mods).removeprefix("<Mod.").rsplit(":", 1)[0]
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return None, None


def replay_row(path: str, replay: kadenzo.Replay) -> list[Any]:
    mods, mods_text = mods_of(replay)
    return [printable(path), MODE_NAMES.get(repr(replay.mode)),
            *[getattr(replay, field) for field in HEADER_FIELDS],
            mods, mods_text, replay.timestamp, replay.replay_id,
            frame_count(replay), replay.rng_seed, None]


def failure_row(path: str, error: BaseException | str) -> list[Any]:
    row: list[Any] = [None] * len(COLUMNS)
    row[0] = printable(path)
    row[-1] = error if isinstance(error, str) else getattr(error, "message", None) or str(error)
    return row
