"""The columns of kadenzo.dataset's tables, in order (the native assembly,
src/dataset, builds their values; a test checks that the two agree), and the
mods' codes each summary row carries.
"""

from __future__ import annotations

from collections.abc import Sequence

from kadenzo import Replay, _native

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
# Columns that need the frames decoded; without them a header read suffices.
FRAME_DEPENDENT = ("frame_count", "rng_seed")


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


def mods_of(replay: Replay) -> tuple[int, str]:
    """The mods as a number, all 32 bits, and as the two-letter codes of the
    modifiers among them ("HDDT"). Bit 31, which no modifier owns, counts in
    the number only: read through kadenzo._native, since int(Mod) refuses it."""
    mods = _native.mod_bits(replay.mods)
    names = _MOD_NAMES.get(mods)
    if names is None:
        from kadenzo import mods as mod_codes

        if len(_MOD_NAMES) >= 4096:  # bounded, whatever the files hold
            _MOD_NAMES.clear()
        names = _MOD_NAMES[mods] = mod_codes.names(mods)
    return mods, names


# The codes of each set of mods met so far: a folder of plays holds few sets.
_MOD_NAMES: dict[int, str] = {}
