"""One file of kadenzo.sources: the label that stands for it in the results
(`Source`), the cap on what is read whole, and how reading a file object
fails. Below both the rule (kadenzo.sources) and the archive reader
(kadenzo._archives), which each give their files these labels."""

from __future__ import annotations

import errno
import io
import os
from typing import Any

from kadenzo.errors import ReplayError, ReplayFileError

# The largest file, archive member or file object read whole, as for paths
# (src/files/file_limits.hpp).
MAX_FILE_BYTES = 1 << 32
# Between an archive's name and its member's: "plays.zip::week1/std.kvr".
MEMBER_SEPARATOR = "::"
_FIRST_READ = 1 << 16


class Source:
    """One file the sources hold. `path` is what its result is named by: the
    path as given or as found ("replays/a.kvr"), "archive.zip::member" for
    an archive's member, a file object's name, a table's name, or None for
    contents without a name. `error` is set when the file could not be
    reached (a folder that cannot be listed, a damaged archive or member): it
    is then the file's result. `relative` is its name below the source that
    held it (a folder's file: its path below the folder; a member: its name
    in the archive; a file given: its base name), or None for contents."""

    __slots__ = ("path", "error", "_relative")

    def __init__(self, path: Any, error: ReplayError | None = None, relative: str | None = None) -> None:
        self.path, self.error, self._relative = path, error, relative

    @property
    def relative(self) -> str | None:
        if self._relative is None and isinstance(self.path, (str, os.PathLike)):
            return os.path.basename(os.fsdecode(self.path))  # a file given: its own name
        return self._relative

    def __repr__(self) -> str:
        return f"Source({self.path!r}{', error' if self.error is not None else ''})"


def read_file_object(file: Any, limit: int | None = None) -> memoryview:
    """The rest of `file`, read to its end but never past `limit` + 1 bytes
    (MAX_FILE_BYTES by default): a longer file raises ReplayFileError
    (EFBIG) once one byte past the cap has been read, as does a count of
    bytes read that is not one of the bytes asked for (EIO). The buffer grows
    by doubling, so a short file costs a short buffer. TypeError for a file
    opened in text mode."""
    if isinstance(file, io.TextIOBase):
        raise TypeError("the file object gives str: open it in binary mode")
    limit = MAX_FILE_BYTES if limit is None else limit
    name = getattr(file, "name", None)
    name = name if isinstance(name, str) else None
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
                if count and count <= end - filled:
                    buffer[filled : filled + count] = chunk
            if count is None:
                raise ReplayFileError(
                    errno.EAGAIN,
                    os.strerror(errno.EAGAIN),
                    name,
                    "cannot read the file: it gives no data now (non-blocking)",
                    "",
                )
            if not isinstance(count, int) or not 0 <= count <= end - filled:
                # A reader's own fault: a count it cannot have read would loop forever or read past the buffer.
                message = f"cannot read the file: the file object read {count!r} bytes where 0 to {end - filled} were asked for"
                raise ReplayFileError(errno.EIO, os.strerror(errno.EIO), name, message, "")
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


def not_regular(name: str) -> ReplayFileError:
    """What the native reader says of a device, pipe or socket given as a file."""
    return ReplayFileError(
        errno.EINVAL,
        "not a regular file",
        name,
        "cannot read the file: not a regular file",
        'called `Result::unwrap()` on an `Err` value: Error { kind: InvalidInput, message: "not a regular file" }',
    )
