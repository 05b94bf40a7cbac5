"""What the `--help` of every `kadenzo` command shares: one formatter, the
list of exit statuses as every command's epilog, and the texts of the
options several commands take, so that they say the same thing everywhere."""

from __future__ import annotations

import argparse
import textwrap

EXIT_STATUSES = """exit status:
  0    done
  1    a replay could not be read or decoded
  2    a wrong command line, a missing optional library, or -o naming an input
  3    no file found in the folders given
  4    the output could not be written (a file named by -o is left as it was)
  130  stopped by SIGINT (Ctrl-C), 143 by SIGTERM: the rows so far are kept
  141  the reader of standard output went away (| head)"""

GLOB_HELP = "names of the files searched for in folders, case ignored (default: %(default)s)"
THREADS_DEFAULT = "(default: the worker pool's size)"
THREADS_HELP = f"decoding threads {THREADS_DEFAULT}"


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
