"""The `kadenzo` command line (also `python -m kadenzo`), on top of the
library: one module per command, the options they share declared once
(kadenzo.cli._options). Every command reads its PATHs by the rule of
kadenzo.sources: files, folders, glob patterns, archives and their members.

    kadenzo summary PATH... [-o OUT.csv|OUT.parquet] [--header-only] [--stats] [--salvage] [--glob PATTERN] [--threads N]
    kadenzo frames PATH [-o OUT.csv|OUT.parquet] [--salvage]
    kadenzo frames PATH... -o OUT_DIR/ [--salvage] [--glob PATTERN] [--threads N]
    kadenzo show PATH... [--salvage]
    kadenzo plot FILE [-o OUT.png] [--start S] [--end S]
    kadenzo compare PATH... [--top K] [-o OUT.csv|OUT.parquet] [--grid-ms MS] [--mirror-y H]
    kadenzo anonymise PATH... -o OUTDIR [--overwrite]       (the key in $KADENZO_ANONYMISE_KEY)

Exit statuses: see kadenzo.cli._common (0 done, 1 a replay failed, 2 usage,
3 no file found, 4 the output could not be written, 130/143 stopped by
SIGINT or SIGTERM, 141 standard output closed by its reader).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import kadenzo
from kadenzo import _stop_signals
from kadenzo._for_people import say
from kadenzo.cli import _options, anonymise, compare, frames, plot, show, summary
from kadenzo.cli._common import CommandError, ExitStatus, check_glob
from kadenzo.cli._tables import silence_stdout

__all__ = ["build_parser", "entry_point", "main"]

# The commands, in the order of the help: each module adds its parser and runs it.
COMMANDS = (summary, frames, show, plot, compare, anonymise)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kadenzo",
        description="Decode Kivo replay files: tables of folders, frames, summaries and plots.",
        epilog="Run 'kadenzo COMMAND --help' for the options of a command.\n\n" + _options.EXIT_STATUSES,
        formatter_class=_options.HelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"kadenzo {getattr(kadenzo, '__version__', '(unknown version)')}"
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in COMMANDS:
        command = module.add_parser(commands)
        # Every command's help ends with the exit statuses, and its own usage
        # shows when its command line is wrong.
        command.epilog = _options.EXIT_STATUSES
        command.formatter_class = _options.HelpFormatter
        command.set_defaults(run=module.run, command_parser=command)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    with _stop_signals.stopping_on_signals():
        try:
            args, unknown = build_parser().parse_known_args(argv)
            if unknown:  # argparse would show the usage of `kadenzo`, not of the command
                args.command_parser.error(f"unrecognized arguments: {' '.join(unknown)}")
            return run(args)
        except KeyboardInterrupt as stop:  # before a command started
            return stop.status if isinstance(stop, _stop_signals.Stopped) else ExitStatus.INTERRUPTED


def run(args: argparse.Namespace) -> int:
    """Runs the command; every way it ends is an exit status and at most one line on standard error."""
    try:
        if hasattr(args, "glob"):
            check_glob(args.glob)
        return int(args.run(args))
    except BrokenPipeError:  # the reader of standard output went away (`| head`): quiet, as other tools are
        silence_stdout()
        return ExitStatus.BROKEN_PIPE
    except CommandError as error:
        say(f"kadenzo {args.command}: {error}")
        return error.status
    except OSError as error:  # the output cannot be written
        say(f"kadenzo {args.command}: {error}")
        return ExitStatus.WRITE_FAILED
    except MemoryError:
        say(f"kadenzo {args.command}: out of memory")
        return ExitStatus.FAILED
    except KeyboardInterrupt as stop:
        if args.command not in ("summary", "anonymise", "compare"):  # these have said how far they came
            say("interrupted")
        return stop.status if isinstance(stop, _stop_signals.Stopped) else ExitStatus.INTERRUPTED


def entry_point() -> None:
    """The console script."""
    sys.exit(main())
