"""Decoding many replay files: per-file results in input order, on all cores.

``decode(sources)`` returns an iterator of ``DecodeResult``, one per file
and in the order of the sources, while the files are read and decoded on the
process-wide worker pool (the one ``parse_replays_from_paths`` uses). The
sources are those of every entry point (see kadenzo.sources): paths,
folders, glob patterns, archives and their members, file contents, file
objects, Arrow tables of contents. Failures are values (or raised with
``errors="raise"``), never lines on standard error.

While the iterator waits for a file, the calling thread does not hold the
interpreter lock: other Python threads run, and Ctrl-C raises
``KeyboardInterrupt`` within about 50 ms, drops the files not yet started and
leaves the pool ready for the next call.

Memory is bounded: at most ``window`` files (``2 * threads + 2`` by default)
are taken from the sources ahead of the consumer, counting those waiting,
decoding and decoded; a generator of paths is pulled, a folder walked and an
archive read only as far as that. Contents waiting to be decoded (an
archive's members) and decoded results waiting for the consumer also stop
new files from starting once they hold 256 MiB.

``decode_archive(path)`` does the same for the members of one zip or tar
archive, whatever its name.
"""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sized
from dataclasses import dataclass
from typing import Any, Literal, Protocol, Union, cast

import kadenzo
from kadenzo import Replay, _native
from kadenzo import sources as _rule
from kadenzo._native import FrameColumns
from kadenzo.errors import ReplayDecodeError, ReplayError, ReplayFileError, Salvaged

__all__ = ["DecodeResult", "Decoding", "Salvaged", "decode", "decode_archive", "decode_one"]

PathLike = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]


class BinaryFile(Protocol):
    """An open binary file: anything with ``readinto`` (or ``read``), such as
    ``open(path, "rb")``, a ``zipfile`` or ``tarfile`` member, or an fsspec file."""

    def read(self, size: int = ..., /) -> bytes: ...


# One file: a path (or "archive.zip::member"), its contents, or an open binary file.
Source = Union[PathLike, bytes, bytearray, memoryview, BinaryFile]
# What decode takes: one source, or an iterable of sources of any kind (see kadenzo.sources).
Sources = Union[Source, Iterable[Any]]

# (kind, errno, message, detail) as the native module reports a failure.
_Failure = tuple[str, int, str, str]

# More threads than this are never decoding at once: the pool has at most 256.
MAX_THREADS = 1 << 16
_FILE_MESSAGE_PREFIX = "cannot read the file: "


@dataclass(frozen=True)
class DecodeResult:
    """The outcome of one path: its ``replay`` or its ``error`` (the other is
    ``None``, except after ``salvage=True``, where a failed file's ``replay``
    is what it still holds: see ``Salvaged``). With ``frames="columns"``, ``columns`` holds the frames as
    columns and ``replay`` every other field (its ``replay_data`` holds no
    frame list, as after a header-only decode); otherwise ``columns`` is ``None``.

    Frozen; ``ok`` is true when ``error`` is ``None``. Results pickle (the
    replay as its field values), so process pools and clusters can send them."""

    __slots__ = ("index", "path", "replay", "error", "columns")

    index: int
    path: Any
    replay: Replay | None
    error: ReplayError | None
    columns: FrameColumns | None

    @property
    def ok(self) -> bool:
        return self.error is None

    def __reduce__(self) -> tuple[Any, ...]:
        # Plain data, so process pools and clusters can send results: the
        # replay as its field values (Replay itself does not pickle).
        replay = None if self.replay is None else _replay_state(self.replay)
        return (_rebuild_result, (self.index, self.path, replay, self.error, self.columns))


# The frame slots of a replay: (slot, frame class, its fields, the class of its key set or None).
_SLOTS: tuple[tuple[str, Any, tuple[str, ...], Any], ...] = (
    ("kivo_replay_data", kadenzo.ReplayEventKivo, ("time_delta", "x", "y", "keys"), kadenzo.Key),
    ("taiko_replay_data", kadenzo.ReplayEventTaiko, ("time_delta", "x", "keys"), kadenzo.KeyTaiko),
    ("catch_replay_data", kadenzo.ReplayEventCatch, ("time_delta", "x", "dashing"), None),
    ("mania_replay_data", kadenzo.ReplayEventMania, ("time_delta", "keys"), kadenzo.KeyMania),
)
# The fields a pickled replay keeps as they are: numbers, flags and texts,
# in the record's order.
_PLAIN_TYPES = ("int", "int | None", "bool", "str | None")
_PLAIN_FIELDS = tuple(name for name, python_type, _ in _native.replay_fields if python_type in _PLAIN_TYPES)
# The smallest header-only file: every field zero or absent. Unpickling
# decodes it and then sets every field, since Replay has no constructor.
_BLANK_FILE = _native.smallest_file


def _replay_state(replay: Replay) -> dict[str, Any]:
    state: dict[str, Any] = {name: getattr(replay, name) for name in _PLAIN_FIELDS}
    state["mode"] = _MODE_CODES[repr(replay.mode)]
    # All 32 bits as stored: a header may set bit 31, which int(Mod) refuses.
    state["mods"] = _native.mod_bits(replay.mods)
    life = replay.life_bar_graph
    state["life_bar_graph"] = None if life is None else [(sample.time, sample.life) for sample in life]
    data = replay.replay_data
    for slot, _, fields, key_class in _SLOTS:
        frames = getattr(data, slot)
        state[slot] = (
            None
            if frames is None
            else [
                tuple(
                    int(value) if key_class is not None and name == "keys" else value
                    for name, value in ((name, getattr(frame, name)) for name in fields)
                )
                for frame in frames
            ]
        )
    return state


_MODE_CODES = {"GameMode.STD": 0, "GameMode.TAIKO": 1, "GameMode.CTB": 2, "GameMode.MANIA": 3, "GameMode.UNKNOWN": 4}


def _replay_from_state(state: dict[str, Any]) -> Replay:
    replay = kadenzo.parse_replay_from_bytes(_BLANK_FILE, header_only=True)
    replay.mode = kadenzo.GameMode(state["mode"])
    for name in _PLAIN_FIELDS:
        setattr(replay, name, state[name])
    replay.mods = _native.mod_from_bits(state["mods"])
    life = state["life_bar_graph"]
    replay.life_bar_graph = None if life is None else [kadenzo.LifeBarState(time, value) for time, value in life]
    data = replay.replay_data
    for slot, frame_class, _, key_class in _SLOTS:
        frames = state[slot]
        if frames is not None and key_class is not None:
            frames = [frame_class(*values[:-1], key_class(values[-1])) for values in frames]
        elif frames is not None:
            frames = [frame_class(*values) for values in frames]
        setattr(data, slot, frames)
    replay.replay_data = data
    return replay


def _rebuild_result(
    index: int,
    path: Any,
    replay: dict[str, Any] | None,
    error: ReplayError | None,
    columns: FrameColumns | None,
) -> DecodeResult:
    return DecodeResult(index, path, None if replay is None else _replay_from_state(replay), error, columns)


# The file's fields in file order, as the native layout table names them.
_LAYOUT_NAMES: tuple[str, ...] = tuple(name for name, _kind, _width in _native.layout_fields)


def _salvage(source: Any, header_only: bool) -> Salvaged | None:
    """What `source` (a path or a file's contents) still holds, or None when it cannot be read."""
    salvaged = _native.salvage(source, header_only)
    if salvaged is None:
        return None
    replay, mask, frames_partial = salvaged
    read = tuple(name for bit, name in enumerate(_LAYOUT_NAMES) if mask >> bit & 1)
    not_read = tuple(name for bit, name in enumerate(_LAYOUT_NAMES) if not mask >> bit & 1)
    return Salvaged(replay, read, not_read, frames_partial)


def _attach_salvage(error: ReplayError, source: Any, header_only: bool) -> None:
    """Attaches what `source` still holds to its decode error; a file that
    could not be read holds nothing to salvage."""
    if isinstance(error, ReplayDecodeError):
        error.salvaged = _salvage(source, header_only)


def _error(path: Any, failure: _Failure) -> ReplayError:
    kind, errno, message, detail = failure
    name = os.fspath(path) if path is not None else None
    if kind == "file":
        # What the reader says ("the file name contains a NUL byte"), not only the errno's text.
        reason = message.removeprefix(_FILE_MESSAGE_PREFIX) or os.strerror(errno)
        return ReplayFileError(errno, reason, name, message, detail)
    return ReplayDecodeError(message, name, detail)


def _object_stream(pairs: Iterator[Any], header_only: bool, threads: int) -> Any:
    return _native.replay_stream(pairs, header_only, threads, 0, True)


def _columns_stream(pairs: Iterator[Any], header_only: bool, threads: int) -> Any:
    return _native.columns_stream(pairs, header_only, threads, 0, True)


# What each ``frames`` form decodes with: a function of (pairs iterator,
# header_only, threads; 0 = the pool's size) giving an iterator of (label,
# value or None, failure or None) in input order, with close() and the
# window and threads attributes. The items are (label, path or contents)
# pairs, and each result carries its label. A native form is one
# instantiation of PathStream<Value> (src/bulk/py_path_stream.hpp) with its
# decode functions built on decode_file_as<Value> (src/bulk/decode_outcome.hpp).
FRAME_FORMS: dict[str, Callable[[Iterator[Any], bool, int], Any]] = {
    "objects": _object_stream,
    # (header Replay, FrameColumns): src/columns/py_columns_stream.cpp.
    "columns": _columns_stream,
}


class _Feed:
    """The (source, data) pairs of kadenzo.sources as the native stream takes
    them: a source without data (its error stands in for the file) is given
    as empty contents, whose failure the error replaces. A class, not a
    generator: it holds nothing between calls, so contents are let go as
    soon as the stream has its copy. With `kept`, each item's data is also
    kept there until its result is out (to salvage a failed file)."""

    __slots__ = ("_pairs", "_kept")

    def __init__(self, pairs: Iterator[tuple[_rule.Source, Any]], kept: deque[Any] | None) -> None:
        self._pairs, self._kept = pairs, kept

    def __iter__(self) -> _Feed:
        return self

    def __next__(self) -> tuple[_rule.Source, Any]:
        source, data = next(self._pairs)
        if self._kept is not None:
            self._kept.append(data)
        return source, b"" if data is None else data


class _Results:
    """(source, value, error) of each file in input order: the native stream
    of one ``frames`` form over the pairs, its failures made errors (with
    what a damaged file holds, when salvaging)."""

    def __init__(
        self, pairs: Iterator[tuple[_rule.Source, Any]], header_only: bool, threads: int, frames: str, salvage: bool
    ):
        self._kept: deque[Any] | None = deque() if salvage else None
        self._header_only = header_only
        self.stream: Any = FRAME_FORMS[frames](_Feed(pairs, self._kept), header_only, threads)

    def __iter__(self) -> _Results:
        return self

    def __next__(self) -> tuple[_rule.Source, Any, ReplayError | None]:
        source, value, failure = next(self.stream)
        data = self._kept.popleft() if self._kept is not None else None
        if source.error is not None:
            return source, None, source.error
        if failure is None:
            return source, value, None
        error = _error(source.path, failure)
        if self._kept is not None:
            _attach_salvage(error, data, self._header_only)
        return source, None, error

    def close(self) -> None:
        self.stream.close()


class Decoding(Iterator[DecodeResult]):
    """The iterator ``decode`` returns.

    ``len()`` is the number of files when ``sources`` has a length and the
    files can be counted without reading any (see
    ``kadenzo.sources.count``: folders are walked for it; an archive, an
    Arrow stream or an iterator leaves it unknown), so progress bars know
    their end; otherwise ``len()`` raises ``TypeError``, which ``tqdm`` and
    ``list`` take as "length unknown". ``close()`` (or leaving a ``with``
    block) drops the work not yet started. A ``Decoding`` belongs to the
    process that made it: in a child made by ``fork()``, taking from it
    raises ``RuntimeError``.
    """

    def __init__(
        self,
        pairs: Iterator[tuple[_rule.Source, Any]],
        header_only: bool,
        threads: int,
        errors: str,
        frames: str,
        salvage: bool = False,
        length: Callable[[], int | None] | None = None,
    ) -> None:
        self._length = length
        self._results = _Results(pairs, header_only, threads, frames, salvage)
        self._raise = errors == "raise"
        self._index = 0

    @property
    def window(self) -> int:
        """Most files taken from the sources and not yet yielded."""
        return int(self._results.stream.window)

    @property
    def threads(self) -> int:
        """Most files decoded at once."""
        return int(self._results.stream.threads)

    def __len__(self) -> int:
        length = self._length() if self._length is not None else None
        if length is None:
            raise TypeError("the number of files kadenzo.bulk.decode reads is not known before they are read")
        self._length = lambda: length
        return length

    def __iter__(self) -> Decoding:
        return self

    def __next__(self) -> DecodeResult:
        source, value, error = next(self._results)
        index = self._index
        self._index += 1
        if error is None:
            if isinstance(value, tuple):
                replay, columns = value
                return DecodeResult(index, source.path, replay, None, columns)
            return DecodeResult(index, source.path, value, None, None)
        if self._raise:
            self.close()
            raise error
        salvaged = error.salvaged
        return DecodeResult(index, source.path, salvaged.replay if salvaged is not None else None, error, None)

    def close(self) -> None:
        self._results.close()

    def __enter__(self) -> Decoding:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _check_arguments(header_only: object, errors: object, frames: object, threads: object) -> None:
    """TypeError for an argument of the wrong type, ValueError for a bad value."""
    _check_choice("errors", errors, ("return", "raise"))
    _check_choice("frames", frames, tuple(FRAME_FORMS))
    _check_flag("header_only", header_only)
    if threads is not None:
        if isinstance(threads, bool) or not isinstance(threads, int):
            raise TypeError(f"threads must be an int or None, not {type(threads).__name__}")
        if threads < 1:
            raise ValueError(f"threads must be 1 or more, not {threads!r}")


def decode(
    sources: Sources,
    *,
    header_only: bool = False,
    threads: int | None = None,
    errors: Literal["return", "raise"] = "return",
    frames: Literal["objects", "columns"] = "objects",
    salvage: bool = False,
    glob: str = "*.kvr",
) -> Decoding:
    """Decodes the files of ``sources`` and yields one ``DecodeResult``
    per file, in input order.

    ``sources`` is one source or an iterable of them, of any kind
    ``kadenzo.sources`` reads: paths (``str`` or ``os.PathLike``; names
    that are not UTF-8 work), folders (searched with their subfolders for
    ``glob``), glob patterns, zip and tar archives (their members matching
    ``glob``) and ``"archive.zip::member"`` names, the contents of files
    (bytes-like), binary file objects, Arrow tables of contents. Each
    result's ``path`` is the path as given or found, ``"<archive>::<member>"``,
    or ``None`` for contents without a name. A folder that cannot be listed,
    a damaged archive or member is an error result in its place.

    ``threads`` is the most files decoded at once (default: the size of the
    process-wide pool, set by the same environment rules as
    ``parse_replays_from_paths``; more than the pool has threads counts as the
    pool's size). The work always runs on that pool, whatever ``threads`` is.
    ``errors="raise"`` raises the first failure in input order instead of
    yielding it. ``frames="objects"`` gives ``Replay`` objects;
    ``frames="columns"`` gives each file's frames as ``result.columns`` (see
    kadenzo.columns), converted on the pool, and no frame list in ``result.replay``.
    With ``salvage=True``, a file that fails to decode is read again for what
    it still holds: its result keeps the error, whose ``salvaged`` is a
    ``Salvaged``, and its ``replay`` is that partial replay (frames as
    objects, whatever ``frames`` is); ``ok`` stays ``False``.

    Arguments are checked before any file is taken: ``TypeError`` for a value
    of the wrong type (``header_only`` must be a ``bool``, ``threads`` an
    ``int`` or ``None``, ``errors``, ``frames`` and ``glob`` a ``str``),
    ``ValueError`` for a bad value. When the iterator of ``sources`` raises,
    or yields something that is no source, every result before it is
    yielded first, then that error is raised.
    """
    _check_arguments(header_only, errors, frames, threads)
    _check_flag("salvage", salvage)
    pairs = _rule.expand(sources, glob)
    length = None
    if isinstance(sources, Sized) or _rule._is_single(sources):
        length = lambda: _rule.count(sources, glob)  # noqa: E731 (counted only when asked)
    return Decoding(pairs, header_only, min(threads or 0, MAX_THREADS), errors, frames, salvage, length)


def _check_flag(name: str, value: object) -> None:
    if not isinstance(value, bool):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")


def _check_choice(name: str, value: object, choices: tuple[str, ...]) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, not {value!r}")


def decode_one(source: Source, *, header_only: bool = False, salvage: bool = False) -> Replay:
    """Reads and decodes one replay without holding the interpreter lock.

    A ``str`` or ``os.PathLike`` is a path (``"archive.zip::member"`` names
    one member of an archive); a bytes-like object (``bytes``,
    ``bytearray``, ``memoryview``, ``mmap``) is the file's contents; a binary
    file object (with ``readinto`` or ``read``: an open file, a ``zipfile``
    or ``tarfile`` member, an fsspec file) is read from where it stands to
    its end, never more than the file-size cap of paths (4 GiB, then
    ``ReplayFileError`` with errno ``EFBIG``). Raises a
    ``kadenzo.errors.ReplayError`` on failure, ``TypeError`` when
    ``header_only`` (or ``salvage``) is not a ``bool`` or ``source`` neither
    a path, bytes nor a binary file.

    With ``salvage=True``, a file that does not decode still raises its
    ``kadenzo.errors.ReplayDecodeError``, and the error's ``salvaged``
    holds what the file still holds (a ``Salvaged``: the partial replay
    and the fields read). Raising keeps a damaged file from passing for a
    whole one in code that does not look; ``except ReplayDecodeError as
    error: error.salvaged`` is the way to the part. A file that cannot be
    read has nothing to salvage (``salvaged`` is ``None``).
    """
    _check_flag("header_only", header_only)
    _check_flag("salvage", salvage)
    name: Any = source if isinstance(source, (str, os.PathLike)) else None
    data: Any = source
    if _rule._member_of(source) is not None or _rule._is_file(source):
        found, data = next(_rule.expand([source]))
        if found.error is not None:
            raise found.error
        name = found.path
    replay, failure = _native.decode_one(data, header_only)
    if failure is None:
        return cast(Replay, replay)
    error = _error(name, failure)
    if salvage:
        _attach_salvage(error, data, header_only)
    raise error


def decode_archive(
    path: str | os.PathLike[str],
    *,
    glob: str = "*.kvr",
    header_only: bool = False,
    threads: int | None = None,
    errors: Literal["return", "raise"] = "return",
    frames: Literal["objects", "columns"] = "objects",
    salvage: bool = False,
) -> Decoding:
    """Decodes the members of a ``.zip`` or ``.tar`` archive (plain, gzip,
    bzip2, xz, or zstd when the ``zstandard`` package is installed) whose
    base name matches ``glob``, in member order, as ``decode`` decodes
    files: on the pool, with the same arguments and the same bound on memory
    (a member is read only when the window has room for it). The archive is
    read as one whatever its name; ``decode`` reads the archives among
    its sources by their names.

    Each result's ``path`` is ``"<archive>::<member name>"``. A member that
    cannot be read or decoded is an error result; a damaged archive (cut
    short, not an archive) ends with one error result whose path is the
    archive's, and anything but a regular file (a pipe, a device) is refused
    so at once. The result has no length. ``salvage`` is as for ``decode``.
    """
    _check_arguments(header_only, errors, frames, threads)
    _check_flag("salvage", salvage)
    matcher = _rule.check_glob(glob)
    from kadenzo import _archives

    pairs = _archives.members(os.fsdecode(path), matcher)
    return Decoding(pairs, header_only, min(threads or 0, MAX_THREADS), errors, frames, salvage)
