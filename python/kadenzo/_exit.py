"""Exit statuses of the `kadenzo` command, and the errors that end a command
with one of them. Every command reports through these, so a script can tell
"some replays were bad" from "the output is not there".

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

import enum


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
