"""The Arrow tables of `kadenzo.dataset`: their schemas, and record batches
assembled from decoded files (header rows, or frames from the column buffers
without one Python object per frame).

One schema per table, whatever the play modes: a column a mode lacks is null
there. The drum mode's integer `x` is carried twice: as float64 in `x` (beside
the other modes' float positions, exact up to 2**53) and exactly, as int64, in
`x_int` (null for the other modes), so no value is ever rounded away.

Schemas carry pandas metadata naming nullable dtypes ("Int16", "boolean"),
so that `to_pandas()` gives the same dtypes whether or not a value is null.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

import numpy
import pyarrow  # type: ignore[import-untyped]
from kadenzo import Replay
from kadenzo._header_rows import MODE_NAMES, RowReader, checked_columns, mode_name
from kadenzo._native import FrameColumns

# The mode names as one dictionary shared by every batch: pandas sees the
# same categories in every table, whatever modes it holds.
MODE_TYPE = pyarrow.dictionary(pyarrow.int8(), pyarrow.string())
TEXT_KEYS = pyarrow.dictionary(pyarrow.int32(), pyarrow.string())

HEADER_FIELDS = (
    ("game_version", pyarrow.int32()),
    ("beatmap_hash", pyarrow.string()),
    ("username", TEXT_KEYS),
    ("replay_hash", pyarrow.string()),
    *(
        (name, pyarrow.int16())
        for name in ("count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss")
    ),
    ("score", pyarrow.int32()),
    ("max_combo", pyarrow.int16()),
    ("perfect", pyarrow.bool_()),
)
SUMMARY_SCHEMA = pyarrow.schema(
    [
        ("path", TEXT_KEYS),
        ("mode", MODE_TYPE),
        *HEADER_FIELDS,
        ("mods", pyarrow.int64()),
        ("mods_names", pyarrow.string()),
        ("timestamp", pyarrow.int64()),
        ("played_at", pyarrow.timestamp("us", tz="UTC")),
        ("replay_id", pyarrow.uint64()),
        ("frame_count", pyarrow.int64()),
        ("rng_seed", pyarrow.int32()),
        ("error", pyarrow.string()),
    ]
)
# Frame fields: (name, Arrow type, NumPy dtype).
FRAME_VALUES = (
    ("time", pyarrow.int64(), "int64"),
    ("time_delta", pyarrow.int64(), "int64"),
    ("x", pyarrow.float64(), "float64"),
    ("x_int", pyarrow.int64(), "int64"),
    ("y", pyarrow.float64(), "float64"),
    ("keys", pyarrow.int32(), "int32"),
    ("dashing", pyarrow.bool_(), "bool"),
)
FRAMES_SCHEMA = pyarrow.schema(
    [
        ("file_index", pyarrow.int64()),
        ("path", TEXT_KEYS),
        ("mode", MODE_TYPE),
        *((name, kind) for name, kind, _ in FRAME_VALUES),
        ("error", pyarrow.string()),
    ]
)

_PANDAS_DTYPES = {
    pyarrow.int8(): "Int8",
    pyarrow.int16(): "Int16",
    pyarrow.int32(): "Int32",
    pyarrow.int64(): "Int64",
    pyarrow.uint64(): "UInt64",
    pyarrow.bool_(): "boolean",
}
_MODE_DICTIONARY = pyarrow.array(MODE_NAMES, pyarrow.string())
_MODE_CODES = {name: code for code, name in enumerate(MODE_NAMES)}


def with_pandas_metadata(schema: Any) -> Any:
    """`schema` with pandas metadata: integer and boolean columns convert to
    pandas' nullable dtypes, so a null never turns them into float or object."""
    columns = [
        {
            "name": field.name,
            "field_name": field.name,
            "pandas_type": "object",
            "numpy_type": _PANDAS_DTYPES[field.type],
            "metadata": None,
        }
        for field in schema
        if field.type in _PANDAS_DTYPES
    ]
    meta = {"index_columns": [], "column_indexes": [], "columns": columns}
    return schema.with_metadata({b"pandas": json.dumps(meta).encode()})


def project(schema: Any, columns: Sequence[str] | None) -> Any:
    """The fields of `schema` named in `columns` (in that order), or all."""
    picked = checked_columns(schema.names, columns)
    if picked is None:
        return with_pandas_metadata(schema)
    return with_pandas_metadata(pyarrow.schema([schema.field(name) for name in picked]))


def mode_code(mode: Any) -> int:
    return _MODE_CODES[mode_name(mode)]


class SummaryBuilder:
    """Collects header rows and turns them into record batches of `schema`
    (a projection of SUMMARY_SCHEMA). Only the named columns are read from
    each replay; `full_decode` false means the files were read header-only."""

    def __init__(self, schema: Any, full_decode: bool):
        self.schema = schema
        self._full = full_decode
        self._rows = RowReader(schema.names)
        self._values: list[list[Any]] = [[] for _ in schema]

    def __len__(self) -> int:
        return len(self._values[0]) if self._values else 0

    def add(self, name: str | None, replay: Replay | None, columns: FrameColumns | None, error: str | None) -> None:
        row = self._rows.row(name, replay, columns if self._full else None, error)
        for values, value in zip(self._values, row):
            values.append(value)

    def take(self) -> Any:
        arrays = []
        for values, field in zip(self._values, self.schema):
            if field.type == MODE_TYPE:
                codes = pyarrow.array([_MODE_CODES.get(value) for value in values], pyarrow.int8())
                arrays.append(pyarrow.DictionaryArray.from_arrays(codes, _MODE_DICTIONARY, safe=False))
            elif field.type == TEXT_KEYS:
                arrays.append(pyarrow.array(values, pyarrow.string()).dictionary_encode())
            elif field.name == "played_at":
                arrays.append(pyarrow.array(values, pyarrow.int64()).cast(field.type))
            else:
                arrays.append(pyarrow.array(values, field.type))
        self._values = [[] for _ in self.schema]
        return pyarrow.RecordBatch.from_arrays(arrays, schema=self.schema)


# --- frames -------------------------------------------------------------------------


class _File:
    __slots__ = ("index", "name", "mode", "columns", "error", "rows")

    def __init__(self, index: int, name: str | None, mode: int, columns: FrameColumns | None, error: str | None):
        self.index, self.name, self.mode, self.columns, self.error = index, name, mode, columns, error
        # A failed file keeps one row, for its error.
        self.rows = len(columns) if columns is not None else 1


def _fill(out: Any, file: _File, name: str) -> bool:
    """Writes the values of frame column `name` of one file into `out` (its
    rows of the batch), straight from the columns' memory; False where the
    file has no such column (its rows are then null)."""
    columns = file.columns
    if columns is None:
        return False
    present = columns.names
    if name == "time":
        # The columns' own clock; a play whose time leaves 64 bits has none (null).
        try:
            out[...] = numpy.asarray(columns.time)
        except OverflowError:
            return False
        return True
    if name == "x_int":
        if "x" not in present or columns.x.format != "q":
            return False
        name = "x"
    elif name not in present:
        return False
    out[...] = numpy.asarray(columns[name])  # the drum mode's int64 x converts to float64 here
    return True


def _array(kind: Any, values: Any, valid: Any | None) -> Any:
    """An Arrow array over NumPy memory (no copy): `values` of `kind`, null
    where `valid` is false (no validity bitmap when `valid` is None)."""
    length = len(values)
    if kind == pyarrow.bool_():
        values = numpy.packbits(values, bitorder="little")
    bitmap = None if valid is None else pyarrow.py_buffer(numpy.packbits(valid, bitorder="little"))
    nulls = 0 if valid is None else length - int(numpy.count_nonzero(valid))
    return pyarrow.Array.from_buffers(kind, length, [bitmap, pyarrow.py_buffer(values)], null_count=nulls)


def _shared_columns(file: _File) -> dict[str, Any]:
    """The frame columns of one file as Arrow arrays over the columns' own
    memory (through their Arrow export), each of the table's type; all-null
    arrays for the columns its mode lacks."""
    if file.columns is None:
        return {}
    exported = pyarrow.record_batch(file.columns)
    arrays = {name: exported.column(name) for name in exported.schema.names}
    if "x" in arrays and arrays["x"].type == pyarrow.int64():  # the drum mode: exact in x_int
        arrays["x_int"] = arrays["x"]
        arrays["x"] = arrays["x"].cast(pyarrow.float64(), safe=False)  # to the nearest float, as NumPy does
    return {
        name: arrays[name] if name in arrays else _nulls(kind, file.rows)
        for name, kind, _ in FRAME_VALUES
        if name != "time"
    }


_zero_bytes = numpy.zeros(0, numpy.uint8)


def _nulls(kind: Any, length: int) -> Any:
    """An all-null array of `kind` whose bitmap and values are one shared
    buffer of zero bytes: nothing is written per array (a fresh
    `pyarrow.nulls` fills its buffers anew)."""
    global _zero_bytes
    needed = length * 8 + 64
    if len(_zero_bytes) < needed:
        _zero_bytes = numpy.zeros(max(needed, 2 * len(_zero_bytes)), numpy.uint8)  # fresh pages, never written
    zeros = pyarrow.py_buffer(_zero_bytes)
    return pyarrow.Array.from_buffers(kind, length, [zeros, zeros], null_count=length)


def _per_file(dtype: Any, values: list[int], lengths: Any) -> Any:
    """One value per file, repeated over the file's rows."""
    out = numpy.empty(int(lengths.sum()), dtype)
    start = 0
    for value, rows in zip(values, lengths.tolist()):
        out[start : start + rows] = value
        start += rows
    return out


def _dictionary_array(index_type: Any, indices: Any, dictionary: Any) -> Any:
    """A dictionary array over NumPy indices (no copy); a negative index is null."""
    valid = indices >= 0
    if valid.all():
        indices_array = _array(index_type, indices, None)
    else:
        indices_array = _array(index_type, numpy.maximum(indices, 0), valid)
    # Made here within the dictionary's range: no pass to check them.
    return pyarrow.DictionaryArray.from_arrays(indices_array, dictionary, safe=False)


class FramesBuilder:
    """Collects decoded files and turns them into record batches of `schema`
    (a projection of FRAMES_SCHEMA): each column one NumPy concatenation of
    the files' column buffers, then one Arrow array."""

    def __init__(self, schema: Any):
        self.schema = schema
        self._files: list[_File] = []
        self.rows = 0

    def __len__(self) -> int:
        return len(self._files)

    def add(
        self,
        index: int,
        name: str | None,
        mode: int | None,
        columns: FrameColumns | None,
        error: str | None,
    ) -> None:
        file = _File(index, name, mode if mode is not None else -1, columns, error)
        self._files.append(file)
        self.rows += file.rows

    def take(self) -> Any:
        files, self._files, self.rows = self._files, [], 0
        lengths = numpy.fromiter((file.rows for file in files), numpy.int64, len(files))
        # A batch of one decoded file shares the columns' memory (no copy).
        shared = _shared_columns(files[0]) if len(files) == 1 else {}
        arrays = [
            shared[field.name] if field.name in shared else self._column(field, files, lengths) for field in self.schema
        ]
        return pyarrow.RecordBatch.from_arrays(arrays, schema=self.schema)

    def _column(self, field: Any, files: list[_File], lengths: Any) -> Any:
        name = field.name
        if name == "file_index":
            return _array(field.type, _per_file(numpy.int64, [f.index for f in files], lengths), None)
        if name == "path":
            # Contents given without names have none: null, not a null dictionary entry.
            codes: dict[str, int] = {}
            indices = [-1 if f.name is None else codes.setdefault(f.name, len(codes)) for f in files]
            dictionary = pyarrow.array(list(codes), pyarrow.string())
            return _dictionary_array(pyarrow.int32(), _per_file(numpy.int32, indices, lengths), dictionary)
        if name == "mode":
            return _dictionary_array(
                pyarrow.int8(), _per_file(numpy.int8, [f.mode for f in files], lengths), _MODE_DICTIONARY
            )
        if name == "error":
            if all(f.error is None for f in files):
                return pyarrow.nulls(int(lengths.sum()), pyarrow.string())
            return pyarrow.array(
                numpy.repeat(numpy.array([f.error for f in files], dtype=object), lengths), pyarrow.string()
            )
        # One pass: each file's values written into their rows of one array.
        # Rows of a file without the column are left unwritten: they are null,
        # and Arrow does not read the values under a null.
        dtype = next(dtype for value_name, _, dtype in FRAME_VALUES if value_name == name)
        values = numpy.empty(int(lengths.sum()), dtype)
        valid: Any | None = None
        start = 0
        for file, rows in zip(files, lengths.tolist()):
            if not _fill(values[start : start + rows], file, name):
                if valid is None:
                    valid = numpy.ones(len(values), bool)
                valid[start : start + rows] = False
            start += rows
        return _array(field.type, values, valid)
