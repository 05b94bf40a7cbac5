"""The members of zip and tar archives for kadenzo.sources, read one at a
time as the decoding asks for them, in archive order.

Memory stays bounded whatever the archive holds: a zip archive's directory
is read in pieces of 64 KiB, one entry kept at a time (not the whole list of
them), and a tar archive is read as a stream, front to back, its headers let
go as it goes. A member is read only up to its declared size, itself at most
MAX_FILE_BYTES (the cap of files): one that would expand past it is an error,
not a buffer that grows until memory runs out.

Every member gives its contents or its error: a member that is encrypted,
damaged (its compressed data, its CRC) or of an unknown compression gets an
error and the members after it are read on; an archive whose directory or
stream is damaged ends with an error. Anything but a regular file is refused
at once, so a pipe or a device is never read as an archive.
"""

from __future__ import annotations

import bz2
import errno
import functools
import importlib
import lzma
import os
import stat
import struct
import tarfile
import zlib
from collections.abc import Callable, Iterator
from typing import IO, Any

from kadenzo._files import MAX_FILE_BYTES, MEMBER_SEPARATOR, Source, not_regular, read_error, too_large
from kadenzo.errors import ReplayFileError

_CHUNK = 1 << 16
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
# Where a file starts with these bytes, a tar reader takes it: gzip, bzip2, xz, zstd.
_TAR_MAGICS = (b"\x1f\x8b", b"BZh", b"\xfd7zX", _ZSTD_MAGIC)
_USTAR_OFFSET = 257
_TAR_BLOCK = 512

# An entry of an archive: its name, and the function that reads its contents
# (raising _MemberFault for a fault of this member alone).
Entry = tuple[str, Callable[[str], Any]]
Pair = tuple[Source, Any]


class _Damaged(Exception):
    """What is wrong with the whole archive: nothing after it can be read."""


class NotAnArchive(_Damaged):
    """A file given as an archive that starts like no archive format read here."""


class _MemberFault(Exception):
    """A member that cannot be read, the archive's other members readable still."""

    def __init__(self, error: ReplayFileError) -> None:
        super().__init__(error.message)
        self.error = error


def members(archive: str, matches: Any, read: bool = True) -> Iterator[Pair]:
    """(source, contents) of each regular member whose base name `matches`
    (a compiled pattern), in archive order; a member that cannot be read
    has its error and no contents, and a damaged archive ends with an error
    named by the archive. With `read=False` the members are only named
    (contents None)."""
    return _scan(archive, lambda name: matches.match(name.rsplit("/", 1)[-1]) is not None, _archive_row, read)


def _archive_row(archive: str, error: ReplayFileError) -> list[Pair]:
    return [(Source(archive, error), None)]


def named_members(archive: str, wanted: list[str]) -> Iterator[Pair]:
    """The members named `wanted` (full names in the archive), in that order;
    a name the archive lacks has an error, and so does every name still
    wanted when the archive turns out damaged. Names in archive order take
    one pass over the archive; a name that comes earlier than the one before
    it takes another."""
    names = _Wanted(wanted)

    def failed(_: str, error: ReplayFileError) -> list[Pair]:
        rows = [(Source(_label(archive, name), error, name), None) for name in wanted[names.at :]]
        names.at = len(wanted)
        return rows

    while names.at < len(wanted):
        before = names.at
        names.seen.clear()
        yield from _scan(archive, names.take, failed)
        at = names.at
        if at < len(wanted) and (at == before or wanted[at] not in names.seen):
            message = f"cannot read the archive member: the archive has no member named {wanted[at]!r}"
            label = _label(archive, wanted[at])
            yield Source(label, _error(label, message, errno.ENOENT), wanted[at]), None
            names.at = at + 1


class _Wanted:
    """The names still wanted, in order, as one pass over an archive meets its members."""

    def __init__(self, wanted: list[str]) -> None:
        self.wanted, self.at = wanted, 0
        self.last = {name: index for index, name in enumerate(wanted)}
        self.seen: set[str] = set()  # wanted later, met before their turn in this pass

    def take(self, name: str) -> bool:
        if self.at < len(self.wanted) and name == self.wanted[self.at]:
            self.at += 1
            return True
        if self.last.get(name, -1) >= self.at:
            self.seen.add(name)
        return False


def _label(archive: str, name: str) -> str:
    return f"{archive}{MEMBER_SEPARATOR}{name}"


def _error(name: str, message: str, code: int = errno.EIO) -> ReplayFileError:
    # The message is also the error's strerror, so that str(error) says what went wrong.
    return ReplayFileError(code, message, name, message, message)


def _scan(
    archive: str,
    select: Callable[[str], bool],
    failed: Callable[[str, ReplayFileError], list[Pair]],
    read: bool = True,
) -> Iterator[Pair]:
    """(source, contents) of each regular member `select` takes, read in
    turn (named only, contents None, without `read`); an archive that
    cannot be read (on) ends with the rows `failed` gives for its error. The
    contents are yielded as they are made, never held here past the yield:
    a decoding window holds them, and no more."""
    try:
        descriptor = os.open(archive, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)  # a pipe opens without waiting
    except OSError as error:
        yield from failed(archive, read_error(archive, error))
        return
    try:
        if not _is_regular(descriptor):
            yield from failed(archive, not_regular(archive))
            return
        os.set_blocking(descriptor, True)
        file = os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise
    with file:
        try:
            head = file.read(_TAR_BLOCK)
            directory = _zip_directory(file)
            if directory is not None:
                entries = _zip_entries(file, *directory)
            elif head.startswith(b"PK"):
                raise _Damaged("the zip archive ends early: its directory at the end is missing")
            elif not _tar_like(head):
                raise NotAnArchive("neither a zip nor a tar archive")
            else:
                file.seek(0)
                entries = _tar_entries(file, head)
            for name, contents in entries:
                if not select(name):
                    continue
                label = _label(archive, name)
                try:
                    yield Source(label, None, name), contents(label) if read else None
                except _MemberFault as fault:
                    yield Source(label, fault.error, name), None
        except MemoryError:
            raise
        except Exception as error:  # a damaged archive, whichever library found it
            if isinstance(error, OSError) and not isinstance(error, ReplayFileError) and error.errno:
                failure = read_error(archive, error)
            elif isinstance(error, NotAnArchive):
                failure = _error(archive, f"cannot read the archive: {error}")
            else:
                reason = str(error) if isinstance(error, _Damaged) else f"{type(error).__name__}: {error}"
                failure = _error(archive, f"the archive is damaged: {reason}")
            yield from failed(archive, failure)


def _is_regular(descriptor: int) -> bool:
    return stat.S_ISREG(os.fstat(descriptor).st_mode)


def _tar_like(head: bytes) -> bool:
    """Whether the file starts as a compressed stream, a tar header or the
    zero block that ends a tar archive (one without members)."""
    if head.startswith(_TAR_MAGICS):
        return True
    return head[_USTAR_OFFSET : _USTAR_OFFSET + 5] == b"ustar" or (len(head) == _TAR_BLOCK and not any(head))


# --- zip -------------------------------------------------------------------------

_END = struct.Struct("<4s4H2LH")  # signature, disks, entries here and in all, directory size and offset, comment
_END64_LOCATOR = struct.Struct("<4sLQL")
_END64 = struct.Struct("<4sQ2H2L4Q")  # ..., entries here and in all, directory size and offset
_CENTRAL = struct.Struct("<4s6H3L5H2L")
_LOCAL = struct.Struct("<4s5H3L2H")
_ZIP64_EXTRA = 0x0001
_ENCRYPTED = 0x1
_UTF8_NAME = 0x800
_STORED, _DEFLATED, _BZIP2, _LZMA = 0, 8, 12, 14


def _zip_directory(file: IO[bytes]) -> tuple[int, int, int] | None:
    """(offset of the central directory, its size, the bytes before the
    archive) from the end record, or None when the file has none (not a zip)."""
    size = file.seek(0, os.SEEK_END)
    tail_size = min(size, _END.size + 0xFFFF)
    file.seek(size - tail_size)
    tail = file.read(tail_size)
    at = tail.rfind(b"PK\x05\x06")
    while at >= 0 and at + _END.size > len(tail):
        at = tail.rfind(b"PK\x05\x06", 0, at)
    if at < 0:
        return None
    _, _, _, _, _, directory_size, directory_offset, _ = _END.unpack_from(tail, at)
    end_at = size - tail_size + at
    locator_at = at - _END64_LOCATOR.size
    if locator_at >= 0 and tail[locator_at : locator_at + 4] == b"PK\x06\x07":
        # A zip64 archive: its own end record stands before the locator.
        end_at -= _END64_LOCATOR.size + _END64.size
        if end_at < 0:
            raise _Damaged("the zip64 end record is cut short")
        file.seek(end_at)
        record = file.read(_END64.size)
        if len(record) != _END64.size or record[:4] != b"PK\x06\x06":
            raise _Damaged("the zip64 end record is missing")
        directory_size, directory_offset = _END64.unpack(record)[-2:]
    # Bytes before the archive (a self-extracting stub) shift every offset.
    before = end_at - directory_size - directory_offset
    if before < 0:
        raise _Damaged("the central directory's offset lies past its end")
    return directory_offset + before, directory_size, before


def _zip_entries(file: IO[bytes], start: int, size: int, before: int) -> Iterator[Entry]:
    """(name, read) of each file entry of the central directory, read 64 KiB
    at a time: only the entry being read is held, however many there are."""
    buffer = bytearray()
    position, remaining = start, size
    while remaining or buffer:
        entry_end = _CENTRAL.size
        while True:
            if len(buffer) >= entry_end:
                if entry_end > _CENTRAL.size:
                    break
                entry_end = _CENTRAL.size + sum(struct.unpack_from("<3H", buffer, 28))
                continue
            if not remaining:
                raise _Damaged("the central directory ends inside an entry")
            file.seek(position)
            chunk = file.read(min(_CHUNK, remaining))
            if not chunk:
                raise _Damaged("the archive ends inside its central directory")
            buffer += chunk
            position += len(chunk)
            remaining -= len(chunk)
        fields = _CENTRAL.unpack_from(buffer)
        if fields[0] != b"PK\x01\x02":
            raise _Damaged("an entry of the central directory does not start as one")
        _, _, _, flags, method, _, _, crc, packed, unpacked, name_size, extra_size, _, disk, _, _, offset = fields
        raw_name = bytes(buffer[_CENTRAL.size : _CENTRAL.size + name_size])
        extra = bytes(buffer[_CENTRAL.size + name_size : _CENTRAL.size + name_size + extra_size])
        del buffer[:entry_end]
        name = raw_name.decode("utf-8" if flags & _UTF8_NAME else "cp437", "surrogateescape")
        if name.endswith("/"):
            continue
        unpacked, packed, offset = _zip64_sizes(extra, unpacked, packed, offset, disk)
        entry = _ZipEntry(flags, method, crc, packed, unpacked, offset + before, raw_name)
        yield name, functools.partial(entry.read, file)


def _zip64_sizes(extra: bytes, unpacked: int, packed: int, offset: int, disk: int) -> tuple[int, int, int]:
    """The sizes and offset an entry stores in its zip64 extra field, in
    that order, each there only when its 32-bit field is all ones."""
    if 0xFFFFFFFF not in (unpacked, packed, offset):
        return unpacked, packed, offset
    at = 0
    while at + 4 <= len(extra):
        kind, length = struct.unpack_from("<2H", extra, at)
        data = extra[at + 4 : at + 4 + length]
        at += 4 + length
        if kind != _ZIP64_EXTRA:
            continue
        values = [value for value in (unpacked, packed, offset) if value == 0xFFFFFFFF]
        if len(data) < 8 * len(values):
            raise _Damaged("an entry's zip64 field is cut short")
        given = iter(struct.unpack_from(f"<{len(values)}Q", data))
        unpacked, packed, offset = (
            next(given) if value == 0xFFFFFFFF else value for value in (unpacked, packed, offset)
        )
        return unpacked, packed, offset
    raise _Damaged("an entry lacks the zip64 field its sizes call for")


class _ZipEntry:
    """One file of a zip archive, as its directory entry describes it."""

    __slots__ = ("flags", "method", "crc", "packed", "unpacked", "offset", "raw_name")

    def __init__(self, flags: int, method: int, crc: int, packed: int, unpacked: int, offset: int, raw_name: bytes):
        self.flags, self.method, self.crc = flags, method, crc
        self.packed, self.unpacked, self.offset, self.raw_name = packed, unpacked, offset, raw_name

    def read(self, file: IO[bytes], label: str) -> bytearray:
        """The member's bytes, checked against its size and CRC; _MemberFault
        when they cannot be had (the archive's other members may still be)."""
        if self.unpacked > MAX_FILE_BYTES:
            raise _MemberFault(too_large(label))
        try:
            return self._contents(file)
        except MemoryError:
            raise
        except Exception as error:  # zlib.error, LZMAError, OSError, EOFError: damaged data, read on
            reason = str(error) if isinstance(error, _Damaged) else f"{type(error).__name__}: {error}"
            raise _MemberFault(_error(label, f"cannot read the archive member: {reason}")) from None

    def _contents(self, file: IO[bytes]) -> bytearray:
        if self.flags & _ENCRYPTED:
            raise _Damaged("the member is encrypted")
        if self.method not in (_STORED, _DEFLATED, _BZIP2, _LZMA):
            raise _Damaged(f"the member's compression (method {self.method}) is not one read here")
        file.seek(self.offset)
        header = file.read(_LOCAL.size)
        if len(header) != _LOCAL.size or header[:4] != b"PK\x03\x04":
            raise _Damaged("the member's local header is missing")
        *_, name_size, extra_size = _LOCAL.unpack(header)
        if file.read(name_size) != self.raw_name:
            raise _Damaged("the member's local header names another file")
        file.seek(extra_size, os.SEEK_CUR)
        if self.method == _STORED:
            if self.packed != self.unpacked:
                raise _Damaged("a stored member's sizes differ")
            decompressor: Any = _Stored()
        elif self.method == _DEFLATED:
            decompressor = _Inflater()
        elif self.method == _BZIP2:
            decompressor = bz2.BZ2Decompressor()
        else:
            decompressor = _lzma_decompressor(file)
            self.packed -= 4 + 5
        out = _expand(file, self.packed, decompressor, self.unpacked)
        if len(out) != self.unpacked:
            raise _Damaged(f"the member ends after {len(out)} of its {self.unpacked} bytes")
        if zlib.crc32(out) != self.crc:
            raise _Damaged("the member's bytes fail their CRC-32 check")
        return out


def _expand(file: IO[bytes], packed: int, decompressor: Any, limit: int) -> bytearray:
    """Decompresses the `packed` bytes that follow in `file`, never holding
    more than `limit` + 1 bytes of output: a member that expands past its
    declared size (a zip bomb, or a damaged member) stops there."""
    out = bytearray()
    while True:
        if decompressor.needs_input:
            if packed <= 0:
                break
            chunk = file.read(min(_CHUNK, packed))
            if not chunk:
                raise _Damaged("the archive ends inside the member")
            packed -= len(chunk)
        else:
            chunk = b""
        out += decompressor.decompress(chunk, limit + 1 - len(out))
        if len(out) > limit:
            raise _Damaged(f"the member expands past its declared size of {limit} bytes")
        if decompressor.eof:
            break
    return out


class _Stored:
    """A member stored as it is, read through the decompressors' interface."""

    needs_input = True
    eof = False

    def decompress(self, data: bytes, max_length: int) -> bytes:
        return data


class _Inflater:
    """zlib's raw deflate, through the interface of lzma's and bz2's decompressors."""

    def __init__(self) -> None:
        self._inflate = zlib.decompressobj(-zlib.MAX_WBITS)

    @property
    def needs_input(self) -> bool:
        return not self._inflate.unconsumed_tail

    @property
    def eof(self) -> bool:
        return self._inflate.eof

    def decompress(self, data: bytes, max_length: int) -> bytes:
        return self._inflate.decompress(data or self._inflate.unconsumed_tail, max_length)


def _lzma_decompressor(file: IO[bytes]) -> Any:
    """A zip member's LZMA: a version (2 bytes), the size of the properties
    (2 bytes, 5), the properties (lc, lp and pb in one byte, then the
    dictionary size), then the raw LZMA1 stream."""
    head = file.read(4 + 5)
    if len(head) != 9 or struct.unpack_from("<H", head, 2)[0] != 5:
        raise _Damaged("the member's LZMA properties are missing")
    settings, dictionary = head[4], struct.unpack_from("<L", head, 5)[0]
    if settings >= 9 * 5 * 5:
        raise _Damaged("the member's LZMA properties are not valid")
    lc, rest = settings % 9, settings // 9
    flt = {"id": lzma.FILTER_LZMA1, "dict_size": dictionary, "lc": lc, "lp": rest % 5, "pb": rest // 5}
    return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=[flt])


# --- tar -------------------------------------------------------------------------


def _tar_entries(file: IO[bytes], head: bytes) -> Iterator[Entry]:
    """(name, read) of each regular member, the archive read once as a
    stream whatever its compression. The headers read are let go as the
    stream goes on (tarfile would keep every one)."""
    reader: Any = file
    if head.startswith(_ZSTD_MAGIC):
        reader = _zstd_reader(file)
    with reader, tarfile.open(fileobj=reader, mode="r|" if reader is not file else "r|*") as tarred:
        while (info := tarred.next()) is not None:
            # tarfile keeps every header it reads, for going back; a stream never does.
            tarred.members.clear()  # type: ignore[attr-defined]
            if info.isfile():
                yield info.name, functools.partial(_tar_member, tarred, info)


def _tar_member(tarred: tarfile.TarFile, info: tarfile.TarInfo, label: str) -> bytes:
    """A member's bytes. A fault in them is the stream's, which ends the archive."""
    if info.size > MAX_FILE_BYTES:
        raise _MemberFault(too_large(label))  # its bytes are passed over, not read
    member = tarred.extractfile(info)
    assert member is not None  # a regular file always has contents
    with member:
        data = member.read()
    if len(data) != info.size:
        raise EOFError(f"{info.name} ends after {len(data)} of its {info.size} bytes")
    return data


def _zstd_reader(file: IO[bytes]) -> Any:
    try:
        zstandard = importlib.import_module("zstandard")
    except ImportError:
        raise _Damaged("a zstd archive needs the zstandard package: pip install 'kadenzo[zstd]'") from None
    return zstandard.ZstdDecompressor().stream_reader(file, closefd=False)
