"""What every `kadenzo` command shares: the exit statuses and the errors that
end a command with one of them (so a script can tell "some replays were
bad" from "the output is not there"), the progress bar, and the first look
at the sources that finds what a run will read before it reads anything.

    0    done: every file read and decoded, the output complete
    1    one or more replays could not be read or decoded (summary: their rows say why)
    2    usage: a wrong command line or option value, a missing optional library,
         or an output that names one of the inputs (refused before anything is read)
    3    nothing found: no file in the folders given matches the pattern
    4    the output could not be written (disk full, no permission, standard output
         closed); a file named by -o is then left as it was before the run
    130  interrupted by SIGINT (Ctrl-C), 143 by SIGTERM: the rows written so far are
         kept in a whole, readable file
    141  the reader of standard output went away (`| head`): quiet, as other tools are
"""

from __future__ import annotations

import contextlib
import enum
import importlib
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from kadenzo import sources
from kadenzo._for_people import for_people


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1
    USAGE = 2
    NOTHING_FOUND = 3
    WRITE_FAILED = 4
    INTERRUPTED = 130  # 128 + SIGINT
    BROKEN_PIPE = 141  # 128 + SIGPIPE
    TERMINATED = 143  # 128 + SIGTERM


class CommandError(Exception):
    """Ends the command with `status`; the message is for a person (one line)."""

    status = ExitStatus.FAILED


class Failure(CommandError):
    """A replay that cannot be read or decoded; the message names the file."""

    status = ExitStatus.FAILED


class UsageError(CommandError):
    """The command cannot run as asked."""

    status = ExitStatus.USAGE


class MissingDependency(UsageError):
    """An optional library the command needs is not installed."""


class NothingFound(CommandError):
    """No input file was found."""

    status = ExitStatus.NOTHING_FOUND


class WriteFailed(CommandError):
    """The output could not be written."""

    status = ExitStatus.WRITE_FAILED


def check_glob(pattern: str) -> None:
    """UsageError for a --glob no file name fits (the library's ValueError, said of the option)."""
    try:
        sources.check_glob(pattern)
    except ValueError:
        raise UsageError(
            f"--glob takes one file-name pattern of 1 to {sources.MAX_PATTERN_LENGTH} characters "
            "without '/' (for example '*.kvr')"
        ) from None


@dataclass
class Look:
    """What a first look at the sources found, before anything is read:
    the number of files (None when an archive's members are among them),
    and the folders and patterns given that hold no matching file."""

    total: int | None = 0
    unmatched: list[Any] = field(default_factory=list)

    def nothing_found(self, pattern: str) -> NothingFound:
        folders = [os.fsdecode(item) for item in self.unmatched if os.path.isdir(item)]
        patterns = [os.fsdecode(item) for item in self.unmatched if not os.path.isdir(item)]
        if patterns and not folders:
            return NothingFound(f"no file matches {', '.join(patterns)}")
        return NothingFound(f"no file matching {pattern!r} in {', '.join(folders) or 'the paths given'}")


def look(paths: Sequence[str], pattern: str, output: str | None = None) -> Look:
    """Walks the sources once, opening nothing, and refuses (UsageError) an
    `output` that is one of the files found: a link among them may lead to
    it. The output is looked at once, the files only when it exists, so a
    new output costs nothing; the walk holds no list of the files."""
    check_glob(pattern)
    try:
        wanted = os.stat(output) if output is not None else None
    except OSError:  # not there yet: it replaces nothing
        wanted = None
    found = Look()
    for source in sources.files(paths, pattern, unmatched=found.unmatched):
        if found.total is not None:
            found.total = None if sources.is_archive(source.path) else found.total + 1
        if wanted is not None and source.error is None and isinstance(source.path, str):
            with contextlib.suppress(OSError):
                if os.path.samestat(os.stat(source.path), wanted):
                    raise UsageError(
                        f"the output {for_people(output or '')} is the input {for_people(source.path)}; "
                        "refusing to overwrite it"
                    )
    return found


class Progress:
    """A bar on standard error while it is a terminal and tqdm is installed;
    otherwise nothing. `total` None counts without a bar's end."""

    def __init__(self, total: int | None, enabled: bool, unit: str = "file"):
        self._tqdm: Any = None
        self._bar: Any = None
        if enabled and sys.stderr is not None and sys.stderr.isatty():
            try:
                self._tqdm = importlib.import_module("tqdm").tqdm
            except ImportError:
                return
        self.start(total, unit)

    def start(self, total: int | None, unit: str) -> None:
        """A new bar (compare counts files, then pairs)."""
        self.close()
        if self._tqdm is not None:
            self._bar = self._tqdm(total=total, unit=unit, file=sys.stderr, dynamic_ncols=True, smoothing=0.05)

    def update(self, failed: int = 0, done: int | None = None) -> None:
        """One more done (or `done` in all), `failed` of them failed."""
        if self._bar is not None:
            if failed:
                self._bar.set_postfix(failed=failed, refresh=False)
            self._bar.update(1 if done is None else done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def message_of(error: BaseException) -> str:
    """The text a failure shows after its file's name."""
    return getattr(error, "message", None) or str(error)
