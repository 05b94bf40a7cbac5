"""Outputs that never lie: a file named by -o is written beside its final
name and moved into place when it is complete, so the name never holds a
torn or unreadable file; write failures end the command with their own exit
status (kadenzo.cli._common); an output that names one of the inputs is
refused before anything is read.

    with OutputFile(path) as output:        # output.path: where to write now
        write_everything(output.path)
    # moved to `path` when the block ends normally, or on SIGINT/SIGTERM when
    # keep_when_stopped (the writer closed its file properly first); removed on
    # any other error.
"""

from __future__ import annotations

import contextlib
import os
import stat
import sys
import tempfile
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import IO

from kadenzo import _stop_signals
from kadenzo import sources as _sources
from kadenzo._for_people import for_people
from kadenzo.cli._common import UsageError, WriteFailed


@contextlib.contextmanager
def write_errors(name: str) -> Iterator[None]:
    """Turns a failed write inside into WriteFailed naming `name`; a closed
    pipe (BrokenPipeError) goes on as it is, for the caller to end quietly."""
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as error:
        raise WriteFailed(f"cannot write {for_people(name)}: {error.strerror or error}") from error


def refuse_overwriting_inputs(output: str | os.PathLike[str] | None, inputs: Iterable[str | os.PathLike[str]]) -> None:
    """UsageError when `output` is the same file as one of `inputs`. The
    output is looked at once and the inputs only when it exists, so a new
    output costs nothing."""
    if output is None:
        return
    try:
        wanted = os.stat(output)
    except OSError:  # not there yet: it replaces nothing
        return
    for source in inputs:
        with contextlib.suppress(OSError, ValueError):
            if os.path.samestat(os.stat(source), wanted):
                raise UsageError(
                    f"the output {for_people(output)} is the input {for_people(source)}; refusing to overwrite it"
                )


def refuse_replacing_found_inputs(
    output: str | os.PathLike[str] | None, sources: Iterable[str | os.PathLike[str]], pattern: str
) -> None:
    """UsageError when `output` would replace an input: a file given, or a file
    a folder given holds under a name `pattern` matches. The second is judged
    by place and name, whether or not the file exists yet: a walk may still be
    going on while the output is written, and then it would read the output."""
    if output is None:
        return
    sources = list(sources)
    refuse_overwriting_inputs(output, [source for source in sources if not os.path.isdir(source)])
    target = os.path.realpath(output)  # a link is written through, so its target is what is replaced
    if not _sources.check_glob(pattern).match(os.path.basename(target)):
        return
    for folder in sources:
        if not os.path.isdir(folder):
            continue
        inside = os.path.realpath(folder)
        if os.path.commonpath([target, inside]) == inside:
            raise UsageError(
                f"the output {for_people(output)} is one of the {pattern!r} files of the input "
                f"{for_people(folder)}; refusing to overwrite it"
            )


def refuse_writing_inside_inputs(output: str | os.PathLike[str], folders: Iterable[str | os.PathLike[str]]) -> None:
    """UsageError when the folder `output` is one of the input `folders` or
    lies inside one (it would be read while written, or replace the inputs)."""
    target = os.path.realpath(output)
    for folder in folders:
        inside = os.path.realpath(folder)
        if os.path.commonpath([target, inside]) == inside:
            raise UsageError(
                f"the output {for_people(output)} is inside the input {for_people(folder)}; refusing to write there"
            )


def standard_output() -> IO[str]:
    """sys.stdout, or WriteFailed when the process was started with it closed."""
    if sys.stdout is None:
        raise WriteFailed("standard output is closed")
    return sys.stdout


def _is_special(path: str) -> bool:
    """A device or pipe (/dev/null, a FIFO) is written in place: nothing can be moved onto it."""
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def _mode_for(path: str) -> int:
    """The permissions the file would have if written in place: those of the
    file it replaces, or those a plain open() gives a new file."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


class OutputFile:
    """A file written under a temporary name in the folder of `path` and moved
    to `path` when complete. `keep_when_stopped`: a SIGINT or SIGTERM
    (KeyboardInterrupt) still moves what was written into place (for tables
    of whole rows); otherwise it is removed like after any error."""

    def __init__(self, path: str | os.PathLike[str], keep_when_stopped: bool = False) -> None:
        # A symbolic link is written through, as open() would: its target is replaced, not the link.
        self.final_path = os.path.realpath(path) if os.path.islink(path) else os.fspath(path)
        self.keep_when_stopped = keep_when_stopped
        self._temporary: str | None = None
        if _is_special(self.final_path):
            self.path = self.final_path
            return
        folder, name = os.path.split(os.path.abspath(self.final_path))
        with write_errors(self.final_path):
            descriptor, self._temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
            try:
                os.fchmod(descriptor, _mode_for(self.final_path))
            finally:
                os.close(descriptor)
        self.path = self._temporary

    def commit(self) -> None:
        """Moves the complete file to its final name."""
        if self._temporary is not None:
            with _stop_signals.holding(), write_errors(self.final_path):
                os.replace(self._temporary, self.final_path)
            self._temporary = None

    def discard(self) -> None:
        """Removes the temporary file; the final name keeps what it held before."""
        if self._temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(self._temporary)
            self._temporary = None

    def __enter__(self) -> OutputFile:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if error is None or (self.keep_when_stopped and isinstance(error, KeyboardInterrupt)):
            try:
                self.commit()
            except BaseException:
                self.discard()
                raise
        else:
            self.discard()
