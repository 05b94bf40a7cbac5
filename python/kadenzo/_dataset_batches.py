"""Record batches of kadenzo.dataset's tables, assembled natively: the decoded
files of a batch are gathered here in input order, and `kadenzo._native`
writes each column in one pass over them (header values; the frame columns'
buffers, a long play's used in place) without the interpreter lock. A batch
is an "arrow_array" capsule of a struct array of the table's schema, which
pyarrow imports or a C stream hands on; nothing here needs pyarrow.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator
from typing import Any

from kadenzo import Replay, _header_rows, _native
from kadenzo._native import FrameColumns

# A batch ends at this many rows (header rows; frames), or when this many
# seconds passed since its first row, so a slow folder still shows progress.
SUMMARY_BATCH_ROWS = 1024
FRAMES_BATCH_ROWS = 1 << 20
FRAMES_BATCH_FILES = 1024
BATCH_SECONDS = 0.5
# A file of at least this many frames makes a frames batch of its own, which
# shares its columns' memory instead of copying them into a batch of many files.
SHARED_BATCH_ROWS = 4096

# One source's outcome: (index in the input, name, header Replay or None,
# FrameColumns or None, error message or None).
Outcome = tuple[int, "str | None", "Replay | None", "FrameColumns | None", "str | None"]


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

    def add(
        self, index: int, name: str | None, replay: Replay | None, columns: FrameColumns | None, error: str | None
    ) -> int:
        """Adds one file; returns its rows (a failure keeps one, for its error)."""
        if self.frames:
            rows = len(columns) if columns is not None else 1
            self._entries.append((index, name, replay, columns, error, None))
        else:
            rows = 1
            mods_names = _header_rows.mods_of(replay)[1] if self._mods and replay is not None else None
            self._entries.append((index, name, replay, columns if self.full else None, error, mods_names))
        self.rows += rows
        return rows

    def take(self) -> Any:
        """The files added so far as one batch (a capsule); the batch starts empty again."""
        entries, self._entries, self.rows = self._entries, [], 0
        return _native.dataset_batch(self.frames, self.columns, entries)


def summary_batches(outcomes: Iterable[Outcome], columns: tuple[str, ...] | None, full: bool) -> Iterator[Any]:
    """The summary table's batches, in input order."""
    batch = Batch(False, columns, full)
    started = time.monotonic()
    for outcome in outcomes:
        if not len(batch):
            started = time.monotonic()
        batch.add(*outcome)
        if len(batch) >= SUMMARY_BATCH_ROWS or time.monotonic() - started > BATCH_SECONDS:
            yield batch.take()
    if len(batch):
        yield batch.take()


def frames_batches(outcomes: Iterable[Outcome], columns: tuple[str, ...] | None) -> Iterator[Any]:
    """The frames table's batches, in input order: a long play in a batch of
    its own, over its columns' memory; short ones gathered."""
    batch = Batch(True, columns)
    for index, name, replay, frame_columns, error in outcomes:
        if frame_columns is not None and len(frame_columns) >= SHARED_BATCH_ROWS:
            if len(batch):
                yield batch.take()
            batch.add(index, name, replay, frame_columns, error)
            yield batch.take()
            continue
        batch.add(index, name, replay, frame_columns, error)
        if batch.rows >= FRAMES_BATCH_ROWS or len(batch) >= FRAMES_BATCH_FILES:
            yield batch.take()
    if len(batch):
        yield batch.take()
