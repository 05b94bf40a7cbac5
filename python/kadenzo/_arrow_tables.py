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
from typing import Any, Optional

import numpy
import pyarrow  # type: ignore[import-untyped]

from kadenzo import Replay
from kadenzo._header_rows import FRAME_DEPENDENT, MODE_NAMES, RowReader, mode_name
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
    *((name, pyarrow.int16()) for name in ("count_300", "count_100", "count_50", "count_geki", "count_katu",
                                           "count_miss")),
    ("score", pyarrow.int32()),
    ("max_combo", pyarrow.int16()),
    ("perfect", pyarrow.bool_()),
)
SUMMARY_SCHEMA = pyarrow.schema([
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
])
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
FRAMES_SCHEMA = pyarrow.schema([
    ("file_index", pyarrow.int64()),
    ("path", TEXT_KEYS),
    ("mode", MODE_TYPE),
    *((name, kind) for name, kind, _ in FRAME_VALUES),
    ("error", pyarrow.string()),
])

_PANDAS_DTYPES = {
    pyarrow.int8(): "Int8", pyarrow.int16(): "Int16", pyarrow.int32(): "Int32", pyarrow.int64(): "Int64",
    pyarrow.uint64(): "UInt64", pyarrow.bool_(): "boolean",
}
_MODE_DICTIONARY = pyarrow.array(MODE_NAMES, pyarrow.string())
_MODE_CODES = {name: code for code, name in enumerate(MODE_NAMES)}


def with_pandas_metadata(schema: Any) -> Any:
    """`schema` with pandas metadata: integer and boolean columns convert to
    pandas' nullable dtypes, so a null never turns them into float or object."""
    columns = [{"name": field.name, "field_name": field.name, "pandas_type": "object",
                "numpy_type": _PANDAS_DTYPES[field.type], "metadata": None}
               for field in schema if field.type in _PANDAS_DTYPES]
    meta = {"index_columns": [], "column_indexes": [], "columns": columns}
    return schema.with_metadata({b"pandas": json.dumps(meta).encode()})


def project(schema: Any, columns: Optional[Sequence[str]]) -> Any:
    """The fields of `schema` named in `columns` (in that order), or all."""
    if columns is None:
        return with_pandas_metadata(schema)
    if isinstance(columns, str) or not all(isinstance(name, str) for name in columns):
        raise TypeError("columns must be a sequence of column names (str)")
    unknown = [name for name in columns if name not in schema.names]
    if unknown:
        raise ValueError(f"unknown column {unknown[0]!r}; the columns are {', '.join(schema.names)}")
    if len(set(columns)) != len(columns):
        raise ValueError("columns names a column twice")
    return with_pandas_metadata(pyarrow.schema([schema.field(name) for name in columns]))


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

    def add(self, name: Optional[str], replay: Optional[Replay], columns: Optional[FrameColumns],
            error: Optional[str]) -> None:
        row = self._rows.row(name, replay, columns if self._full else None, error)
        for values, value in zip(self._values, row):
            values.append(value)

    def take(self) -> Any:
        arrays = []
        for values, field in zip(self._values, self.schema):
            if field.type == MODE_TYPE:
                codes = pyarrow.array([_MODE_CODES.get(value) for value in values], pyarrow.int8())
                arrays.append(pyarrow.DictionaryArray.from_arrays(codes, _MODE_DICTIONARY))
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

    def __init__(self, index: int, name: Optional[str], mode: int, columns: Optional[FrameColumns],
                 error: Optional[str]):
        self.index, self.name, self.mode, self.columns, self.error = index, name, mode, columns, error
        # A failed file keeps one row, for its error.
        self.rows = len(columns) if columns is not None else 1


def _frame_values(file: _File, name: str, dtype: str) -> Optional[Any]:
    """The values of frame column `name` of one file as a NumPy array (a view
    of the columns' memory where the type allows), or None where it has none."""
    columns = file.columns
    if columns is None:
        return None
    if name == "time":
        return numpy.cumsum(numpy.asarray(columns.time_delta))  # wraps as int64, like any running sum of them
    present = columns.names
    if name == "x_int":
        return numpy.asarray(columns.x) if "x" in present and columns.x.format == "q" else None
    if name not in present:
        return None
    values = numpy.asarray(columns[name])
    return values.astype(dtype) if values.dtype != dtype else values


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

    def add(self, index: int, name: Optional[str], mode: Optional[int], columns: Optional[FrameColumns],
            error: Optional[str]) -> None:
        file = _File(index, name, mode if mode is not None else -1, columns, error)
        self._files.append(file)
        self.rows += file.rows

    def take(self) -> Any:
        files, self._files, self.rows = self._files, [], 0
        lengths = numpy.fromiter((file.rows for file in files), numpy.int64, len(files))
        arrays = [self._column(field, files, lengths) for field in self.schema]
        return pyarrow.RecordBatch.from_arrays(arrays, schema=self.schema)

    def _column(self, field: Any, files: list[_File], lengths: Any) -> Any:
        name = field.name
        if name == "file_index":
            return pyarrow.array(numpy.repeat(numpy.fromiter((f.index for f in files), numpy.int64, len(files)),
                                              lengths))
        if name == "path":
            # Contents given without names have none: null, not a null dictionary entry.
            codes: dict[str, int] = {}
            indices = numpy.fromiter((-1 if f.name is None else codes.setdefault(f.name, len(codes)) for f in files),
                                     numpy.int32, len(files))
            rows = numpy.repeat(indices, lengths)
            mask = rows < 0 if not codes or (indices < 0).any() else None
            dictionary = pyarrow.array(list(codes), pyarrow.string())
            return pyarrow.DictionaryArray.from_arrays(pyarrow.array(numpy.maximum(rows, 0), mask=mask), dictionary)
        if name == "mode":
            modes = numpy.fromiter((f.mode for f in files), numpy.int8, len(files))
            mask = numpy.repeat(modes < 0, lengths)
            indices = pyarrow.array(numpy.repeat(numpy.maximum(modes, 0), lengths), mask=mask)
            return pyarrow.DictionaryArray.from_arrays(indices, _MODE_DICTIONARY)
        if name == "error":
            if all(f.error is None for f in files):
                return pyarrow.nulls(int(lengths.sum()), pyarrow.string())
            return pyarrow.array(numpy.repeat(numpy.array([f.error for f in files], dtype=object), lengths),
                                 pyarrow.string())
        dtype = next(dtype for value_name, _, dtype in FRAME_VALUES if value_name == name)
        parts, nulls, any_null = [], [], False
        for file, rows in zip(files, lengths):
            values = _frame_values(file, name, dtype)
            if values is None:
                any_null = True
                parts.append(numpy.zeros(rows, dtype))
                nulls.append(numpy.ones(rows, bool))
            else:
                parts.append(values)
                nulls.append(numpy.zeros(rows, bool))
        values = numpy.concatenate(parts) if parts else numpy.zeros(0, dtype)
        mask = numpy.concatenate(nulls) if any_null else None
        return pyarrow.array(values, type=field.type, mask=mask)
