"""`kadenzo anonymise`: replays rewritten with the player's name replaced by a
stable pseudonym, every other field unchanged, into an output folder.

The pseudonym is "player-" and the first 16 hexadecimal digits of
HMAC-SHA256(key, name as UTF-8): the same key gives a player the same
pseudonym in every run and every folder (so plays of one player stay linked),
and without the key nobody can find a name by hashing guesses. The key comes
from --key or the environment variable KADENZO_ANONYMISE_KEY; keep it secret,
or pick a new one to unlink two publications. An absent name stays absent, an
empty one empty.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import hashlib
import hmac
import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Protocol

import kadenzo
from kadenzo import _find, bulk, encode
from kadenzo._command_help import GLOB_HELP
from kadenzo._exit import ExitStatus, NothingFound, UsageError
from kadenzo._for_people import counted, for_people, say
from kadenzo._output import refuse_writing_inside_inputs

KEY_VARIABLE = "KADENZO_ANONYMISE_KEY"


class ProgressLike(Protocol):
    def update(self, failed: int) -> None: ...
    def close(self) -> None: ...


def pseudonym(name: str | None, key: bytes) -> str | None:
    """The stable pseudonym of `name` under `key`."""
    if not name:
        return name
    digest = hmac.new(key, name.encode("utf-8"), hashlib.sha256).hexdigest()
    return "player-" + digest[:16]


# (input, output) for a file; a folder that could not be read in its place.
Planned = tuple[str, str] | _find.FolderError


def planned_outputs(sources: Sequence[str], pattern: str, out_dir: str, empty_folders: list[str]) -> Iterator[Planned]:
    """A file given keeps its name in `out_dir`; the files found under a
    folder keep their place relative to it."""
    for source in sources:
        for item in _find.find_replays([source], pattern, empty_folders):
            if isinstance(item, _find.FolderError):
                yield item
            elif item == source:
                yield item, os.path.join(out_dir, os.path.basename(item))
            else:
                yield item, os.path.join(out_dir, os.path.relpath(item, source))


def refuse_shared_targets(files: Sequence[tuple[str, str]]) -> None:
    """UsageError naming both inputs when two would be written to one file
    (the same relative name under two folders given): the second would
    replace the first, or fail as existing, and one play would be lost."""
    first_of: dict[str, str] = {}
    for source, target in files:
        key = os.path.normcase(os.path.abspath(target))
        if key in first_of:
            raise UsageError(
                f"{for_people(first_of[key])} and {for_people(source)} would both be written to "
                f"{for_people(target)}: anonymise them into separate output folders"
            )
        first_of[key] = source


def rewrite(replay: kadenzo.Replay, key: bytes, target: str, overwrite: bool) -> None:
    replay.username = pseudonym(replay.username, key)
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    encode.write(replay, target, overwrite=overwrite)


def message_of(error: BaseException) -> str:
    if isinstance(error, FileExistsError):
        return f"{error.filename} exists (--overwrite replaces it)"
    return getattr(error, "message", None) or str(error)


def run(args: argparse.Namespace, progress_class: Callable[[int, bool], ProgressLike]) -> int:
    """Decodes on the worker pool, writes on a pool of threads (the writer
    compresses without the interpreter lock), reports in input order."""
    key_text = args.key if args.key is not None else os.environ.get(KEY_VARIABLE)
    if not key_text:
        raise UsageError(f"a key is needed: --key KEY or the environment variable {KEY_VARIABLE}")
    key = key_text.encode("utf-8", "surrogateescape")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"{args.output} is not a folder")
    empty_folders: list[str] = []
    plan = list(planned_outputs(args.paths, args.glob, args.output, empty_folders))
    files = [item for item in plan if isinstance(item, tuple)]
    for source, target in files:
        if os.path.exists(target) and os.path.samefile(source, target):
            raise UsageError(f"{target} is one of the inputs: choose another output folder")
    refuse_writing_inside_inputs(args.output, [path for path in args.paths if os.path.isdir(path)])
    refuse_shared_targets(files)
    if not plan:
        raise NothingFound(f"no file matching {args.glob!r} in {', '.join(empty_folders) or 'the paths given'}")
    for folder in empty_folders:
        say(f"kadenzo anonymise: no file matching {args.glob!r} in {folder}")

    done = failed = unwritten = 0
    progress = progress_class(len(plan), args.progress)
    threads = args.threads or os.cpu_count() or 1
    # (path, whether the future writes, the future): results reported in input order.
    pending: collections.deque[tuple[str, bool, concurrent.futures.Future[None]]] = collections.deque()

    def settle(keep: int) -> None:
        """Reports the oldest results until at most `keep` are pending."""
        nonlocal done, failed, unwritten
        while len(pending) > keep:
            path, writes, future = pending.popleft()
            error = future.exception()
            done += 1
            if error is not None:
                failed += 1
                unwritten += writes
                say(f"kadenzo anonymise: {for_people(path)}: {message_of(error)}")
            progress.update(failed)

    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="kadenzo-anonymise")
    try:
        outcomes = bulk.decode([source for source, _ in files], threads=args.threads)
        targets = iter(files)
        for item in plan:  # folders that cannot be read keep their place among the files
            if isinstance(item, _find.FolderError):
                pending.append((item.path, False, _failed(OSError(item.message))))
            else:
                outcome, (_, target) = next(outcomes), next(targets)
                if outcome.replay is None:
                    pending.append((item[0], False, _failed(outcome.error or ValueError("no replay"))))
                else:
                    future = pool.submit(rewrite, outcome.replay, key, target, args.overwrite)
                    pending.append((item[0], True, future))
            settle(keep=2 * threads)
        settle(keep=0)
    except KeyboardInterrupt:
        pool.shutdown(wait=True, cancel_futures=True)  # files being written are finished whole
        progress.close()
        say(f"interrupted: {done} of {counted(len(plan), 'file')} written, {failed} failed")
        raise
    pool.shutdown()
    progress.close()
    say(f"{counted(done, 'file')}, {failed} failed")
    if unwritten:
        return ExitStatus.WRITE_FAILED
    return ExitStatus.FAILED if failed else ExitStatus.OK


def _failed(error: BaseException) -> concurrent.futures.Future[None]:
    future: concurrent.futures.Future[None] = concurrent.futures.Future()
    future.set_exception(error)
    return future


def add_parser(commands: Any, thread_count: Callable[[str], int], epilog: str) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "anonymise",
        help="rewrite replays with the player's name replaced by a stable pseudonym",
        description="Rewrites replays into OUTDIR with the username replaced by 'player-' and 16 hex digits "
        "of HMAC-SHA256(key, name); every other field is kept. Folders are searched with their "
        "subfolders and their layout is kept under OUTDIR; two inputs that would be written to "
        "one file name are refused, as is an OUTDIR inside an input folder. Each file is written "
        "beside its name and renamed when complete.",
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("paths", nargs="+", metavar="PATH", help="replay files and folders")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="folder for the rewritten files")
    parser.add_argument("--key", help=f"the secret key of the pseudonyms (default: ${KEY_VARIABLE})")
    parser.add_argument("--overwrite", action="store_true", help="replace files that exist in OUTDIR")
    parser.add_argument(
        "--glob",
        default="*.kvr",
        metavar="PATTERN",
        help=GLOB_HELP,
    )
    parser.add_argument(
        "--threads", type=thread_count, metavar="N", help="decoding and writing threads (default: one per processor)"
    )
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    return parser
