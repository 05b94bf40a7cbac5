"""Replay bytes from places other than paths: binary file objects, read with
the same size cap as paths, and the members of zip and tar archives, read one
at a time as the decoding stream asks for them; and the inputs of `kadenzo
summary`, where archives stand among files and folders. (What
kadenzo.dataset reads is kadenzo._dataset_sources.)"""

from __future__ import annotations

import errno
import fnmatch
import importlib
import io
import os
import tarfile
import zipfile
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any, Literal

from kadenzo import _find
from kadenzo.errors import ReplayError, ReplayFileError

# The largest file a full decode holds, as for paths (src/files/file_limits.hpp).
MAX_FILE_BYTES = 1 << 32
_TOO_LARGE = f"file exceeds {MAX_FILE_BYTES} bytes"
_FIRST_READ = 1 << 16
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


def is_file_object(source: object) -> bool:
    """Anything with `readinto` or `read` that does not export its bytes itself."""
    if isinstance(source, (str, bytes, bytearray, memoryview, os.PathLike)):
        return False
    if not (callable(getattr(source, "readinto", None)) or callable(getattr(source, "read", None))):
        return False
    try:  # an mmap reads too, but its contents are the whole file wherever it stands
        memoryview(source).release()  # type: ignore[arg-type]
    except TypeError:
        return True
    return False


def source_name(source: object) -> str | None:
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


def too_large(name: str | None, limit: int = MAX_FILE_BYTES) -> ReplayFileError:
    text = f"file exceeds {limit} bytes"
    return ReplayFileError(
        errno.EFBIG,
        os.strerror(errno.EFBIG),
        name,
        f"cannot read the file: {text}",
        f'called `Result::unwrap()` on an `Err` value: Error {{ kind: FileTooLarge, message: "{text}" }}',
    )


def read_error(name: str | None, error: OSError) -> ReplayFileError:
    code = error.errno or errno.EIO
    return ReplayFileError(code, os.strerror(code), name, f"cannot read the file: {os.strerror(code)}", str(error))


def read_file_object(file: Any, limit: int | None = None) -> memoryview:
    """The rest of `file`, read to its end but never past `limit` + 1 bytes
    (the module's file-size cap by default): a longer file raises
    ReplayFileError (EFBIG) once one byte past the cap has been read. The
    buffer grows by doubling, so a short file costs a short buffer."""
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object gives str: open it in binary mode")
    limit = MAX_FILE_BYTES if limit is None else limit
    name = source_name(file)
    buffer = bytearray(_FIRST_READ)
    filled = 0
    readinto = getattr(file, "readinto", None)
    try:
        while True:
            if filled == len(buffer):
                if filled > limit:
                    raise too_large(name, limit)
                buffer.extend(bytes(min(len(buffer), limit + 1 - filled)))
            end = min(len(buffer), limit + 1)
            if callable(readinto):
                with memoryview(buffer) as view, view[filled:end] as window:
                    count = readinto(window)
            else:
                chunk = file.read(end - filled)
                if isinstance(chunk, str):
                    raise TypeError("the file object gives str: open it in binary mode")
                count = None if chunk is None else len(chunk)
                if count:
                    buffer[filled : filled + count] = chunk
            if count is None:
                raise ReplayFileError(
                    errno.EAGAIN,
                    os.strerror(errno.EAGAIN),
                    name,
                    "cannot read the file: it gives no data now (non-blocking)",
                    "",
                )
            if count == 0:
                break
            filled += count
            if filled > limit:
                raise too_large(name, limit)
    except OSError as error:
        if isinstance(error, ReplayError):
            raise
        raise read_error(name, error) from error
    return memoryview(buffer)[:filled]


# --- archives ------------------------------------------------------------------


@dataclass(frozen=True)
class Member:
    """The label of one archive entry in a decoding stream: its result's path
    ("archive.zip::folder/name.kvr") and, when the entry could not be read
    (or the archive is damaged), the error its result carries instead."""

    path: str
    error: ReplayError | None = None


def _matches(name: str, pattern: str) -> bool:
    return fnmatch.fnmatchcase(name.rsplit("/", 1)[-1], pattern)


def _member_failure(label: str, error: BaseException) -> Member:
    if isinstance(error, ReplayError):
        return Member(label, error)
    code = getattr(error, "errno", None) or errno.EIO
    message = f"cannot read the archive member: {type(error).__name__}: {error}"
    return Member(label, ReplayFileError(code, os.strerror(code), label, message, str(error)))


def _zip_members(archive: str, file: IO[bytes], pattern: str) -> Iterator[tuple[Member, bytes]]:
    with zipfile.ZipFile(file) as zipped:
        for info in zipped.infolist():
            if info.is_dir() or not _matches(info.filename, pattern):
                continue
            label = f"{archive}::{info.filename}"
            if info.file_size > MAX_FILE_BYTES:
                yield Member(label, too_large(label)), b""
                continue
            try:
                with zipped.open(info) as member:
                    data = member.read()
            except (zipfile.BadZipFile, OSError, EOFError, ValueError, NotImplementedError) as error:
                yield _member_failure(label, error), b""
                continue
            yield Member(label), data


def _tar_members(archive: str, tarred: tarfile.TarFile, pattern: str) -> Iterator[tuple[Member, bytes]]:
    with tarred:
        for info in tarred:
            if not info.isfile() or not _matches(info.name, pattern):
                continue
            label = f"{archive}::{info.name}"
            if info.size > MAX_FILE_BYTES:
                yield Member(label, too_large(label)), b""
                continue
            member = tarred.extractfile(info)
            assert member is not None  # a regular file always has contents
            with member:
                data = member.read()
            if len(data) != info.size:
                raise EOFError(f"{info.name} ends after {len(data)} of its {info.size} bytes")
            yield Member(label), data


def _zstd_reader(file: IO[bytes]) -> Any:
    try:
        zstandard = importlib.import_module("zstandard")
    except ImportError:
        raise tarfile.ReadError("a zstd archive needs the zstandard package: pip install 'kadenzo[zstd]'") from None
    return zstandard.ZstdDecompressor().stream_reader(file)


def archive_members(archive: str | os.PathLike[str], pattern: str) -> Iterator[tuple[Member, bytes]]:
    """(label, contents) of each regular member of the zip or tar archive
    (plain, gzip, bzip2, xz or zstd) whose base name matches `pattern`, in
    archive order, each read when asked for. A member that cannot be read
    gives its error in its label and empty contents; a damaged archive ends
    with a label carrying the archive's error."""
    name = os.fspath(archive)
    try:
        with open(name, "rb") as file:
            head = file.read(4)
            is_zip = zipfile.is_zipfile(file)  # reads the end of the file
            file.seek(0)
            if is_zip:
                yield from _zip_members(name, file, pattern)
            elif head == _ZSTD_MAGIC:
                with _zstd_reader(file) as reader:
                    yield from _tar_members(name, tarfile.open(fileobj=reader, mode="r|"), pattern)
            else:
                # Stream mode reads the archive once, front to back, whatever its compression.
                yield from _tar_members(name, tarfile.open(fileobj=file, mode="r|*"), pattern)
    except (OSError, EOFError, tarfile.TarError, zipfile.BadZipFile, ValueError, RuntimeError) as error:
        yield _archive_failure(name, error), b""


def _archive_failure(name: str, error: BaseException) -> Member:
    if isinstance(error, OSError) and not isinstance(error, ReplayError) and error.errno:
        return Member(name, read_error(name, error))
    message = f"the archive is damaged: {type(error).__name__}: {error}"
    return Member(name, ReplayFileError(errno.EIO, os.strerror(errno.EIO), name, message, str(error)))


# --- archives among the inputs of `kadenzo summary` --------------------------------

ARCHIVE_SUFFIXES = (".zip", ".tar", ".tar.gz", ".tgz", ".tar.bz2", ".tbz2", ".tar.xz", ".txz", ".tar.zst", ".tzst")


def is_archive(source: str) -> bool:
    """A file named as a zip or tar archive: its members are the replays."""
    return source.lower().endswith(ARCHIVE_SUFFIXES) and os.path.isfile(source)


def decode_inputs(
    sources: Sequence[str],
    pattern: str,
    header_only: bool,
    threads: int | None,
    frames: Literal["objects", "columns"] = "objects",
    empty_folders: list[str] | None = None,
    salvage: bool = False,
    found: list[str | _find.FolderError] | None = None,
) -> tuple[Iterator[Any], int | None]:
    """The results of every input in order, and their number when known (no
    archive among the inputs). Files and folders between archives are found
    first (added to `found`; folders that hold no match to `empty_folders`) and
    decoded as one stream, a folder that cannot be listed giving its
    _find.FolderError in its place; each archive is a stream of its members
    (a damaged archive ends with its error, then the next input goes on)."""
    groups: list[str | list[str | _find.FolderError]] = []
    files: list[str] = []
    for source in [*sources, None]:
        if source is not None and not is_archive(source):
            files.append(source)
            continue
        if files:
            listed = list(_find.find_replays(files, pattern, empty_folders))
            groups.append(listed)
            if found is not None:
                found.extend(listed)
            files = []
        if source is not None:
            groups.append(source)
    archives = any(isinstance(group, str) for group in groups)
    total = None if archives else sum(len(group) for group in groups)
    return _group_outcomes(groups, pattern, header_only, threads, frames, salvage), total


def _group_outcomes(
    groups: list[str | list[str | _find.FolderError]],
    pattern: str,
    header_only: bool,
    threads: int | None,
    frames: Literal["objects", "columns"],
    salvage: bool,
) -> Iterator[Any]:
    from kadenzo import bulk

    for group in groups:
        if isinstance(group, str):
            with bulk.decode_archive(
                group, glob=pattern, header_only=header_only, threads=threads, frames=frames, salvage=salvage
            ) as decoding:
                yield from decoding
            continue
        paths = [item for item in group if isinstance(item, str)]
        with bulk.decode(paths, header_only=header_only, threads=threads, frames=frames, salvage=salvage) as decoding:
            results = iter(decoding)
            for item in group:
                yield item if isinstance(item, _find.FolderError) else next(results)
