"""Record batches of kadenzo.dataset's tables, assembled natively: the decoded
files of a batch are gathered here in input order, and `kadenzo._native`
writes each column in one pass over them (header values; the frame columns'
buffers, a long play's used in place) without the interpreter lock. A batch
is an "arrow_array" capsule of a struct array of the table's schema, which
pyarrow imports or a C stream hands on; nothing here needs pyarrow. The same
assembly gives the rows as Python values (`Batch.rows`), which is what
`kadenzo summary` writes as CSV.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator
from typing import Any

from kadenzo import Replay, _header_rows, _native
from kadenzo._native import FrameColumns
from kadenzo.errors import Salvaged

# A batch ends at this many rows (header rows; frames), or when this many
# seconds passed since its first row, so a slow folder still shows progress.
SUMMARY_BATCH_ROWS = 1024
FRAMES_BATCH_ROWS = 1 << 20
FRAMES_BATCH_FILES = 1024
BATCH_SECONDS = 0.5
# A file of at least this many frames makes a frames batch of its own, which
# shares its columns' memory instead of copying them into a batch of many files.
SHARED_BATCH_ROWS = 4096


class Decoded:
    """One source's outcome, as `kadenzo.dataset.decoded` yields it: `replay`
    (header fields) and `columns` (its frames), or `error` (the message) and
    both None. `name` is the row's `path` (text that Arrow can hold: bytes
    of a name that are not UTF-8 become U+FFFD), `path` the name as the
    source gave it. With salvage, a damaged file's `salvaged` holds what it
    still holds, and `replay` is that partial replay."""

    __slots__ = ("index", "name", "replay", "columns", "error", "path", "salvaged")

    def __init__(
        self,
        index: int,
        name: str | None,
        replay: Replay | None,
        columns: FrameColumns | None,
        error: str | None,
        path: Any = None,
        salvaged: Salvaged | None = None,
    ):
        self.index, self.name, self.replay, self.columns, self.error = index, name, replay, columns, error
        self.path, self.salvaged = path, salvaged


# The file's field each summary column comes from, where it is not the column's own name.
_FIELD_OF_COLUMN = {
    "mods_names": "mods",
    "played_at": "timestamp",
    "frame_count": "replay_data",
    "rng_seed": "replay_data",
}


def hidden_columns(salvaged: Salvaged) -> tuple[str, ...]:
    """The summary columns a damaged file's row leaves empty: those of the
    fields it did not yield whole. The frame count is that of the frames
    kept when only a part of them was; the seed needs the whole frame text."""
    key = (salvaged.fields_read, salvaged.frames_partial)
    found = _HIDDEN.get(key)
    if found is None:
        read = set(salvaged.fields_read)
        found = tuple(
            column
            for column in _header_rows.COLUMNS
            if column not in ("path", "error")
            and _FIELD_OF_COLUMN.get(column, column) not in read
            and not (column == "frame_count" and salvaged.frames_partial)
        )
        if len(_HIDDEN) >= 256:  # bounded, whatever the files hold
            _HIDDEN.clear()
        _HIDDEN[key] = found
    return found


_HIDDEN: dict[tuple[tuple[str, ...], bool], tuple[str, ...]] = {}


class Batch:
    """Decoded files gathered for one record batch of the frames table
    (`frames`) or the summary table, projected to `columns` (None: all).
    `full` false: the files were read header-only (no frame count or seed)."""

    def __init__(self, frames: bool, columns: tuple[str, ...] | None, full: bool = True):
        self.frames, self.columns, self.full = frames, columns, full
        # Mod codes come from kadenzo.mods, read here only when asked for.
        self._mods = not frames and (columns is None or "mods_names" in columns)
        self._entries: list[tuple[Any, ...]] = []
        self.rows = 0

    def __len__(self) -> int:
        return len(self._entries)

    def add(self, item: Decoded) -> int:
        """Adds one file; returns its rows (a failure keeps one, for its error)."""
        replay, columns = item.replay, item.columns
        if self.frames:
            rows = len(columns) if columns is not None else 1
            replay = replay if item.error is None else None  # a salvaged part has no frames rows
            self._entries.append((item.index, item.name, replay, columns, item.error, None))
        else:
            rows = 1
            mods_names = _header_rows.mods_of(replay)[1] if self._mods and replay is not None else None
            entry: tuple[Any, ...] = (
                item.index,
                item.name,
                replay,
                columns if self.full else None,
                item.error,
                mods_names,
            )
            if item.salvaged is not None:
                entry += (hidden_columns(item.salvaged),)
            self._entries.append(entry)
        self.rows += rows
        return rows

    def take(self) -> Any:
        """The files added so far as one batch (a capsule); the batch starts empty again."""
        entries, self._entries, self.rows = self._entries, [], 0
        return _native.dataset_batch(self.frames, self.columns, entries)

    def take_rows(self) -> list[tuple[Any, ...]]:
        """The files added so far as the batch's rows of Python values
        (`played_at` as microseconds since the epoch); the batch starts empty again."""
        entries, self._entries, self.rows = self._entries, [], 0
        return _native.dataset_rows(self.frames, self.columns, entries)


def summary_batches(outcomes: Iterable[Decoded], columns: tuple[str, ...] | None, full: bool) -> Iterator[Any]:
    """The summary table's batches, in input order."""
    batch = Batch(False, columns, full)
    started = time.monotonic()
    for outcome in outcomes:
        if not len(batch):
            started = time.monotonic()
        batch.add(outcome)
        if len(batch) >= SUMMARY_BATCH_ROWS or time.monotonic() - started > BATCH_SECONDS:
            yield batch.take()
    if len(batch):
        yield batch.take()


def frames_batches(outcomes: Iterable[Decoded], columns: tuple[str, ...] | None) -> Iterator[Any]:
    """The frames table's batches, in input order: a long play in a batch of
    its own, over its columns' memory; short ones gathered."""
    batch = Batch(True, columns)
    for outcome in outcomes:
        if outcome.columns is not None and len(outcome.columns) >= SHARED_BATCH_ROWS:
            if len(batch):
                yield batch.take()
            batch.add(outcome)
            yield batch.take()
            continue
        batch.add(outcome)
        if batch.rows >= FRAMES_BATCH_ROWS or len(batch) >= FRAMES_BATCH_FILES:
            yield batch.take()
    if len(batch):
        yield batch.take()
