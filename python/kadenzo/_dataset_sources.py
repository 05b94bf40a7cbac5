"""What `kadenzo.dataset` reads: paths, folders and glob patterns, or the
contents of files as bytes (a list of them, an Arrow binary array, or a table
of contents and names as Ray, Spark and DuckDB hand them over).

Everything is turned into one `Sources`: the items for the native stream
(paths, or contents when `contents` is true) with the name each row gets in
the `path` column. Paths are taken lazily, so a folder of a million files is
walked only as far as the decoding has come. (File objects and archive
members, which kadenzo.bulk reads, are kadenzo._sources.)
"""

from __future__ import annotations

import fnmatch
import glob as globbing
import itertools
import os
import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from kadenzo import _find

# Names of the columns of a table of contents that hold the bytes and the
# name of each file: Ray's read_binary_files ("bytes", "path"), Spark's
# binaryFile ("content", "path"), DuckDB's read_blob ("content", "filename").
CONTENTS_COLUMNS = ("bytes", "content")
NAME_COLUMNS = ("path", "filename")

BYTES_LIKE = (bytes, bytearray, memoryview)


@dataclass
class Sources:
    """(name, item) pairs in input order; items are paths, or file contents
    when `contents` is true. `count` is their number when known upfront."""

    pairs: Iterator[tuple[str | None, Any]]
    contents: bool
    count: int | None


def printable(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """The path as text that can be written as UTF-8: bytes of a name in a
    foreign encoding become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def find_replays(sources: Iterable[Any], pattern: str = "*.kvr") -> Iterator[Any]:
    """Each source that is a file; the files under each folder (and its
    subfolders) whose name matches `pattern`, sorted within each folder; the
    files a text with glob characters ("replays/**/*.kvr") matches, sorted.
    File names match ignoring case, in folders and glob texts alike ("*.kvr"
    finds "PLAY.KVR"); folder names are taken as the file system has them.
    A source that is none of these is passed on: decoding it reports why."""
    check_pattern(pattern)
    return _found(sources, pattern)


def check_pattern(pattern: object) -> None:
    """TypeError for a glob that is not a str, _find.PatternError (a
    ValueError) for one no file name fits, before any file is looked for."""
    if not isinstance(pattern, str):
        raise TypeError(f"glob must be a str, not {type(pattern).__name__}")
    _find.name_matcher(pattern)


def _found(sources: Iterable[Any], pattern: str) -> Iterator[Any]:
    for source in sources:
        if os.path.isdir(source):
            yield from _walk(source, pattern)
        elif isinstance(source, str) and globbing.has_magic(source) and not os.path.exists(source):
            yield from _glob(source)
        else:
            yield source


def _glob(text: str) -> list[str]:
    """What the glob text matches, sorted, its last part (the file name)
    matched ignoring case as a folder walk matches names."""
    folders, name = os.path.split(text)
    if name in ("", "**"):  # folders, not file names
        return sorted(globbing.iglob(text, recursive=True))
    matches = re.compile(fnmatch.translate(name), re.IGNORECASE).match
    # Every entry where the name may be, then the names kept; "*" skips hidden names as a glob does.
    candidates = globbing.iglob(os.path.join(folders, ".*" if name.startswith(".") else "*"), recursive=True)
    return sorted(path for path in candidates if matches(os.path.basename(path)))


def _walk(folder: Any, pattern: str) -> Iterator[Any]:
    # The command line's walk; a folder that cannot be listed holds no file here.
    for item in _find.walk(os.fsdecode(folder), _find.name_matcher(pattern)):
        if not isinstance(item, _find.FolderError):
            yield item


def _is_arrow(value: Any) -> bool:
    return type(value).__module__.startswith("pyarrow") or hasattr(value, "__arrow_c_stream__")


def _arrow_contents(sources: Any) -> Sources:
    """An Arrow binary array (or chunked array), or a table, record batch or
    stream of them (any object with `__arrow_c_stream__`: a DuckDB result, a
    polars frame) with a contents column and perhaps a name column."""
    pyarrow = __import__("pyarrow")
    if isinstance(sources, (pyarrow.Array, pyarrow.ChunkedArray)):
        return Sources(zip(itertools.repeat(None), _buffers(_binary(sources))), True, len(sources))
    if isinstance(sources, pyarrow.RecordBatch):
        return Sources(_table_pairs([sources]), True, sources.num_rows)
    if isinstance(sources, pyarrow.Table):
        return Sources(_table_pairs(sources.to_batches()), True, sources.num_rows)
    if not isinstance(sources, pyarrow.RecordBatchReader):
        sources = pyarrow.RecordBatchReader.from_stream(sources)
    return Sources(_table_pairs(sources), True, None)


def _binary(array: Any) -> Any:
    pyarrow = __import__("pyarrow")
    kind = array.type
    if not (
        pyarrow.types.is_binary(kind)
        or pyarrow.types.is_large_binary(kind)
        or pyarrow.types.is_fixed_size_binary(kind)
        or pyarrow.types.is_binary_view(kind)
    ):
        raise TypeError(f"file contents must be an Arrow binary array, not one of {kind}")
    return array


def _table_pairs(batches: Iterable[Any]) -> Iterator[tuple[str | None, Any]]:
    for batch in batches:
        found = [name for name in CONTENTS_COLUMNS if name in batch.schema.names]
        if not found:
            raise ValueError(
                f"a table of file contents needs a column named one of {CONTENTS_COLUMNS}, "
                f"not only {batch.schema.names}"
            )
        named = [name for name in NAME_COLUMNS if name in batch.schema.names]
        contents = _binary(batch.column(found[0]))
        names = batch.column(named[0]).to_pylist() if named else itertools.repeat(None)
        yield from zip(names, _buffers(contents))


def _buffers(array: Any) -> Iterator[Any]:
    # A null entry is no file: it decodes as an empty one, and its row says so.
    for scalar in array:
        buffer = scalar.as_buffer()
        yield b"" if buffer is None else buffer


def expand(sources: Any, pattern: str = "*.kvr") -> Sources:
    """The `Sources` of what `kadenzo.dataset.read` was given."""
    check_pattern(pattern)
    if _is_arrow(sources):
        return _arrow_contents(sources)
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    elif isinstance(sources, BYTES_LIKE):
        raise TypeError(
            "give the contents of files as a list of bytes (one item per file), and paths as str or os.PathLike"
        )
    try:
        items = iter(sources)
    except TypeError:
        raise TypeError(
            f"sources must be paths, folders, a list of bytes or an Arrow binary array, not {type(sources).__name__}"
        ) from None
    first = next(items, None)
    if first is None:
        return Sources(iter(()), False, 0)
    rest = _chain(first, items)
    if isinstance(first, BYTES_LIKE):
        return Sources(((None, _contents_item(item)) for item in rest), True, _length(sources))
    if not isinstance(first, (str, os.PathLike)):
        raise TypeError(
            f"a source must be a path (str or os.PathLike) or a file's contents (bytes), not {type(first).__name__}"
        )
    paths = find_replays((_path_item(item) for item in rest), pattern)
    return Sources(((printable(path), path) for path in paths), False, None)


def _chain(first: Any, rest: Iterator[Any]) -> Iterator[Any]:
    yield first
    yield from rest


def _length(sources: Any) -> int | None:
    try:
        return len(sources)
    except TypeError:
        return None


def _contents_item(item: Any) -> Any:
    if not isinstance(item, BYTES_LIKE):
        raise TypeError(f"every source must be a file's contents (bytes) like the first, not {type(item).__name__}")
    return item


def _path_item(item: Any) -> Any:
    if not isinstance(item, (str, os.PathLike)):
        raise TypeError(f"every source must be a path (str or os.PathLike) like the first, not {type(item).__name__}")
    return item
