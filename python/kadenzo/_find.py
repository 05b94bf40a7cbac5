"""Finding replay files: the files given, and the files under each folder
given whose names match a pattern, folder by folder in name order.

The walk keeps its own list of folders to visit, so a tree of any depth is
walked (no recursion limit), and holds no folder open while it goes deeper.
A folder that cannot be read is reported as a `FolderError` in the place of
its files. Symbolic links to folders are not followed (a link loop cannot
trap the walk); links to files are taken like files.
"""

from __future__ import annotations

import fnmatch
import os
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

from kadenzo._exit import UsageError

# A pattern is matched against one file name, and no file name is longer.
# It also bounds the work of the standard library's translation, which grows
# faster than the pattern's length for runs of "[".
MAX_PATTERN_LENGTH = 255


class PatternError(UsageError, ValueError):
    """A --glob pattern no file name fits: a wrong command line (exit 2) for
    the command, a ValueError for a caller of kadenzo.dataset."""


@dataclass(frozen=True)
class FolderError:
    """A folder whose contents could not be listed, and why."""

    path: str
    message: str


def name_matcher(pattern: str) -> re.Pattern[str]:
    """A matcher of file names for a shell pattern ("*.kvr"), ignoring case,
    so "*.kvr" finds "PLAY.KVR" too. PatternError for a pattern no name fits."""
    if not pattern or len(pattern) > MAX_PATTERN_LENGTH or "/" in pattern or "\0" in pattern:
        raise PatternError(
            f"--glob takes one file-name pattern of 1 to {MAX_PATTERN_LENGTH} characters "
            "without '/' (for example '*.kvr')"
        )
    return re.compile(fnmatch.translate(pattern), re.IGNORECASE)


def walk(folder: str, matches: re.Pattern[str]) -> Iterator[str | FolderError]:
    """The files under `folder` whose names match, each folder's files sorted
    before its subfolders (also sorted), and a FolderError for each folder
    that cannot be read."""
    waiting = [folder]
    while waiting:
        current = waiting.pop()
        try:
            with os.scandir(current) as entries:
                listed = list(entries)
        except OSError as error:
            yield FolderError(current, f"cannot read the folder: {error.strerror or error}")
            continue
        files, folders = [], []
        for entry in listed:
            try:
                if entry.is_dir(follow_symlinks=False):
                    folders.append(entry.name)
                elif matches.match(entry.name) and entry.is_file():
                    files.append(entry.name)
            except OSError:  # gone since it was listed
                continue
        for name in sorted(files):
            yield os.path.join(current, name)
        waiting.extend(os.path.join(current, name) for name in sorted(folders, reverse=True))


def find_replays(
    sources: Sequence[str], pattern: str = "*.kvr", empty_folders: list[str] | None = None
) -> Iterator[str | FolderError]:
    """Each source that is a file, and the matching files under each folder.
    A source that is neither is passed on: decoding it reports why. Folders
    given that hold no matching file are added to `empty_folders`."""
    matches = name_matcher(pattern)
    for source in sources:
        if not os.path.isdir(source):
            yield source
            continue
        found = 0
        for item in walk(source, matches):
            found += 1
            yield item
        if not found and empty_folders is not None:
            empty_folders.append(source)
