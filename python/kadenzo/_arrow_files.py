"""Files for pyarrow's readers and writers under any name: pyarrow takes a
name as UTF-8 only, so a name holding bytes that are not (surrogate escapes
here) is opened as a Python file instead. Shared by the Parquet datasets of
kadenzo.dataset and the tables the command line writes."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from typing import IO


def arrow_target(path: str, mode: str = "wb") -> str | IO[bytes]:
    """`path` as pyarrow's readers and writers take it: they take a name as
    UTF-8 only, so one holding bytes that are not (surrogate escapes) is
    opened here as a Python file instead, which the caller closes."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return open(path, mode)  # noqa: SIM115 (closed by the caller, after pyarrow closed its writer)
    return path


def close_arrow_target(target: str | IO[bytes] | None) -> None:
    if target is not None and not isinstance(target, str):
        target.close()


@contextlib.contextmanager
def arrow_file(path: str, mode: str = "wb") -> Iterator[str | IO[bytes]]:
    """arrow_target as a block: the file it opened is closed at its end."""
    target = arrow_target(path, mode)
    try:
        yield target
    finally:
        close_arrow_target(target)
