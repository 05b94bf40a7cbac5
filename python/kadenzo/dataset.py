"""Many replays as Arrow data: one row per replay, or the frames of all of
them as one long table, streamed as record batches while the files decode on
the worker pool.

    import kadenzo.dataset
    plays = kadenzo.dataset.read("replays/").read_all()                  # one row per replay
    frames = kadenzo.dataset.read("replays/", frames=True).read_all()    # one row per frame
    kadenzo.dataset.write_parquet("replays/", "out/")                    # a partitioned Parquet dataset

Sources are those of every entry point (kadenzo.sources), alone or mixed in
a list: paths, folders (searched with their subfolders for `glob`), glob
patterns ("replays/**/*.kvr"), zip and tar archives and their members
("plays.zip::week1/std.kvr"), binary file objects, or the contents of files:
bytes, an Arrow binary array, or a table with a `bytes`/`content` column and
perhaps a `path`/`filename` column (as Ray, Spark and DuckDB give them).
File names match `glob` and the last part of a glob pattern ignoring case,
so "*.kvr" finds "PLAY.KVR" in a folder walk and a pattern alike.

Batches come in input order; memory stays bounded by the decoding window and
one batch, however many files there are. They are assembled natively
(`kadenzo._dataset_batches`). `read` gives a `pyarrow.RecordBatchReader`
when pyarrow is installed (`pip install "kadenzo[arrow]"`), and otherwise an
`ArrowStream`, which polars, DuckDB and other Arrow libraries read through
the Arrow PyCapsule interface; `schema`, `plain` and `write_parquet` need pyarrow.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Literal

from kadenzo import _dataset_batches, _header_rows, _native, bulk
from kadenzo import sources as _rule
from kadenzo._dataset_batches import Decoded

__all__ = [
    "FRAME_COLUMNS",
    "SUMMARY_COLUMNS",
    "ArrowStream",
    "Decoded",
    "decode_batches",
    "decoded",
    "plain",
    "read",
    "schema",
    "summary",
    "summary_rows",
    "write_parquet",
]


# The columns of the two tables, in order (see schema()).
SUMMARY_COLUMNS: tuple[str, ...] = _header_rows.COLUMNS
FRAME_COLUMNS: tuple[str, ...] = _header_rows.FRAME_TABLE_COLUMNS


def _arrow() -> Any:
    """The schema module, imported when first needed: pyarrow is optional."""
    try:
        return importlib.import_module("kadenzo._arrow_tables")
    except ImportError as error:
        raise ImportError(f"kadenzo.dataset.schema needs pyarrow: pip install 'kadenzo[arrow]' ({error})") from None


def _check_arguments(threads: int | None, errors: str, salvage: bool = False) -> None:
    if errors not in ("column", "raise", "skip"):
        raise ValueError(f"errors must be 'column', 'raise' or 'skip', not {errors!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int)):
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be 1 or more, not {threads}")
    if not isinstance(salvage, bool):
        raise TypeError(f"salvage must be a bool, not {type(salvage).__name__}")


def decoded(
    sources: Any,
    *,
    header_only: bool = False,
    threads: int | None = None,
    errors: str = "column",
    glob: str = "*.kvr",
    salvage: bool = False,
) -> Iterator[Decoded]:
    """Each file of `sources` decoded on the pool, in input order (failures
    skipped with errors="skip", raised with errors="raise"). The arguments are
    checked now, the files decoded as the iterator is read. With `salvage`,
    a damaged file's `Decoded` holds what it still holds (see
    kadenzo.bulk.decode)."""
    _check_arguments(threads, errors, salvage)
    return _decoded(_rule.expand(sources, glob), bool(header_only), threads or 0, errors, salvage)


def _decoded(
    pairs: Iterator[tuple[_rule.Source, Any]], header_only: bool, threads: int, errors: str, salvage: bool
) -> Iterator[Decoded]:
    results = bulk._Results(pairs, header_only, threads, "columns", salvage)
    try:
        for index, (source, value, error) in enumerate(results):
            name = None if source.path is None else _rule.printable(source.path)
            if error is None:
                replay, columns = value
                # A header read has no frames to count.
                yield Decoded(index, name, replay, None if header_only else columns, None, source.path)
                continue
            if errors == "raise":
                raise error
            if errors == "column":
                part = error.salvaged
                yield Decoded(index, name, part.replay if part else None, None, error.message, source.path, part)
    finally:
        results.close()


def schema(*, frames: bool = False, columns: Sequence[str] | None = None) -> Any:
    """The `pyarrow.Schema` of what `read` gives with these arguments."""
    tables = _arrow()
    return tables.project(tables.FRAMES_SCHEMA if frames else tables.SUMMARY_SCHEMA, columns)


class ArrowStream:
    """A table of `read` for consumers without pyarrow (polars, DuckDB,
    nanoarrow): the Arrow PyCapsule interface over the native batches. The
    stream can be taken once; its schema as often as asked."""

    def __init__(self, frames: bool, columns: tuple[str, ...] | None, batches: Iterator[Any]):
        self._frames, self._columns = frames, columns
        self._batches: Iterator[Any] | None = batches

    def __arrow_c_schema__(self) -> Any:
        return _native.dataset_schema(self._frames, self._columns)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """An "arrow_array_stream" capsule. The table comes in its own schema
        whatever `requested_schema` asks: the interface leaves casting to the consumer."""
        if self._batches is None:
            raise ValueError("the stream was taken already: read the sources again")
        batches, self._batches = self._batches, None
        return _native.dataset_stream(self._frames, self._columns, batches)


def _needs_full_decode(header_only: bool, columns: Sequence[str] | None, errors: str) -> bool:
    """Whether the rows need the frames decoded: for a frame count, a seed,
    or to find files whose frames are damaged (reported in `error`, or
    raised, or skipped). A projection without those reads only headers."""
    if header_only:
        return False
    if columns is None or errors != "column":
        return True
    return any(name in columns for name in (*_header_rows.FRAME_DEPENDENT, "error"))


def read(
    sources: Any,
    *,
    frames: bool = False,
    header_only: bool = False,
    columns: Sequence[str] | None = None,
    threads: int | None = None,
    errors: Literal["column", "raise", "skip"] = "column",
    glob: str = "*.kvr",
    salvage: bool = False,
) -> Any:
    """A `pyarrow.RecordBatchReader` over the decoded `sources`, in input
    order (without pyarrow, an `ArrowStream` for other Arrow consumers).

    Without `frames`: one row per replay (`path`, `mode`, the header fields,
    `mods` and `mods_names`, `timestamp` and `played_at`, `replay_id`,
    `frame_count`, `rng_seed`, `error`; see `schema()`). With `frames=True`:
    one row per frame of every file (`file_index`, `path`, `mode`, `time`,
    `time_delta`, `x`, `x_int`, `y`, `keys`, `dashing`, `error`); a column a
    mode lacks is null. `columns` picks (and orders) the columns, and only
    those are built; a summary without `frame_count`, `rng_seed` and `error`
    reads only the headers. `header_only=True` reads only headers (no
    frame count or seed). `errors`: "column" puts a failure's message in
    `error` (other columns null), "raise" raises the first failure in input
    order (a `kadenzo.errors.ReplayError`), "skip" drops its row. With
    `salvage=True`, a damaged file's summary row also holds the fields read
    before the fault (the others null; see `kadenzo.bulk.Salvaged`).

    Bad arguments raise before anything is decoded: ValueError for `errors`,
    `threads` below 1, an unknown column, a `glob` no file name fits or
    `frames=True` with `header_only=True`; TypeError for a source of the
    wrong kind (a list's first item is looked at now, the others as they
    come) or a `threads` that is no `int`."""
    if frames and header_only:
        raise ValueError("frames=True needs the frames decoded: header_only must be False")
    frames = bool(frames)
    picked = _header_rows.checked_columns(_header_rows.FRAME_TABLE_COLUMNS if frames else _header_rows.COLUMNS, columns)
    full = frames or _needs_full_decode(bool(header_only), columns, errors)
    _check_arguments(threads, errors, salvage)
    outcomes = _decoded(_rule.expand(sources, glob), not full, threads or 0, errors, salvage)
    batches = (
        _dataset_batches.frames_batches(outcomes, picked)
        if frames
        else _dataset_batches.summary_batches(outcomes, picked, full)
    )
    try:
        pyarrow = importlib.import_module("pyarrow")
    except ImportError:
        return ArrowStream(frames, picked, batches)
    table_schema = pyarrow.Schema._import_from_c_capsule(_native.dataset_schema(frames, picked))
    return pyarrow.RecordBatchReader.from_batches(
        table_schema,
        (pyarrow.RecordBatch._import_from_c_capsule(table_schema.__arrow_c_schema__(), batch) for batch in batches),
    )


def summary(
    sources: Any,
    *,
    header_only: bool = False,
    columns: Sequence[str] | None = None,
    threads: int | None = None,
    errors: Literal["column", "raise", "skip"] = "column",
    glob: str = "*.kvr",
    salvage: bool = False,
) -> Any:
    """The summary table (one row per replay) as a `pyarrow.RecordBatchReader`:
    `read(sources, frames=False, ...)`, the table `kadenzo summary` writes."""
    return read(
        sources,
        frames=False,
        header_only=header_only,
        columns=columns,
        threads=threads,
        errors=errors,
        glob=glob,
        salvage=salvage,
    )


def summary_rows(files: Iterable[Decoded], *, columns: Sequence[str] | None = None) -> list[tuple[Any, ...]]:
    """The summary table's rows of `files` (what `decoded` yields) as tuples
    of Python values, built as `read` builds its batches, for writers that
    do without pyarrow (CSV): `played_at` is microseconds since the Unix
    epoch, text a `str`, a null `None`."""
    batch = _dataset_batches.Batch(False, _header_rows.checked_columns(_header_rows.COLUMNS, columns))
    for item in files:
        batch.add(item)
    return batch.take_rows()


def write_parquet(
    sources: Any,
    out_dir: Any,
    *,
    frames: bool = True,
    partition_by: Sequence[str] = ("mode",),
    rows_per_file: int = 1 << 22,
    header_only: bool = False,
    threads: int | None = None,
    errors: Literal["column", "raise", "skip"] = "column",
    glob: str = "*.kvr",
    salvage: bool = False,
    progress: Callable[[Decoded], None] | None = None,
) -> list[str]:
    """Writes `out_dir/headers/` (one row per replay) and, with `frames`,
    `out_dir/frames/` (one row per frame) as Parquet datasets partitioned by
    `partition_by` (hive style: `mode=STD/part-00000.parquet`), zstd
    compressed, at most `rows_per_file` rows per file. Returns the paths of
    the files written. The dataset is written in a hidden folder beside
    `out_dir` and renamed to it when complete; an `out_dir` holding anything
    already raises FileExistsError. Interrupted (KeyboardInterrupt), the
    finished part files are moved into place, each valid, and the unfinished
    ones removed; any other failure leaves nothing. `salvage` fills the
    header rows of damaged files as for `read`; `progress`, when given, is
    called with each file's `Decoded` as it is written."""
    from kadenzo import _parquet_dataset

    if frames and header_only:
        raise ValueError("frames=True needs the frames decoded: header_only must be False")
    files = decoded(sources, header_only=header_only, threads=threads, errors=errors, glob=glob, salvage=salvage)
    return _parquet_dataset.write(
        files if progress is None else _reported(files, progress),
        out_dir,
        frames=bool(frames),
        partition_by=partition_by,
        rows_per_file=rows_per_file,
        full_decode=not header_only,
    )


def _reported(files: Iterator[Decoded], progress: Callable[[Decoded], None]) -> Iterator[Decoded]:
    for item in files:
        progress(item)
        yield item


def plain(table: Any) -> Any:
    """`table` (a Table or RecordBatch of these schemas) in types every engine
    takes: dictionary columns as their values, `replay_id` as decimal(20, 0)
    (engines without unsigned 64-bit integers, Spark among them, keep it exact so)."""
    pyarrow = importlib.import_module("pyarrow")
    fields = []
    for field in table.schema:
        kind = field.type
        if pyarrow.types.is_dictionary(kind):
            kind = kind.value_type
        elif pyarrow.types.is_unsigned_integer(kind):
            kind = pyarrow.decimal128(20, 0)
        fields.append(pyarrow.field(field.name, kind))
    return table.cast(pyarrow.schema(fields, metadata=table.schema.metadata))


def decode_batches(
    batches: Any,
    *,
    frames: bool = False,
    header_only: bool = False,
    columns: Sequence[str] | None = None,
    plain_types: bool = False,
) -> Iterator[Any]:
    """The decoded rows of each batch of file contents (a Table or RecordBatch
    with a `bytes` or `content` column, and a `path` or `filename` column for
    the names), as record batches: the function Spark's `mapInArrow` and Ray's
    `map_batches` take. `plain_types=True` gives the types of `plain`."""
    for batch in batches:
        for decoded_batch in read(batch, frames=frames, header_only=header_only, columns=columns):
            yield plain(decoded_batch) if plain_types else decoded_batch
