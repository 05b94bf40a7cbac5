"""Exceptions for the failures of single files, raised and returned by kadenzo.bulk.

Every class derives from ``Exception`` (so ``except Exception`` and process
pools handle them like any other error), can be imported from here, and
survives a pickle round trip, and so a ``ProcessPoolExecutor`` or
``multiprocessing.Pool`` task, unchanged.

``message`` says what is wrong and where (the field or frame and its byte
offset), ``detail`` is the text the module's own functions give for the same
input (at most about 1 KiB; longer texts are cut and say their length), and
``path`` is the path as ``os.fspath`` gives it, or ``None`` when the contents
were given as bytes. ``salvaged`` is ``None`` unless the error comes from a
decode with ``salvage=True``: then it is what the file still holds
(``Salvaged``, also ``kadenzo.bulk.Salvaged``); a pickled copy has ``None``
there, since replays do not pickle.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from kadenzo import Replay

__all__ = ["ReplayError", "ReplayFileError", "ReplayDecodeError", "Salvaged"]

PathName = Union[str, bytes]


def _shown(path: PathName | None) -> str:
    return os.fsdecode(path) if path is not None else "<bytes>"


class ReplayError(Exception):
    """A replay that could not be read or decoded. `str()` is
    `"<path>: <message>"` (`<bytes>` for contents given as bytes)."""

    path: PathName | None
    message: str
    detail: str
    salvaged: Salvaged | None = None

    def __init__(self, message: str, path: PathName | None = None, detail: str = "") -> None:
        super().__init__(message)
        self.message = message
        self.path = path
        self.detail = detail

    def __str__(self) -> str:
        return f"{_shown(self.path)}: {self.message}"

    def __reduce__(self) -> tuple[Any, ...]:
        # `salvaged` stays behind: its Replay does not pickle.
        return (type(self), (self.message, self.path, self.detail))


class ReplayFileError(ReplayError, OSError):
    """The file could not be opened or read; prints like Python's own file errors.

    ``errno``, ``strerror`` and ``filename`` are those of ``OSError``.
    """

    def __init__(
        self,
        errno: int,
        strerror: str,
        path: PathName | None = None,
        message: str = "",
        detail: str = "",
    ) -> None:
        OSError.__init__(self, errno, strerror, path)
        self.message = message or strerror
        self.path = path
        self.detail = detail

    def __str__(self) -> str:
        return OSError.__str__(self)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.errno, self.strerror, self.path, self.message, self.detail))


class ReplayDecodeError(ReplayError, ValueError):
    """The bytes are not a replay this module accepts (or exceed one of its limits)."""


@dataclass(frozen=True)
class Salvaged:
    """What a damaged file still holds, read before the fault its error names.

    ``replay`` is a partial ``kadenzo.Replay``: the fields in
    ``fields_read`` (names of the file's fields in file order, as
    ``Replay`` names them) were read whole; those in ``fields_not_read`` keep
    neutral defaults (0, ``None``, ``False``, ``GameMode.STD``).
    ``replay_data`` counts as read only when its whole frame text decoded
    (``rng_seed`` comes with it); ``frames_partial`` is ``True`` when
    ``replay_data`` instead holds the frames before the fault: those of the
    text decompressed so far, its last, partial item dropped, or those before
    the first item that does not decode (the list may be empty).
    """

    replay: Replay
    fields_read: tuple[str, ...]
    fields_not_read: tuple[str, ...]
    frames_partial: bool
