"""What kadenzo reads: the one rule by which every entry point (kadenzo.bulk,
kadenzo.dataset, kadenzo.dask, kadenzo.columns, kadenzo.compare) and every
command of the `kadenzo` line turns the sources it is given into files.

A source is any of these, alone or mixed in a list:

- a path (`str` or `os.PathLike`): a file; a folder, searched with its
  subfolders for the files whose names match `glob` ("*.kvr", case
  ignored); a glob pattern ("replays/**/*.kvr"); a zip or tar archive
  (`ARCHIVE_SUFFIXES`), whose members matching `glob` are read one at a
  time; or one member of an archive, "plays.zip::week1/std.kvr";
- the contents of a file: `bytes`, `bytearray`, `memoryview`, `mmap`;
- a binary file object (with `readinto` or `read`), read to its end;
- an Arrow binary array, or a table, record batch or stream of them (any
  object with `__arrow_c_stream__`) with a contents column ("bytes" or
  "content") and perhaps a name column ("path" or "filename").

`expand` gives each file as a `Source` (the name its result carries, or the
error that stands in its place: a folder that cannot be listed, a damaged
archive or member) and what to decode: a path, which the native reader opens
(it refuses anything but a regular file), or the file's contents. Everything
is taken lazily, when the decoding asks for the next file, so memory grows
with the files in flight, never with the number seen: a folder's names are
held only while it is walked, an archive's directory is read piece by piece.
No file, archive member or file object is held past its cap, `MAX_FILE_BYTES`.
"""

from __future__ import annotations

import errno
import fnmatch
import glob as globbing
import os
import re
import stat
from collections.abc import Iterable, Iterator
from typing import Any

from kadenzo._files import MAX_FILE_BYTES, MEMBER_SEPARATOR, Source, read_file_object
from kadenzo.errors import ReplayError, ReplayFileError

__all__ = [
    "ARCHIVE_SUFFIXES",
    "MEMBER_SEPARATOR",
    "MAX_FILE_BYTES",
    "Source",
    "check_glob",
    "count",
    "expand",
    "files",
    "is_archive",
    "printable",
]

# A pattern is matched against one file name, and no file name is longer. It
# also bounds the work of the standard library's translation, which grows
# faster than the pattern's length for runs of "[".
MAX_PATTERN_LENGTH = 255
ARCHIVE_SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz", ".txz", ".tar.zst", ".tzst")
# The columns of a table of contents that hold each file's bytes and name:
# ("bytes", "path") as Ray reads binary files, ("content", "path") as Spark
# does, ("content", "filename") as DuckDB's read_blob.
CONTENTS_COLUMNS = ("bytes", "content")
NAME_COLUMNS = ("path", "filename")


def printable(path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> str:
    """The path as text that can be written as UTF-8: bytes of a name in a
    foreign encoding become U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def check_glob(pattern: object) -> re.Pattern[str]:
    """The matcher of file names for `pattern` ("*.kvr"), case ignored.
    TypeError for a pattern that is not a str; ValueError for one no file
    name fits (empty, longer than MAX_PATTERN_LENGTH, or holding "/" or NUL)."""
    if not isinstance(pattern, str):
        raise TypeError(f"glob must be a str, not {type(pattern).__name__}")
    if not pattern or len(pattern) > MAX_PATTERN_LENGTH or "/" in pattern or "\0" in pattern:
        raise ValueError(
            f"glob must be one file-name pattern of 1 to {MAX_PATTERN_LENGTH} characters "
            "without '/' (for example '*.kvr')"
        )
    return _name_pattern(pattern)


def _name_pattern(pattern: str) -> re.Pattern[str]:
    # Made once per pattern; bounded, whatever patterns callers give.
    found = _PATTERNS.get(pattern)
    if found is None:
        if len(_PATTERNS) >= 64:
            _PATTERNS.clear()
        found = _PATTERNS[pattern] = re.compile(fnmatch.translate(pattern), re.IGNORECASE | re.DOTALL)
    return found


_PATTERNS: dict[str, re.Pattern[str]] = {}


def is_archive(path: Any) -> bool:
    """A regular file named as a zip or tar archive: its members are the files."""
    if not isinstance(path, (str, os.PathLike)):
        return False
    name = os.fsdecode(path)
    return name.lower().endswith(ARCHIVE_SUFFIXES) and os.path.isfile(name)


def expand(
    sources: Any, glob: str = "*.kvr", *, read: bool = True, unmatched: list[Any] | None = None
) -> Iterator[tuple[Source, Any]]:
    """(source, data) for every file `sources` holds, in order: `data` is a
    path for the native reader to open, the file's contents (bytes-like), or
    None where `source.error` says why there is nothing.

    With `read=False` the files are named, not read: a path's data is the
    path, an archive's members are listed with no data (a zip archive's from
    its directory, a tar archive's by reading its stream through), a file
    object is named by its `name` (data: the object, unread), an Arrow table
    given as itself. Folders and glob patterns that hold no
    matching file are appended to `unmatched`. The glob is checked now
    (TypeError, ValueError); a source of no known kind raises TypeError when
    the iterator comes to it."""
    matcher = check_glob(glob)
    if isinstance(sources, (list, tuple)) and sources and not _is_known(sources[0]):
        raise _unknown(sources[0])  # a list of something else fails now, not at its first file
    return _expand(sources, matcher, _READ if read else _NAME, unmatched)


def _is_known(item: Any) -> bool:
    return isinstance(item, (str, os.PathLike)) or _is_contents(item) or _is_file(item) or _is_arrow(item)


# How _expand takes the files: read them, name them, or name them without
# opening the archives (named as themselves, data their path).
_READ, _NAME, _LOOK = "read", "name", "look"


def files(sources: Any, glob: str = "*.kvr", *, unmatched: list[Any] | None = None) -> Iterator[Source]:
    """A first look: the files of `sources` named without opening any, an
    archive (or an Arrow table) named as itself, not as its members; a
    folder that cannot be listed as its error. Folders and patterns that
    hold no matching file are appended to `unmatched`."""
    matcher = check_glob(glob)
    for source, data in _expand(sources, matcher, _LOOK, unmatched):
        if source.path is None and _is_arrow(data):
            source.path = data
        yield source


def count(sources: Any, glob: str = "*.kvr") -> int | None:
    """The number of files `expand` gives, found without reading any; None
    when that needs reading (an archive, an Arrow table, or an iterator,
    which counting would use up)."""
    check_glob(glob)
    if not _is_single(sources) and iter(sources) is sources:
        return None
    found = 0
    for source in files(sources, glob):
        if source.error is None and (is_archive(source.path) or _is_arrow(source.path)):
            return None
        found += 1
    return found


# --- the kinds of source -----------------------------------------------------------


def _is_single(value: Any) -> bool:
    return isinstance(value, (str, os.PathLike)) or _is_contents(value) or _is_file(value) or _is_arrow(value)


def _is_contents(value: Any) -> bool:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return True
    return not isinstance(value, (str, os.PathLike)) and _exports_buffer(value)


def _exports_buffer(value: Any) -> bool:
    """An mmap, an array, a pyarrow Buffer: anything that shares its bytes."""
    try:
        memoryview(value).release()
    except TypeError:
        return False
    return True


def _is_file(value: Any) -> bool:
    """Anything with `readinto` or `read` that does not export its bytes itself."""
    if isinstance(value, (str, bytes, bytearray, memoryview, os.PathLike)):
        return False
    if not (callable(getattr(value, "readinto", None)) or callable(getattr(value, "read", None))):
        return False
    return not _exports_buffer(value)  # an mmap reads too, but its contents are the whole file


def _is_arrow(value: Any) -> bool:
    return (type(value).__module__.startswith("pyarrow") and not _exports_buffer(value)) or hasattr(
        value, "__arrow_c_stream__"
    )


def _expand(
    sources: Any, matcher: re.Pattern[str], how: str, unmatched: list[Any] | None
) -> Iterator[tuple[Source, Any]]:
    if _is_single(sources):
        sources = [sources]
    try:
        items = iter(sources)
    except TypeError:
        raise TypeError(f"sources must be a source or an iterable of them, not {type(sources).__name__}") from None
    ahead: list[Any] = []  # an item read past a run of one archive's members
    while (item := ahead.pop() if ahead else next(items, _END)) is not _END:
        if isinstance(item, (str, os.PathLike)):
            name = item if isinstance(item, str) else os.fsdecode(item)
            member = _member_of(name) if MEMBER_SEPARATOR in name else None
            if member is None:
                try:
                    mode: int | None = os.stat(name).st_mode
                except (OSError, ValueError):
                    mode = None
                if mode is not None and stat.S_ISREG(mode) and (how == _LOOK or not _archive_name(name)):
                    yield Source(item), item  # the common case, a file, taken without more ado
                else:
                    yield from _path(item, name, mode, matcher, how, unmatched)
                continue
            # Members named one after another in the same archive: one pass over it.
            wanted = [member[1]]
            while (following := next(items, _END)) is not _END:
                other = _member_of(following)
                if other is None or other[0] != member[0]:
                    ahead.append(following)
                    break
                wanted.append(other[1])
            yield from _named_members(member[0], wanted, how)
        elif _is_contents(item):
            yield Source(None), item
        elif _is_file(item):
            yield _file_object(item, how == _READ)
        elif _is_arrow(item):
            if how == _READ:
                yield from _arrow_rows(item)
            else:
                yield Source(None), item
        else:
            raise _unknown(item)


_END = object()


def _unknown(item: Any) -> TypeError:
    return TypeError(
        "a source must be a path, a folder, a glob pattern, an archive, a file's contents (bytes), "
        f"a binary file object or an Arrow table, not {type(item).__name__}"
    )


def _archive_name(name: str) -> bool:
    return name.lower().endswith(ARCHIVE_SUFFIXES)


def _path(
    item: Any, name: str, mode: int | None, matcher: re.Pattern[str], how: str, unmatched: list[Any] | None
) -> Iterator[Any]:
    """A path given that is not a plain file (`mode`: what stat said, None
    when it failed): a folder's files, a pattern's matches, an archive's
    members, or the path itself (missing, or no regular file: the reader
    says why)."""
    if mode is not None and stat.S_ISDIR(mode):
        found = False
        for path in _walk(name, matcher):
            found = True
            if isinstance(path, Source):  # a folder that could not be listed
                yield path, None
            else:
                yield from _file(path, _below(path, name), matcher, how)
        if not found and unmatched is not None:
            unmatched.append(item)
    elif mode is None and globbing.has_magic(name) and not os.path.lexists(name):
        base = _fixed_part(name)
        found = False
        for path in _glob(name):
            found = True
            yield from _file(path, _below(path, base) if base else path, matcher, how)
        if not found and unmatched is not None:
            unmatched.append(item)
    elif how != _LOOK and mode is not None and stat.S_ISREG(mode):
        from kadenzo import _archives

        yield from _archives.members(name, matcher, read=how == _READ)
    else:
        yield Source(item), item


def _below(path: str, folder: str) -> str:
    """`path`, found under `folder`, relative to it."""
    if path.startswith(folder):
        rest = path[len(folder) :]
        if folder.endswith(os.sep) or rest.startswith(os.sep):
            return rest.lstrip(os.sep)
    return os.path.relpath(path, folder)


def _file(path: str, relative: str, matcher: re.Pattern[str], how: str) -> Iterator[Any]:
    """A file found in a folder or by a pattern: an archive's members, or the path to decode."""
    if how != _LOOK and is_archive(path):
        from kadenzo import _archives

        yield from _archives.members(path, matcher, read=how == _READ)
    else:
        yield Source(path, None, relative), path


def _member_of(item: Any) -> tuple[str, str] | None:
    """(archive, member) of a name "archive.zip::member" whose archive exists
    (and which is not itself the name of a file)."""
    if not isinstance(item, (str, os.PathLike)):
        return None
    name = os.fsdecode(item)
    at = name.find(MEMBER_SEPARATOR)
    if at < 0 or os.path.lexists(name):
        return None
    while at > 0:
        if is_archive(name[:at]):
            return name[:at], name[at + len(MEMBER_SEPARATOR) :]
        at = name.find(MEMBER_SEPARATOR, at + 1)
    return None


def _named_members(archive: str, wanted: list[str], how: str) -> Iterator[Any]:
    if how != _READ:
        for member in wanted:
            yield Source(f"{archive}{MEMBER_SEPARATOR}{member}", None, member), None
        return
    from kadenzo import _archives

    yield from _archives.named_members(archive, wanted)


# --- folders and patterns ------------------------------------------------------------


def _walk(folder: str, matcher: re.Pattern[str]) -> Iterator[str | Source]:
    """The files under `folder` whose names match, each folder's files sorted
    before its subfolders (also sorted), at any depth (the walk keeps its own
    list of folders, and holds none open while it goes deeper). A folder that
    cannot be listed is a Source with its error. Links to folders are not
    followed, so a link loop cannot trap the walk; links to files are files."""
    waiting = [folder]
    while waiting:
        current = waiting.pop()
        files: list[str] = []
        folders: list[str] = []
        try:
            with os.scandir(current) as entries:
                for entry in entries:
                    try:
                        if entry.is_dir(follow_symlinks=False):
                            folders.append(entry.name)
                        elif matcher.match(entry.name) and entry.is_file():
                            files.append(entry.name)
                    except OSError:  # gone since it was listed
                        continue
        except OSError as error:
            yield Source(current, _folder_error(current, error), None)
            continue
        files.sort()
        for name in files:
            yield os.path.join(current, name)
        folders.sort(reverse=True)
        waiting.extend(os.path.join(current, name) for name in folders)


def _folder_error(folder: str, error: OSError) -> ReplayFileError:
    code = error.errno or errno.EIO
    reason = error.strerror or str(error)
    return ReplayFileError(code, reason, folder, f"cannot read the folder: {reason}", str(error))


def _fixed_part(pattern: str) -> str:
    """The folders of a glob pattern before its first wildcard."""
    parts = pattern.split(os.sep)
    fixed = []
    for part in parts[:-1]:
        if globbing.has_magic(part):
            break
        fixed.append(part)
    return os.sep.join(fixed) if fixed != [""] else os.sep


def _glob(pattern: str) -> Iterator[str]:
    """The files a glob pattern names, in the order of a folder walk: each
    folder's matches sorted, its files before its subfolders. The file name
    matches ignoring case, as in folders; the folders' names as they are.
    "**" stands for any number of folders (links to folders not followed);
    a wildcard does not match a hidden name unless it starts with ".". Only
    the folders on the way are listed, one at a time, so memory does not grow
    with the matches."""
    parts = [part for part in pattern.split(os.sep) if part]
    # (folder or file reached, index of the next part), taken from the end;
    # "" is the current folder, so that relative patterns give relative paths.
    waiting: list[tuple[str, int]] = [(os.sep if pattern.startswith(os.sep) else "", 0)]
    while waiting:
        path, at = waiting.pop()
        if at == len(parts):
            if os.path.isfile(path):
                yield path
            continue
        part = parts[at]
        if not globbing.has_magic(part):
            following = os.path.join(path, part)
            if at + 1 == len(parts) or os.path.isdir(following):
                waiting.append((following, at + 1))
            continue
        if part == "**":
            below = _listed(path, lambda name, entry: not name.startswith(".") and entry.is_dir(follow_symlinks=False))
            waiting.extend((os.path.join(path, name), at) for name in reversed(below))
            waiting.append((path, at + 1))  # no folder at all: taken first
            continue
        last = at + 1 == len(parts)
        matches = _name_pattern(part).match if last else re.compile(fnmatch.translate(part), re.DOTALL).match
        hidden = part.startswith(".")

        def wanted(
            name: str, entry: os.DirEntry[str], matches: Any = matches, last: bool = last, hidden: bool = hidden
        ) -> bool:
            if (name.startswith(".") and not hidden) or not matches(name):
                return False
            return entry.is_file() if last else entry.is_dir()

        waiting.extend((os.path.join(path, name), at + 1) for name in reversed(_listed(path, wanted)))


def _listed(folder: str, keep: Any) -> list[str]:
    """The sorted names of the entries of `folder` that `keep` takes; none
    when it cannot be listed (a pattern names what it can reach)."""
    names = []
    try:
        with os.scandir(folder or os.curdir) as entries:
            for entry in entries:
                try:
                    if keep(entry.name, entry):
                        names.append(entry.name)
                except OSError:
                    continue
    except OSError:
        return []
    names.sort()
    return names


# --- file objects ----------------------------------------------------------------


def _file_object(file: Any, read: bool) -> tuple[Source, Any]:
    name = getattr(file, "name", None)
    name = name if isinstance(name, str) else None
    source = Source(name, None, os.path.basename(name) if name is not None else None)
    if not read:
        return source, file
    try:
        return source, read_file_object(file)
    except ReplayError as error:
        source.error = error
        return source, None


# --- Arrow tables of contents ------------------------------------------------------


def _arrow_rows(value: Any) -> Iterator[tuple[Source, Any]]:
    """An Arrow binary array (or chunked array), or a table, record batch or
    stream of them (a DuckDB result, a polars frame) with a contents column
    and perhaps a name column: one file per row."""
    pyarrow = __import__("pyarrow")
    if isinstance(value, (pyarrow.Array, pyarrow.ChunkedArray)):
        for buffer in _buffers(_binary(value)):
            yield Source(None), buffer
        return
    if isinstance(value, pyarrow.RecordBatch):
        batches: Iterable[Any] = [value]
    elif isinstance(value, pyarrow.Table):
        batches = value.to_batches()
    else:
        batches = (
            value if isinstance(value, pyarrow.RecordBatchReader) else pyarrow.RecordBatchReader.from_stream(value)
        )
    for batch in batches:
        found = [name for name in CONTENTS_COLUMNS if name in batch.schema.names]
        if not found:
            raise ValueError(
                f"a table of file contents needs a column named one of {CONTENTS_COLUMNS}, "
                f"not only {batch.schema.names}"
            )
        named = [name for name in NAME_COLUMNS if name in batch.schema.names]
        contents = _binary(batch.column(found[0]))
        names = batch.column(named[0]).to_pylist() if named else [None] * batch.num_rows
        for name, buffer in zip(names, _buffers(contents)):
            yield Source(name, None, os.path.basename(name) if isinstance(name, str) else None), buffer


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


def _buffers(array: Any) -> Iterator[Any]:
    # A null entry is no file: it decodes as an empty one, and its row says so.
    for scalar in array:
        buffer = scalar.as_buffer()
        yield b"" if buffer is None else buffer
