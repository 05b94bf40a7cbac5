"""Tables written row by row, as CSV (standard output or a file) or as
Parquet (with pyarrow): what `kadenzo summary` and `kadenzo frames` write.

A run stopped part-way (Ctrl-C, a failure) leaves a file holding every row
taken before it, each whole: CSV lines are written whole and flushed often,
and a Parquet file is closed with its footer so that it stays readable.
"""
from __future__ import annotations

import csv
import importlib
import io
import os
import sys
import time
from collections.abc import Iterable, Sequence
from types import TracebackType
from typing import IO, Any

# Rows per batch: a Parquet row group; CSV output is flushed after as many
# rows, or after FLUSH_SECONDS, whichever comes first.
BATCH_ROWS = 1024
FLUSH_SECONDS = 0.5


class UsageError(Exception):
    """The command cannot run as asked."""


class MissingDependency(UsageError):
    """An optional library the command needs is not installed."""


def is_parquet(path: str | os.PathLike[str] | None) -> bool:
    return path is not None and os.fspath(path).lower().endswith((".parquet", ".pq"))


class TableWriter:
    """Writes rows of `columns` to `path` (None: standard output, CSV only).

    `types` gives the Arrow type name of each column for Parquet ("int64",
    "string", "bool", ...); CSV writes every value as text, None as an
    empty field. Use as a context manager: leaving it writes what is pending."""

    def __init__(self, path: str | os.PathLike[str] | None, columns: Sequence[str],
                 types: dict[str, str], parquet: bool = False):
        self.columns = list(columns)
        self.rows_written = 0
        self._pending: list[Sequence[Any]] = []
        self._parquet = None
        self._file: IO[str] | None = None
        self._own_file = False
        self._unflushed = 0
        self._flushed_at = time.monotonic()
        if parquet:
            if path is None:
                raise UsageError("Parquet output needs a file: give -o FILE.parquet")
            self._open_parquet(path, types)
        else:
            if path is None:
                self._file = sys.stdout
            else:
                self._file = open(path, "w", newline="", encoding="utf-8")
                self._own_file = True
            self._csv = csv.writer(self._file, lineterminator="\n")
            self._csv.writerow(self.columns)

    def _open_parquet(self, path: str | os.PathLike[str], types: dict[str, str]) -> None:
        try:
            pyarrow = importlib.import_module("pyarrow")
            importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
        self._arrow = pyarrow
        self._schema = pyarrow.schema([(name, getattr(pyarrow, types.get(name, "string"))())
                                       for name in self.columns])
        self._parquet = pyarrow.parquet.ParquetWriter(os.fspath(path), self._schema)

    def write(self, row: Sequence[Any]) -> None:
        if self._parquet is None:
            # A whole line per call: an interrupt between calls leaves whole lines.
            self._csv.writerow(row)
            self._unflushed += 1
            if self._unflushed >= BATCH_ROWS or time.monotonic() - self._flushed_at > FLUSH_SECONDS:
                self.flush()
            return
        self._pending.append(row)
        if len(self._pending) >= BATCH_ROWS:
            self.flush()

    def write_many(self, rows: Iterable[Sequence[Any]]) -> None:
        for row in rows:
            self.write(row)

    def flush(self) -> None:
        if self._parquet is not None:
            rows, self._pending = self._pending, []
            if rows:
                arrays = [list(values) for values in zip(*rows)]
                self._parquet.write_table(self._arrow.Table.from_arrays(
                    [self._arrow.array(values, type=field.type) for values, field in zip(arrays, self._schema)],
                    schema=self._schema))
            self.rows_written += len(rows)
        else:
            assert self._file is not None
            self._file.flush()
            self.rows_written += self._unflushed
            self._unflushed = 0
        self._flushed_at = time.monotonic()

    def close(self) -> None:
        try:
            self.flush()
        finally:
            if self._parquet is not None:
                self._parquet.close()
            elif self._own_file and self._file is not None:
                self._file.close()

    def __enter__(self) -> TableWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if isinstance(error, BrokenPipeError):
            return  # the reader of standard output went away: nothing more can be written there
        self.close()


def silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's final
    flush of a closed pipe prints no second error."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
