"""The Arrow schemas of `kadenzo.dataset`'s tables, as pyarrow types (the
native part that assembles their record batches, src/dataset, declares the
same fields; the header's come from it, and a test checks that the rest agree).

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

import pyarrow  # type: ignore[import-untyped]
from kadenzo import _native
from kadenzo._header_rows import checked_columns

# The mode names as one dictionary shared by every batch: pandas sees the
# same categories in every table, whatever modes it holds.
MODE_TYPE = pyarrow.dictionary(pyarrow.int8(), pyarrow.string())
TEXT_KEYS = pyarrow.dictionary(pyarrow.int32(), pyarrow.string())

_NAMED_TYPES = {str(kind): kind for kind in (MODE_TYPE, TEXT_KEYS)}


def _arrow_type(name: str) -> Any:
    return _NAMED_TYPES.get(name) or pyarrow.type_for_alias(name)


# The header's stored fields between the mode and the modifiers, in file
# order, with their columns' Arrow types: both from the native tables.
_NAMES = [name for name, _, _ in _native.replay_fields]
HEADER_FIELDS = tuple(
    (name, _arrow_type(column))
    for name, _, column in _native.replay_fields[_NAMES.index("mode") + 1 : _NAMES.index("mods")]
    if column is not None
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
