"""Tables written row by row, as CSV (standard output or a file) or as
Parquet (with pyarrow): what `kadenzo summary` and `kadenzo frames` write.

A file is written beside its final name and moved into place when closed
(kadenzo.cli._output). A run stopped by SIGINT or SIGTERM keeps every row taken
before it, each whole: CSV lines are written whole and flushed often, and a
Parquet file is closed with its footer so that it stays readable. A failed
write leaves the final name as it was and raises WriteFailed.

CSV cells are written as they are, with no escaping of text that spreadsheet
programs take as formulas, as pandas writes them: the values stay exact.
"""

from __future__ import annotations

import csv
import importlib
import io
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from types import TracebackType
from typing import IO, Any

from kadenzo import _stop_signals
from kadenzo._arrow_files import arrow_target, close_arrow_target
from kadenzo.cli._common import MissingDependency, UsageError
from kadenzo.cli._output import OutputFile, standard_output, write_errors

__all__ = ["BATCH_ROWS", "MissingDependency", "TableWriter", "UsageError", "is_parquet", "path_value"]

# Rows per batch: a Parquet row group; CSV output is flushed after as many
# rows, or after FLUSH_SECONDS, whichever comes first.
BATCH_ROWS = 1024
FLUSH_SECONDS = 0.5


def path_value(path: str) -> str:
    """A path as a Parquet string: Arrow strings are UTF-8, so bytes of a
    name that are not (surrogate escapes here) become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def _keep_escapes(file: IO[str]) -> None:
    """Lets a text stream write the surrogate escapes of a name's bytes as those bytes."""
    reconfigure = getattr(file, "reconfigure", None)
    if callable(reconfigure) and getattr(file, "errors", None) == "strict":
        reconfigure(errors="surrogateescape")


def is_parquet(path: str | os.PathLike[str] | None) -> bool:
    return path is not None and os.fspath(path).lower().endswith((".parquet", ".pq"))


class TableWriter:
    """Writes rows of `columns` to `path` (None: standard output, CSV only).

    `types` gives the Arrow type name of each column for Parquet ("int64",
    "string", "bool", ...), unless `schema` gives the Parquet file's
    pyarrow.Schema whole; CSV writes every value as text, None as an empty
    field. Use as a context manager: leaving it writes what is pending."""

    def __init__(
        self,
        path: str | os.PathLike[str] | None,
        columns: Sequence[str],
        types: dict[str, str],
        parquet: bool = False,
        schema: Any = None,
    ):
        self.columns = list(columns)
        self.rows_written = 0
        self._pending: list[Sequence[Any]] = []
        self._parquet = None
        self._sink: str | IO[bytes] | None = None  # what the Parquet writer writes to
        self._file: IO[str] | None = None
        self._output: OutputFile | None = None
        self._name = os.fspath(path) if path is not None else "standard output"
        self._unflushed = 0
        self._flushed_at = time.monotonic()
        self._closed = False
        # Only text can hold a "\r" that needs quoting (see _start_csv).
        self._text_positions = [
            index for index, name in enumerate(self.columns) if types.get(name, "string") == "string"
        ]
        if parquet and path is None:
            raise UsageError("Parquet output needs a file: give -o FILE.parquet")
        # CSV keeps a path's bytes as the file system gave them; Parquet cannot (see path_value).
        self.path_value: Callable[[str], str] = path_value if parquet else str
        if path is None:
            self._file = standard_output()
            with write_errors(self._name):
                _keep_escapes(self._file)
        else:
            self._output = OutputFile(path, keep_when_stopped=True)
        opened = False
        try:
            # A stop signal while the table opens waits until it is open, so that
            # even a table without rows ends as a whole, readable file.
            with _stop_signals.holding(), write_errors(self._name):
                if parquet:
                    self._open_parquet(self._output.path if self._output else "", types, schema)
                else:
                    if self._output is not None:
                        self._file = open(
                            self._output.path, "w", newline="", encoding="utf-8", errors="surrogateescape"
                        )
                    self._start_csv()
                opened = True
        except KeyboardInterrupt:
            self.close(complete=opened)
            raise
        except BaseException:
            if self._output is not None:
                self._output.discard()
            raise

    def _start_csv(self) -> None:
        # Python's csv quotes a field holding a character of the line ending
        # only: with "\n" lines, a bare "\r" would go out unquoted and readers
        # would split the row there. A row holding one is written by a writer
        # that quotes every field, which every reader reads back the same.
        assert self._file is not None
        self._csv = csv.writer(self._file, lineterminator="\n")
        self._quoting_csv = csv.writer(self._file, lineterminator="\n", quoting=csv.QUOTE_ALL)
        self._csv.writerow(self.columns)

    def _open_parquet(self, path: str | os.PathLike[str], types: dict[str, str], schema: Any) -> None:
        try:
            pyarrow = importlib.import_module("pyarrow")
            importlib.import_module("pyarrow.parquet")
        except ImportError:
            raise MissingDependency("Parquet output needs pyarrow: pip install 'kadenzo[arrow]'") from None
        self._arrow = pyarrow
        self._schema = (
            schema
            if schema is not None
            else pyarrow.schema([(name, getattr(pyarrow, types.get(name, "string"))()) for name in self.columns])
        )
        self._sink = arrow_target(os.fspath(path))
        try:
            self._parquet = pyarrow.parquet.ParquetWriter(self._sink, self._schema)
        except BaseException:
            close_arrow_target(self._sink)
            raise

    def write(self, row: Sequence[Any]) -> None:
        if self._parquet is None:
            # A whole line per call: an interrupt between calls leaves whole lines.
            writer = self._csv
            for position in self._text_positions:
                value = row[position]
                if type(value) is str and "\r" in value:
                    writer = self._quoting_csv
            try:
                writer.writerow(row)
            except OSError as error:
                with write_errors(self._name):  # the same message as every other write
                    raise error
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
        with _stop_signals.holding(), write_errors(self._name):
            if self._parquet is not None:
                rows, self._pending = self._pending, []
                if rows:
                    arrays = [list(values) for values in zip(*rows)]
                    self._parquet.write_table(
                        self._arrow.Table.from_arrays(
                            [self._arrow.array(values, type=field.type) for values, field in zip(arrays, self._schema)],
                            schema=self._schema,
                        )
                    )
                self.rows_written += len(rows)
            else:
                assert self._file is not None
                self._file.flush()
                self.rows_written += self._unflushed
                self._unflushed = 0
        self._flushed_at = time.monotonic()

    def close(self, complete: bool = True) -> None:
        """Writes what is pending and closes the file; `complete` moves it to its
        final name, otherwise (or when closing fails) it is removed. A stop
        signal meanwhile waits until the file is in place."""
        with _stop_signals.holding():
            try:
                if complete:
                    self.flush()
                self._close_file(quietly=not complete)
            except BaseException:
                self._close_file(quietly=True)
                self._finish(moved=False)
                raise
            self._finish(moved=complete)

    def _finish(self, moved: bool) -> None:
        if self._output is not None:
            if moved:
                self._output.commit()
            else:
                self._output.discard()

    def _close_file(self, quietly: bool) -> None:
        """Closes the file once (standard output stays open)."""
        if self._closed:
            return
        self._closed = True
        try:
            with write_errors(self._name):
                if self._parquet is not None:
                    try:
                        self._parquet.close()
                    finally:
                        close_arrow_target(self._sink)
                elif self._output is not None and self._file is not None:
                    self._file.close()
        except Exception:
            if not quietly:
                raise

    def __enter__(self) -> TableWriter:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if isinstance(error, BrokenPipeError):
            return  # the reader of standard output went away: nothing more can be written there
        # Stopped by a signal: the rows so far are kept, in a properly closed file.
        self.close(complete=error is None or isinstance(error, KeyboardInterrupt))


def silence_stdout() -> None:
    """Points standard output at /dev/null, so that the interpreter's final
    flush of a closed pipe prints no second error."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, io.UnsupportedOperation):
        pass
