"""The summary table's columns and how each value is read from a decoded
replay: one definition for the Arrow tables of `kadenzo.dataset` and the
table `kadenzo summary` writes (CSV without pyarrow too), which may add the
per-play statistics of `--stats`.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from kadenzo import Replay
from kadenzo._native import FrameColumns, frame_count

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
)
COLUMNS = (
    "path",
    "mode",
    *HEADER_FIELDS,
    "mods",
    "mods_names",
    "timestamp",
    "played_at",
    "replay_id",
    "frame_count",
    "rng_seed",
    "error",
)
# The long frames table of kadenzo.dataset: one row per frame of every file.
FRAME_TABLE_COLUMNS = (
    "file_index",
    "path",
    "mode",
    "time",
    "time_delta",
    "x",
    "x_int",
    "y",
    "keys",
    "dashing",
    "error",
)
# The columns of text (CSV quotes what needs it in these).
TEXT_COLUMNS = ("path", "mode", "beatmap_hash", "username", "replay_hash", "mods_names", "played_at", "error")
# Columns that need the frames decoded; without them a header read suffices.
FRAME_DEPENDENT = ("frame_count", "rng_seed")

MODE_NAMES = ("STD", "TAIKO", "CTB", "MANIA", "UNKNOWN")

# Ticks: 100 ns units since 0001-01-01, the unit of the header's time stamp.
TICKS_AT_UNIX_EPOCH = 621_355_968_000_000_000
LAST_TICK = 3_155_378_975_999_999_999  # 9999-12-31 23:59:59.9999999


def checked_columns(table: Sequence[str], columns: Sequence[str] | None) -> tuple[str, ...] | None:
    """`columns` as a tuple after checking that each names a column of
    `table` once; None (every column) stays None."""
    if columns is None:
        return None
    if isinstance(columns, str) or not all(isinstance(name, str) for name in columns):
        raise TypeError("columns must be a sequence of column names (str)")
    unknown = [name for name in columns if name not in table]
    if unknown:
        raise ValueError(f"unknown column {unknown[0]!r}; the columns are {', '.join(table)}")
    if len(set(columns)) != len(columns):
        raise ValueError("columns names a column twice")
    return tuple(columns)


def mode_name(mode: Any) -> str:
    """ "STD" for GameMode.STD, and so on."""
    return repr(mode).removeprefix("GameMode.")


def played_at(ticks: int) -> int | None:
    """Microseconds since the Unix epoch of a tick count (rounded down to
    whole microseconds), or None outside the ticks' calendar (years 1 to 9999)."""
    if not 0 <= ticks <= LAST_TICK:
        return None
    return (ticks - TICKS_AT_UNIX_EPOCH) // 10


def mods_of(replay: Replay) -> tuple[int | None, str | None]:
    """The mods as a number and as their two-letter codes ("HDDT"); (None,
    None) for a header whose mods have bit 31 set, which Mod does not convert."""
    try:
        mods = int(replay.mods)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return None, None
    names = _MOD_NAMES.get(mods)
    if names is None:
        from kadenzo import mods as mod_codes

        if len(_MOD_NAMES) >= 4096:  # bounded, whatever the files hold
            _MOD_NAMES.clear()
        names = _MOD_NAMES[mods] = mod_codes.names(mods)
    return mods, names


# The codes of each set of mods met so far: a folder of plays holds few sets.
_MOD_NAMES: dict[int, str] = {}


# (replay, its frame columns or None after a header read) -> value.
Reader = Callable[[Replay, FrameColumns | None], Any]


def _reader(name: str) -> Reader:
    if name == "mode":
        return lambda replay, columns: mode_name(replay.mode)
    if name == "mods":
        return lambda replay, columns: mods_of(replay)[0]
    if name == "mods_names":
        return lambda replay, columns: mods_of(replay)[1]
    if name == "played_at":
        return lambda replay, columns: played_at(replay.timestamp)
    if name == "frame_count":
        return lambda replay, columns: len(columns) if columns is not None else frame_count(replay)
    return lambda replay, columns: getattr(replay, name)


class RowReader:
    """The values of `columns` (names of COLUMNS) of one decoded file; only
    those are read from the replay."""

    def __init__(self, columns: Sequence[str]):
        self.columns = tuple(columns)
        self._readers = [
            (index, _reader(name)) for index, name in enumerate(self.columns) if name not in ("path", "error")
        ]
        self._path = self.columns.index("path") if "path" in self.columns else -1
        self._error = self.columns.index("error") if "error" in self.columns else -1

    def row(
        self, name: str | None, replay: Replay | None, columns: FrameColumns | None, error: str | None
    ) -> list[Any]:
        """`columns` is None after a header read (no frame count or seed)."""
        values: list[Any] = [None] * len(self.columns)
        if self._path >= 0:
            values[self._path] = name
        if self._error >= 0:
            values[self._error] = error
        if replay is not None:
            for index, read in self._readers:
                values[index] = read(replay, columns)
        return values


# --- what a damaged file still holds (--salvage) -----------------------------------

# The file's field each column comes from, where it is not the column's own name.
_FIELD_OF_COLUMN = {
    "mods_names": "mods",
    "played_at": "timestamp",
    "frame_count": "replay_data",
    "rng_seed": "replay_data",
}


def salvaged_row(reader: RowReader, name: str | None, error: str, salvaged: Any) -> list[Any]:
    """The row of a file that failed to decode, with what it still holds
    (a kadenzo.bulk.Salvaged): the columns of fields read whole filled, the
    others empty, and the error. The frame count is that of the frames kept
    when only a part of them was; the seed needs the whole frame text."""
    row = reader.row(name, salvaged.replay, None, error)
    read = set(salvaged.fields_read)
    for at, column in enumerate(reader.columns):
        if column in ("path", "error"):
            continue
        field = _FIELD_OF_COLUMN.get(column, column)
        if field not in read and not (column == "frame_count" and salvaged.frames_partial):
            row[at] = None
    return row


# --- per-play statistics (--stats) -------------------------------------------------

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
