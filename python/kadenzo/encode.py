"""Writing replays: a `Replay` (decoded, changed or built) back into the bytes
of a replay file, exactly as the decoder reads them.

    import kadenzo, kadenzo.encode
    replay = kadenzo.parse_replay_from_path("samples/std.kvr")
    replay.username = "someone"
    kadenzo.encode.write(replay, "renamed.kvr")

What is written: every header field (a string that is `None` is stored as
absent, `""` as present and empty), the life-bar samples as their text, the
frames of the replay's own mode as frame text with the seed item
"-12345|0|0|<seed>" last when `rng_seed` is set, compressed as legacy LZMA
("lzma-alone": preset 6 with a 2 MiB dictionary, the text's size not declared
in the stream header, which then ends with an end marker), and the online id
in its 8-byte form. Numbers in the texts are exact: integers in decimal,
floats in the shortest form that reads back to the same value. Frame fields
that no record keeps get constants: 9999 in field 2 of drum and catch frames,
as the game writes them, and 0 in fields 2 and 3 of key-mode frames.

`frames`, where taken, is a sequence of the mode's frame objects, a
`kadenzo.columns.FrameColumns`, or a mapping of the mode's field names to
one-dimensional arrays (a dict of NumPy arrays, as `FrameColumns.to_numpy()`
gives, edited or not): integer fields take integer arrays whose values fit
them, `x` and `y` take float or integer arrays, `dashing` booleans or 0/1.

Bad input raises before anything is written: `TypeError` for an object of
the wrong kind (a frame of another mode's class), `ValueError` for a value
the decoder would refuse (a mode that is no play mode, a column value out of
its field's range, more than 50,000,000 frames or 256 MiB of frame text).
Formatting and compressing run without the interpreter lock, so threads
write in parallel, and Ctrl-C stops a long write with `KeyboardInterrupt`.
"""

from __future__ import annotations

import errno
import os
import secrets
from collections.abc import Mapping, Sequence
from typing import Any, Union

from kadenzo import GameMode, Replay
from kadenzo._native import FrameColumns, encode_frame_block, encode_frame_text, encode_replay

__all__ = ["Frames", "to_bytes", "write", "frame_text", "frame_block"]

# Frame objects of one mode, the columns of a decoded play, or arrays by field name.
Frames = Union[Sequence[Any], FrameColumns, Mapping[str, Any]]


def to_bytes(replay: Replay, *, frames: Frames | None = None) -> bytes:
    """The bytes of `replay` as a replay file. `frames`, when given, are
    written instead of the replay's own frame lists (the other fields, the
    seed included, come from `replay`); without it the replay must hold a list
    of its own mode and none of another (a header-only decode has none)."""
    return encode_replay(replay, frames)


def write(
    replay: Replay, path: str | os.PathLike[str], *, overwrite: bool = False, frames: Frames | None = None
) -> None:
    """Writes `replay` to `path`: into a new file beside it, moved to its name
    once complete, so a failure, Ctrl-C or a killed process never leaves a
    partial file under that name. An existing file is refused
    (`FileExistsError`) unless `overwrite` is true."""
    if not isinstance(overwrite, bool):
        raise TypeError(f"overwrite must be a bool, not {type(overwrite).__name__}")
    target = os.fspath(path)
    if not isinstance(target, str):
        raise TypeError("path must be a str or an os.PathLike of str")
    if not overwrite and os.path.lexists(target):
        raise FileExistsError(errno.EEXIST, "File exists", target)
    data = to_bytes(replay, frames=frames)  # every check before a file is touched
    _write_beside(data, target, overwrite)


def frame_text(frames: Frames, mode: GameMode, rng_seed: int | None = None) -> bytes:
    """The uncompressed frame text of `frames` of `mode`, the seed item last
    when `rng_seed` is given: what `kadenzo.parse_replay_data` reads."""
    return encode_frame_text(frames, mode, rng_seed)


def frame_block(frames: Frames, mode: GameMode, rng_seed: int | None = None) -> bytes:
    """`frame_text(...)` compressed as a replay's frame block (legacy LZMA,
    readable by `lzma.decompress(block, format=lzma.FORMAT_ALONE)`)."""
    return encode_frame_block(frames, mode, rng_seed)


def _write_beside(data: bytes, target: str, overwrite: bool) -> None:
    directory, name = os.path.split(target)
    while True:
        temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.part")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
            break
        except FileExistsError:
            continue
        except OSError as error:
            raise _naming(error, temporary, target) from None
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        if overwrite:
            os.replace(temporary, target)
        else:
            _link_new(temporary, target)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        if isinstance(error, OSError) and error.filename == temporary:
            raise _naming(error, temporary, target) from None
        raise


def _naming(error: OSError, temporary: str, target: str) -> OSError:
    """`error` naming the path the caller gave instead of the hidden
    temporary file, which the caller never asked for."""
    if error.filename != temporary:
        return error
    return type(error)(error.errno, error.strerror, target)


def _link_new(temporary: str, target: str) -> None:
    """Gives the complete file its name unless the name is taken: a hard link
    fails atomically when it is (a check, then a rename, could replace a file
    made in between); on file systems without hard links, check and rename."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "File exists", target) from None
    except OSError:
        if os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, "File exists", target) from None
        os.replace(temporary, target)
        return
    os.unlink(temporary)
