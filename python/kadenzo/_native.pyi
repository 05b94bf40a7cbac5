"""Type information for kadenzo._native, the native part of kadenzo's Python
modules (kadenzo.columns, kadenzo.bulk)."""

from collections.abc import Iterable, Sequence
from typing import Any, Literal, Self, final, overload

from kadenzo import GameMode, Mod, Replay

# --- frame columns -------------------------------------------------------------

@final
class FrameColumns:
    """The frames of one play as columns, one typed read-only buffer per field
    of the mode's frame record (`time_delta`, `x`, `y`, `keys`, `dashing`: see
    `names`), read as attributes or by name (`columns["x"]`). Immutable; made
    by kadenzo.columns.frames (and kadenzo.frames.decode_block).

    Each field is a read-only `memoryview` of `len(columns)` values. A field
    of another mode raises AttributeError (KeyError by name). The columns
    export a struct array through the Arrow PyCapsule interface
    (`__arrow_c_schema__`, `__arrow_c_array__`, `__arrow_c_stream__`):
    non-nullable `int64`, `double`, `int32` and `bool` children, with the
    metadata `kadenzo.mode` and, when there is a seed, `kadenzo.rng_seed`,
    pointing into the columns' memory, which the exported data keeps alive
    until the consumer releases it. They pickle as their values."""

    @property
    def mode(self) -> GameMode:
        """The play mode of the frames."""
    @property
    def rng_seed(self) -> int | None:
        """The play's random seed, or None."""
    @property
    def names(self) -> tuple[str, ...]:
        """The field names in record order (`time` is not among them)."""
    @property
    def time(self) -> memoryview:
        """The play's clock (format `q`): the running sum of `time_delta` in
        frame order, exact signed 64-bit integers; readable by attribute and by
        name but not one of `names`. OverflowError names the frame where the
        sum would leave 64 bits."""
    @property
    def time_delta(self) -> memoryview:
        """Milliseconds since the previous frame (format `q`, 64-bit integers)."""
    @property
    def x(self) -> memoryview:
        """The position's x (format `d`, float64; `q`, int64, in the drum mode)."""
    @property
    def y(self) -> memoryview:
        """The cursor's y (format `d`; the standard mode only)."""
    @property
    def keys(self) -> memoryview:
        """The key sets as their signed 32-bit patterns (format `i`;
        `int(frame.keys)` of a frame object)."""
    @property
    def dashing(self) -> memoryview:
        """Whether the catcher dashes (format `?`; the catch mode only)."""
    def __getitem__(self, name: str, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    # NumPy and pandas are optional: their types are not named here.
    @overload
    def to_numpy(self, *, structured: Literal[False] = False) -> dict[str, Any]:
        """A dict of read-only NumPy arrays over the columns' memory (no copy),
        or with `structured=True` one structured array (a copy)."""
    @overload
    def to_numpy(self, *, structured: Literal[True]) -> Any: ...
    def to_pandas(self) -> Any:
        """The columns as a pandas DataFrame."""
    def with_time(self) -> FrameColumns:
        """The same columns, sharing the same memory, with `time` first among
        `names` and the Arrow children."""
    def __reduce__(self) -> tuple[Any, tuple[int, int | None, int, tuple[bytes, ...]]]: ...

@final
class KeyPresses:
    """The key presses of one play, one row per press: `key`, `press_time`,
    `release_time`, `duration`, `frame`, `held_to_end`. Immutable; made by
    kadenzo.columns.key_presses.

    One read-only `memoryview` per column, readable by name too; `len()`,
    `to_numpy()`, `to_pandas()` and the Arrow interface as `FrameColumns`
    has them. The Arrow schema's `kadenzo.keys` metadata maps key names to
    bits."""

    @property
    def mode(self) -> GameMode: ...
    @property
    def names(self) -> tuple[str, ...]: ...
    @property
    def key_bits(self) -> str:
        """The mode's keys and their bits, as "M1=1,M2=2,K1=4,K2=8,SMOKE=16"."""
    @property
    def key(self) -> memoryview: ...
    @property
    def press_time(self) -> memoryview: ...
    @property
    def release_time(self) -> memoryview: ...
    @property
    def duration(self) -> memoryview: ...
    @property
    def frame(self) -> memoryview: ...
    @property
    def held_to_end(self) -> memoryview: ...
    def key_names(self) -> list[str]:
        """Each row's key by its member name ("bit 7" for a bit that names no member)."""
    def __getitem__(self, name: str, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    @overload
    def to_numpy(self, *, structured: Literal[False] = False) -> dict[str, Any]: ...
    @overload
    def to_numpy(self, *, structured: Literal[True]) -> Any: ...
    def to_pandas(self) -> Any: ...

def frame_columns(replay: Replay) -> FrameColumns: ...
def frame_count(replay: Replay) -> int | None:
    """The number of frames of the replay's mode, without building them, or
    None after a header-only decode."""

def key_presses(columns: FrameColumns) -> KeyPresses: ...

# What FrameColumns.__reduce__ gives back as columns (ValueError for values that do not fit).
def _frame_columns_from_values(
    mode: int, rng_seed: int | None, length: int, values: tuple[bytes, ...]
) -> FrameColumns: ...

# --- Mod values as 32-bit numbers, bit 31 included (for pickling) --------------

def mod_bits(mods: Mod) -> int: ...
def mod_from_bits(bits: int) -> Mod: ...

# --- the file layout -------------------------------------------------------------

# (name, kind, width) of each field of a replay file, in file order; width is
# 0 when the field's size depends on its contents.
layout_fields: tuple[tuple[str, str, int], ...]
# (name, Python type, Arrow type of its summary column or None) of each field
# of Replay, in the record's order; the types as the stub and pyarrow write them.
replay_fields: tuple[tuple[str, str, str | None], ...]
# The smallest file the layout allows: every field zero or absent.
smallest_file: bytes

# --- bulk decoding (private to kadenzo.bulk, which types its results) ---------

class _PathStream:
    @property
    def window(self) -> int: ...
    @property
    def threads(self) -> int: ...
    def __iter__(self) -> Self: ...
    # (path, value, None) or (path, None, (kind, errno, message, detail)).
    def __next__(self) -> tuple[Any, Any, tuple[str, int, str, str] | None]: ...
    def close(self) -> None: ...

@final
class ReplayStream(_PathStream): ...

@final
class ColumnsStream(_PathStream): ...

# With contents=True the items are (label, bytes-like or path) pairs and each result's path is the label.
def replay_stream(paths: Any, header_only: bool, threads: int, window: int, contents: bool = ...) -> ReplayStream: ...
def columns_stream(paths: Any, header_only: bool, threads: int, window: int, contents: bool = ...) -> ColumnsStream: ...
def decode_one(source: Any, header_only: bool) -> tuple[Any, tuple[str, int, str, str] | None]: ...

# --- the dataset tables (private to kadenzo.dataset) ------------------------------
# Capsules of the Arrow PyCapsule interface: "arrow_schema", "arrow_array"
# (a struct array), "arrow_array_stream". `columns` None is every column.
# An entry is (index, name, Replay | None, FrameColumns | None, error, mods_names).
def dataset_schema(frames: bool, columns: tuple[str, ...] | None) -> Any: ...
def dataset_batch(frames: bool, columns: tuple[str, ...] | None, entries: Sequence[tuple[Any, ...]]) -> Any: ...
def dataset_rows(
    frames: bool, columns: tuple[str, ...] | None, entries: Sequence[tuple[Any, ...]]
) -> list[tuple[Any, ...]]: ...
def dataset_stream(frames: bool, columns: tuple[str, ...] | None, batches: Iterable[Any]) -> Any: ...

# (partial replay, bit mask of the layout rows read, frames_partial), or None when the file cannot be read.
def salvage(source: Any, header_only: bool) -> tuple[Any, int, bool] | None: ...

# --- play comparison (private to kadenzo.compare) -------------------------------

@final
class DistanceMatrix: ...

def similarity(a: FrameColumns, b: FrameColumns, mirror_y: float | None) -> float: ...
def pair_matrix(
    plays: list[FrameColumns],
    grid_ms: float | None,
    mirror_y: float | None,
    top: int | None,
    threads: int,
    progress: Any,
) -> Any: ...

# --- frame blocks alone (private to kadenzo.frames) -----------------------------

# ((ReplayDataContainer, seed) or FrameColumns, None) or (None, (kind, errno, message, detail)).
def decode_block(
    block: Any, mode: int, base64: bool, columns: bool
) -> tuple[Any, tuple[str, int, str, str] | None]: ...

# --- writing (private to kadenzo.encode, which documents them) -----------------

def encode_replay(replay: Replay, frames: Any = None) -> bytes: ...
def encode_frame_text(frames: Any, mode: GameMode, rng_seed: int | None = None) -> bytes: ...
def encode_frame_block(frames: Any, mode: GameMode, rng_seed: int | None = None) -> bytes: ...
