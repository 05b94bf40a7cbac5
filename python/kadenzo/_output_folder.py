"""A folder of outputs (a Parquet dataset) that appears whole: it is written
as a hidden sibling (`.NAME.partial-XXXXXXXX`) and renamed to its final name
when complete, so the name never holds half a dataset.

    folder = OutputFolder(path)      # refuses a path that holds something already
    write_everything(folder.path)
    folder.commit()                  # or folder.discard() after a failure
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile

from kadenzo import _stop_signals


def _holds_something(path: str) -> bool:
    """True when `path` names a file, or a folder with anything in it; an
    empty folder can be replaced by the rename without losing anything."""
    if not os.path.lexists(path):
        return False
    if not os.path.isdir(path):
        return True
    with os.scandir(path) as entries:
        return any(True for _ in entries)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class OutputFolder:
    """A folder written under a hidden name beside `path` and renamed to
    `path` by commit(). A path that holds something is refused
    (FileExistsError) before anything is written."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        given = os.fspath(path)
        # A symbolic link to a folder is written through: its target is replaced, not the link.
        self.final_path = os.path.realpath(given) if os.path.islink(given) else os.path.abspath(given)
        if _holds_something(self.final_path):
            raise FileExistsError(f"{given} exists already: write the dataset to a new folder")
        parent, name = os.path.split(self.final_path)
        try:
            os.makedirs(parent, exist_ok=True)
        except FileExistsError:  # a file stands where a folder of the path should be
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), parent) from None
        self.path: str | None = tempfile.mkdtemp(prefix=f".{name}.partial-", dir=parent)
        # mkdtemp's folder is private (0700); the dataset gets what mkdir would give it.
        os.chmod(self.path, 0o777 & ~_umask())

    def final_name(self, written: str) -> str:
        """Where `written`, a path under the folder being written, is once committed."""
        assert self.path is not None
        return os.path.join(self.final_path, os.path.relpath(written, self.path))

    def commit(self) -> None:
        """Renames the complete folder to its final name; FileExistsError when
        something appeared there meanwhile (the written folder is then removed)."""
        if self.path is None:
            return
        try:
            with _stop_signals.holding():
                os.rename(self.path, self.final_path)
        except OSError as error:
            self.discard()
            if error.errno in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
                raise FileExistsError(f"{self.final_path} appeared while the dataset was written") from None
            raise
        self.path = None

    def discard(self) -> None:
        """Removes the folder being written; the final name stays as it was."""
        if self.path is not None:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path = None
