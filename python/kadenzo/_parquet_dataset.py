"""Partitioned Parquet datasets of decoded replays: `headers/` (one row per
replay) and `frames/` (one row per frame), hive style (`mode=STD/`), zstd
compressed, that pyarrow.dataset, polars, DuckDB and Spark read as they are.

The dataset is written in a hidden sibling folder and renamed to its final
name when complete (kadenzo._output_folder), so the name never holds half a
run. Inside it, a part file is written under a hidden name
(`.part-00000.parquet.partial`, which dataset readers skip) and renamed when
it is complete: an interrupted run (KeyboardInterrupt) removes its unfinished
parts and still moves the finished ones into place, each whole and valid; any
other failure removes the folder being written.
"""

from __future__ import annotations

import os
import shutil
import urllib.parse
from collections.abc import Iterable, Sequence
from typing import Any

import pyarrow  # type: ignore[import-untyped]
import pyarrow.compute  # type: ignore[import-untyped]
import pyarrow.parquet  # type: ignore[import-untyped]
from kadenzo import _arrow_tables as tables
from kadenzo._arrow_files import arrow_file, arrow_target, close_arrow_target
from kadenzo._dataset_batches import Batch
from kadenzo._output_folder import OutputFolder

# The name hive-style readers give a partition whose value is null.
NULL_PARTITION = "__HIVE_DEFAULT_PARTITION__"


class _Part:
    """One open part file of one partition."""

    def __init__(self, folder: str, number: int, schema: Any):
        os.makedirs(folder, exist_ok=True)
        self.final = os.path.join(folder, f"part-{number:05d}.parquet")
        self.partial = os.path.join(folder, f".part-{number:05d}.parquet.partial")
        self.sink = arrow_target(self.partial)
        try:
            self.writer = pyarrow.parquet.ParquetWriter(self.sink, schema, compression="zstd")
        except BaseException:
            close_arrow_target(self.sink)
            raise
        self.rows = 0

    def finish(self) -> str:
        try:
            self.writer.close()
        finally:
            close_arrow_target(self.sink)
        os.replace(self.partial, self.final)
        return self.final

    def abandon(self) -> None:
        try:
            self.writer.close()
        finally:
            close_arrow_target(self.sink)
            try:
                os.unlink(self.partial)
            except FileNotFoundError:
                pass


class PartitionedWriter:
    """Writes record batches of `schema` under `folder`, one subfolder per
    value of the `partition_by` columns (which the files then leave out)."""

    def __init__(self, folder: str, schema: Any, partition_by: Sequence[str], rows_per_file: int):
        self.folder = folder
        self.schema = schema
        self.partition_by = list(partition_by)
        self.file_schema = tables.with_pandas_metadata(
            pyarrow.schema([field for field in schema if field.name not in self.partition_by])
        )
        self.rows_per_file = rows_per_file
        self.written: list[str] = []
        self._open: dict[tuple[str, ...], _Part] = {}
        self._numbers: dict[tuple[str, ...], int] = {}
        os.makedirs(folder, exist_ok=True)  # a table without rows is still there, and reads as empty

    def write(self, batch: Any) -> None:
        for key, rows in self._split(batch):
            self._write_rows(key, rows)

    def _split(self, batch: Any) -> Iterable[tuple[tuple[str, ...], Any]]:
        if not self.partition_by:
            yield (), batch
            return
        keys = [pyarrow.compute.cast(batch.column(name), pyarrow.string()) for name in self.partition_by]
        # One text per row naming its partition; the rows of each are taken in order.
        joined = (
            keys[0]
            if len(keys) == 1
            else pyarrow.compute.binary_join_element_wise(
                *[pyarrow.compute.fill_null(key, NULL_PARTITION) for key in keys], "\x00"
            )
        )
        for value in pyarrow.compute.unique(joined).to_pylist():
            if len(keys) == 1:
                mask = pyarrow.compute.is_null(joined) if value is None else pyarrow.compute.equal(joined, value)
                key: tuple[str, ...] = (value if value is not None else NULL_PARTITION,)
            else:
                mask = pyarrow.compute.equal(joined, value)
                key = tuple(value.split("\x00"))
            rows = batch.filter(mask).select(self.file_schema.names)
            yield key, rows

    def _folder_of(self, key: tuple[str, ...]) -> str:
        parts = [
            f"{name}={value if value == NULL_PARTITION else urllib.parse.quote(value, safe='')}"
            for name, value in zip(self.partition_by, key)
        ]
        return os.path.join(self.folder, *parts)

    def _write_rows(self, key: tuple[str, ...], rows: Any) -> None:
        start = 0
        while start < rows.num_rows:
            part = self._open.get(key)
            if part is None:
                number = self._numbers.get(key, 0)
                self._numbers[key] = number + 1
                part = self._open[key] = _Part(self._folder_of(key), number, self.file_schema)
            take = min(rows.num_rows - start, self.rows_per_file - part.rows)
            part.writer.write_batch(rows.slice(start, take))
            part.rows += take
            start += take
            if part.rows >= self.rows_per_file:
                self.written.append(self._open.pop(key).finish())

    def close(self) -> None:
        """Finishes every open part."""
        while self._open:
            self.written.append(self._open.popitem()[1].finish())
        if self._numbers and all(set(key) == {NULL_PARTITION} for key in self._numbers):
            self._unpartition()

    def _unpartition(self) -> None:
        """Moves parts whose partition values are all null (every file failed)
        to the top folder, with the partition columns inside them as nulls:
        hive readers cannot type a partition column that has no value at all,
        and would refuse the whole table."""
        moved = []
        for path in sorted(self.written):
            with arrow_file(path, "rb") as source:  # one file's reader: read_table's threads outlive a Python file
                table = pyarrow.parquet.ParquetFile(source).read()
            for name in self.partition_by:
                field = self.schema.field(name)
                table = table.append_column(field, pyarrow.nulls(table.num_rows, field.type))
            final = os.path.join(self.folder, os.path.basename(path))
            with arrow_file(final) as sink:
                pyarrow.parquet.write_table(table.select(self.schema.names).cast(self.schema), sink, compression="zstd")
            moved.append(final)
        shutil.rmtree(os.path.join(self.folder, f"{self.partition_by[0]}={NULL_PARTITION}"))
        self.written = moved

    def abandon(self) -> None:
        """Removes every unfinished part; finished ones stay."""
        while self._open:
            self._open.popitem()[1].abandon()


def _record_batch(schema: Any, capsule: Any) -> Any:
    return pyarrow.RecordBatch._import_from_c_capsule(schema.__arrow_c_schema__(), capsule)


def write(
    files: Iterable[Any],
    out_dir: Any,
    *,
    frames: bool,
    partition_by: Sequence[str],
    rows_per_file: int,
    full_decode: bool,
) -> list[str]:
    if isinstance(partition_by, str):
        partition_by = (partition_by,)
    if isinstance(rows_per_file, bool) or not isinstance(rows_per_file, int):
        raise TypeError(f"rows_per_file must be an int, not {type(rows_per_file).__name__}")
    if rows_per_file < 1:
        raise ValueError(f"rows_per_file must be 1 or more, not {rows_per_file}")
    header_schema = tables.with_pandas_metadata(tables.SUMMARY_SCHEMA)
    frame_schema = tables.with_pandas_metadata(tables.FRAMES_SCHEMA)
    for name in partition_by:
        if name not in header_schema.names or (frames and name not in frame_schema.names):
            raise ValueError(f"cannot partition by {name!r}: not a column of every table written")
    out = OutputFolder(out_dir)
    assert out.path is not None
    headers = PartitionedWriter(os.path.join(out.path, "headers"), header_schema, partition_by, rows_per_file)
    header_rows = Batch(False, None, full_decode)
    frame_writer: PartitionedWriter | None = None
    frame_rows: Batch | None = None
    if frames:
        frame_writer = PartitionedWriter(os.path.join(out.path, "frames"), frame_schema, partition_by, rows_per_file)
        frame_rows = Batch(True, None)
    writers = [writer for writer in (headers, frame_writer) if writer is not None]
    # Batches no larger than a part file, so parts are finished as the files come.
    batch_rows = min(rows_per_file, 1024)
    try:
        for item in files:
            header_rows.add(item)
            if len(header_rows) >= batch_rows:
                headers.write(_record_batch(header_schema, header_rows.take()))
            if frame_rows is not None and frame_writer is not None:
                frame_rows.add(item)
                if frame_rows.rows >= min(rows_per_file, 1 << 20) or len(frame_rows) >= 1024:
                    frame_writer.write(_record_batch(frame_schema, frame_rows.take()))
        if len(header_rows):
            headers.write(_record_batch(header_schema, header_rows.take()))
        if frame_rows is not None and frame_writer is not None and len(frame_rows):
            frame_writer.write(_record_batch(frame_schema, frame_rows.take()))
        for writer in writers:
            writer.close()
    except KeyboardInterrupt:
        # Stopped: the parts finished so far are whole rows; they go into place, the open ones do not.
        for writer in writers:
            writer.abandon()
        out.commit()
        raise
    except BaseException:
        for writer in writers:
            writer.abandon()
        out.discard()
        raise
    written = sorted(path for writer in writers for path in writer.written)
    names = [out.final_name(path) for path in written]
    out.commit()
    return names
