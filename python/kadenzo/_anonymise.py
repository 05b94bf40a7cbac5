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
import sys
from collections.abc import Callable, Iterator
from typing import Any, Protocol

import kadenzo
from kadenzo import _summary, bulk, encode

KEY_VARIABLE = "KADENZO_ANONYMISE_KEY"


class ProgressLike(Protocol):
    def update(self, failed: int) -> None: ...
    def close(self) -> None: ...


class UsageError(Exception):
    """A command line that cannot run (no key, an output that is no folder)."""


def pseudonym(name: str | None, key: bytes) -> str | None:
    """The stable pseudonym of `name` under `key`."""
    if not name:
        return name
    digest = hmac.new(key, name.encode("utf-8"), hashlib.sha256).hexdigest()
    return "player-" + digest[:16]


def planned_outputs(sources: list[str], pattern: str, out_dir: str) -> Iterator[tuple[str, str]]:
    """(input, output) pairs: a file keeps its name in `out_dir`, the files
    found under a folder keep their place relative to it."""
    for source in sources:
        if os.path.isdir(source):
            for path in _summary.find_replays([source], pattern):
                yield path, os.path.join(out_dir, os.path.relpath(path, source))
        else:
            yield source, os.path.join(out_dir, os.path.basename(source))


def rewrite(replay: kadenzo.Replay, key: bytes, target: str, overwrite: bool) -> None:
    replay.username = pseudonym(replay.username, key)
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    encode.write(replay, target, overwrite=overwrite)


def run(args: argparse.Namespace, progress_class: Callable[[int, bool], ProgressLike]) -> int:
    """Decodes on the worker pool, writes on a pool of threads (the writer
    compresses without the interpreter lock), reports in input order."""
    key_text = args.key if args.key is not None else os.environ.get(KEY_VARIABLE)
    if not key_text:
        raise UsageError(f"a key is needed: --key KEY or the environment variable {KEY_VARIABLE}")
    key = key_text.encode("utf-8")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"{args.output} is not a folder")
    plan = list(planned_outputs(args.paths, args.glob, args.output))
    done = failed = 0
    progress = progress_class(len(plan), args.progress)
    threads = args.threads or os.cpu_count() or 1
    pending: collections.deque[tuple[str, concurrent.futures.Future[None]]] = collections.deque()

    def report(path: str, error: BaseException | None) -> None:
        nonlocal done, failed
        done += 1
        if error is not None:
            failed += 1
            if isinstance(error, FileExistsError):
                message = f"{_summary.printable(error.filename)} exists (--overwrite replaces it)"
            else:
                message = getattr(error, "message", None) or str(error)
            print(f"kadenzo anonymise: {_summary.printable(path)}: {message}", file=sys.stderr)
        progress.update(failed)

    def settle(oldest_only: bool) -> None:
        while pending and (not oldest_only or len(pending) > 2 * threads):
            path, future = pending.popleft()
            report(path, future.exception())

    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="kadenzo-anonymise")
    try:
        targets = dict(plan)
        for outcome in bulk.decode([path for path, _ in plan], threads=args.threads):
            if outcome.replay is None:
                pending.append((outcome.path, _failed(outcome.error or ValueError("no replay"))))
            else:
                future = pool.submit(rewrite, outcome.replay, key, targets[outcome.path], args.overwrite)
                pending.append((outcome.path, future))
            settle(oldest_only=True)
        settle(oldest_only=False)
    except KeyboardInterrupt:
        pool.shutdown(wait=True, cancel_futures=True)   # files being written are finished whole
        progress.close()
        print(f"interrupted: {done} of {len(plan)} files written, {failed} failed", file=sys.stderr)
        return 130
    pool.shutdown()
    progress.close()
    print(f"{done} files, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


def _failed(error: BaseException) -> concurrent.futures.Future[None]:
    future: concurrent.futures.Future[None] = concurrent.futures.Future()
    future.set_exception(error)
    return future


def add_parser(commands: Any, positive_int: Callable[[str], int]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "anonymise", help="rewrite replays with the player's name replaced by a stable pseudonym",
        description="Rewrites replays into OUTDIR with the username replaced by 'player-' and 16 hex digits "
                    "of HMAC-SHA256(key, name); every other field is kept. Folders are searched with their "
                    "subfolders and their layout is kept under OUTDIR. Exit status 1 when any file failed.")
    parser.add_argument("paths", nargs="+", metavar="PATH", help="replay files and folders")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="folder for the rewritten files")
    parser.add_argument("--key", help=f"the secret key of the pseudonyms (default: ${KEY_VARIABLE})")
    parser.add_argument("--overwrite", action="store_true", help="replace files that exist in OUTDIR")
    parser.add_argument("--glob", default="*.kvr", metavar="PATTERN",
                        help="names of the files searched for in folders (default: %(default)s)")
    parser.add_argument("--threads", type=positive_int, metavar="N",
                        help="decoding and writing threads (default: one per processor)")
    parser.add_argument("--no-progress", dest="progress", action="store_false", help="no progress bar")
    return parser
