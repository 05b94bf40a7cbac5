"""`kadenzo summary`: one row per replay file (its header fields, frame count
and seed, or the error that stopped it), streamed to a table as the files
are decoded, so that memory stays flat however many files there are."""
from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import Any, Literal

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


# The file's field each column comes from, where it is not the column's own name.
_FIELD_OF_COLUMN = {"mods_text": "mods", "frame_count": "replay_data", "rng_seed": "replay_data"}


def salvaged_row(path: str, error: BaseException, salvaged: Any) -> list[Any]:
    """The row of a file that failed to decode, with what it still holds
    (a kadenzo.bulk.Salvaged): the columns of fields read whole filled, the
    others empty, and the error. The frame count is that of the frames kept
    when only a part of them was; the seed needs the whole frame text."""
    row = replay_row(path, salvaged.replay)
    read = set(salvaged.fields_read)
    for at, column in enumerate(COLUMNS[1:-1], start=1):
        field = _FIELD_OF_COLUMN.get(column, column)
        if field not in read and not (column == "frame_count" and salvaged.frames_partial):
            row[at] = None
    row[-1] = failure_row(path, error)[-1]
    return row


# --- archives among the inputs ---------------------------------------------------

ARCHIVE_SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz", ".txz",
                    ".tar.zst", ".tzst")


def is_archive(source: str) -> bool:
    """A file named as a zip or tar archive: its members are the replays."""
    return source.lower().endswith(ARCHIVE_SUFFIXES) and os.path.isfile(source)


def decode_inputs(sources: Sequence[str], pattern: str, header_only: bool, threads: int | None,
                  frames: Literal["objects", "columns"] = "objects",
                  empty_folders: list[str] | None = None, salvage: bool = False) -> tuple[Iterator[Any], int | None]:
    """The results of every input in order, and their number when known (no
    archive among the inputs). Files and folders between archives are found
    first (folders that hold no match are added to `empty_folders`) and
    decoded as one stream, a folder that cannot be listed giving its
    _find.FolderError in its place; each archive is a stream of its members
    (a damaged archive ends with its error, then the next input goes on)."""
    groups: list[str | list[str | _find.FolderError]] = []
    files: list[str] = []
    for source in [*sources, None]:
        if source is not None and not is_archive(source):
            files.append(source)
            continue
        if files:
            groups.append(list(_find.find_replays(files, pattern, empty_folders)))
            files = []
        if source is not None:
            groups.append(source)
    archives = any(isinstance(group, str) for group in groups)
    total = None if archives else sum(len(group) for group in groups)
    return _group_outcomes(groups, pattern, header_only, threads, frames, salvage), total


def _group_outcomes(groups: list[str | list[str | _find.FolderError]], pattern: str, header_only: bool,
                    threads: int | None, frames: Literal["objects", "columns"], salvage: bool) -> Iterator[Any]:
    from kadenzo import bulk

    for group in groups:
        if isinstance(group, str):
            with bulk.decode_archive(group, glob=pattern, header_only=header_only, threads=threads,
                                     frames=frames, salvage=salvage) as decoding:
                yield from decoding
            continue
        paths = [item for item in group if isinstance(item, str)]
        with bulk.decode(paths, header_only=header_only, threads=threads, frames=frames,
                         salvage=salvage) as decoding:
            results = iter(decoding)
            for item in group:
                yield item if isinstance(item, _find.FolderError) else next(results)


# --- per-play statistics (--stats) -------------------------------------------------

STATS_COLUMNS = ("play_length", "frame_time_median", "frame_time_mean", "presses", "presses_by_key",
                 "press_duration_mean", "path_length", "mean_speed")
STATS_TYPES = {
    "play_length": "int64", "frame_time_median": "float64", "frame_time_mean": "float64", "presses": "int64",
    "press_duration_mean": "float64", "path_length": "float64", "mean_speed": "float64",
}


def stats_row(columns: Any) -> list[Any]:
    """The --stats columns of one play's FrameColumns (see kadenzo.columns.stats);
    empty when its clock leaves 64 bits."""
    from kadenzo import columns as columns_module

    try:
        figures = columns_module.stats(columns)
    except OverflowError:
        return [None] * len(STATS_COLUMNS)
    by_key = " ".join(f"{name}={count}" for name, count in figures["presses_by_key"].items())
    figures = {**figures, "presses_by_key": by_key}
    if figures["frame_time_median"] is not None:
        figures["frame_time_median"] = float(figures["frame_time_median"])
    return [figures[name] for name in STATS_COLUMNS]
