"""The options the `kadenzo` commands share, declared once: the sources and
their --glob, -o, --threads, --salvage, --no-progress; the value types of
every option (each turns the option's text into its value or says what is
wrong with it); and one help layout, ending in the list of exit statuses."""

from __future__ import annotations

import argparse
import math
import textwrap
from collections.abc import Callable
from typing import TypeVar

from kadenzo import bulk

EXIT_STATUSES = """exit status:
  0    done
  1    a replay could not be read or decoded
  2    a wrong command line, a missing optional library, or -o naming an input
  3    no file found in the folders given
  4    the output could not be written (a file named by -o is left as it was)
  130  stopped by SIGINT (Ctrl-C), 143 by SIGTERM: the rows so far are kept
  141  the reader of standard output went away (| head)"""

SOURCES_HELP = (
    "replay files, folders (searched with their subfolders), glob patterns, "
    "zip or tar archives, or archive members (plays.zip::week1/a.kvr)"
)
THREADS_DEFAULT = "(default: the worker pool's size)"


class HelpFormatter(argparse.HelpFormatter):
    """Wraps the lines of a description or epilog to the terminal's width,
    but keeps indented lines (a table such as the exit statuses) and
    headings (lines ending in ':') as they are written."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        lines = []
        for line in text.splitlines():
            if not line or line[0].isspace() or line.endswith(":"):
                lines.append(indent + line)
            else:
                lines.extend(textwrap.wrap(line, width, initial_indent=indent, subsequent_indent=indent))
        return "\n".join(lines)


# --- value types: argparse names a type by its __name__ ("invalid number value: 'abc'") -----

OptionType = TypeVar("OptionType", bound=Callable[[str], object])


def readable_name(name: str) -> Callable[[OptionType], OptionType]:
    """Names the type as argparse's messages show it."""

    def named(option_type: OptionType) -> OptionType:
        option_type.__name__ = name
        return option_type

    return named


@readable_name("whole number")
def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


@readable_name("thread count")
def thread_count(text: str) -> int:
    """1 or more; a count past any pool's size means the pool's size."""
    return min(positive_int(text), bulk.MAX_THREADS)


@readable_name("number")
def finite_number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("must be a finite number")
    return value


@readable_name("number")
def positive_number(text: str) -> float:
    value = finite_number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a number greater than 0")
    return value


@readable_name("number of seconds")
def seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError("must be a number of seconds, 0 or more")
    return value


# --- the shared options ----------------------------------------------------------


def add_sources(parser: argparse.ArgumentParser, what: str = SOURCES_HELP, several: bool = True) -> None:
    """The sources (PATH...) and --glob, read by kadenzo.sources' rule."""
    parser.add_argument("paths", nargs="+" if several else None, metavar="PATH", help=what)
    parser.add_argument(
        "--glob",
        default="*.kvr",
        metavar="PATTERN",
        help="names of the files searched for in folders and archives, case ignored (default: %(default)s)",
    )


def add_output(parser: argparse.ArgumentParser, what: str, metavar: str = "FILE", required: bool = False) -> None:
    parser.add_argument("-o", "--output", metavar=metavar, required=required, help=what)


def add_threads(parser: argparse.ArgumentParser, what: str = "decoding threads") -> None:
    parser.add_argument("--threads", type=thread_count, metavar="N", help=f"{what} {THREADS_DEFAULT}")


def add_salvage(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--salvage", action="store_true", help=what)


def add_progress(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--no-progress",
        dest="progress",
        action="store_false",
        help="no progress bar (one shows on standard error while it is a terminal)",
    )
