"""`kadenzo anonymise`: replays rewritten with the player's name replaced by a
stable pseudonym, every other field unchanged, into an output folder.

The pseudonym is "player-" and the first 16 hexadecimal digits of
HMAC-SHA256(key, name as UTF-8): the same key gives a player the same
pseudonym in every run and every folder (so plays of one player stay linked),
and without the key nobody can find a name by hashing guesses. The key comes
from the environment variable KADENZO_ANONYMISE_KEY (or --key, which other
users of the machine can read in the process list); keep it secret, or pick
a new one to unlink two publications. An absent name stays absent, an empty
one empty.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import hashlib
import hmac
import os
from collections.abc import Iterator, Sequence
from typing import Any

import kadenzo
from kadenzo import bulk, encode, sources
from kadenzo._for_people import for_people, say
from kadenzo.cli import _options
from kadenzo.cli._common import ExitStatus, Look, Progress, UsageError, check_glob, message_of
from kadenzo.cli._output import refuse_writing_inside_inputs

KEY_VARIABLE = "KADENZO_ANONYMISE_KEY"


def pseudonym(name: str | None, key: bytes) -> str | None:
    """The stable pseudonym of `name` under `key`."""
    if not name:
        return name
    digest = hmac.new(key, name.encode("utf-8"), hashlib.sha256).hexdigest()
    return "player-" + digest[:16]


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "anonymise",
        help="rewrite replays with the player's name replaced by a stable pseudonym",
        description="Rewrites replays into OUTDIR with the username replaced by 'player-' and 16 hex digits "
        f"of HMAC-SHA256(key, name); every other field is kept. The key comes from ${KEY_VARIABLE}, or "
        "--key, which other users of the machine can read in the process list. Folders are searched with "
        "their subfolders and their layout is kept under OUTDIR, as are an archive's members; two inputs "
        "that would be written to one file name are refused, as is an OUTDIR inside an input folder. Each "
        "file is written beside its name and renamed when complete.",
    )
    _options.add_sources(parser)
    _options.add_output(parser, "folder for the rewritten files", "OUTDIR", required=True)
    parser.add_argument(
        "--key",
        help=f"the secret key of the pseudonyms (default: ${KEY_VARIABLE}, which is safer: "
        "a key given here shows in the process list)",
    )
    parser.add_argument("--overwrite", action="store_true", help="replace files that exist in OUTDIR")
    _options.add_threads(parser, "decoding and writing threads")
    _options.add_progress(parser)
    return parser


def rewrite(replay: kadenzo.Replay, key: bytes, target: str, overwrite: bool) -> None:
    replay.username = pseudonym(replay.username, key)
    os.makedirs(os.path.dirname(target) or ".", exist_ok=True)
    encode.write(replay, target, overwrite=overwrite)


def written_message(error: BaseException) -> str:
    if isinstance(error, FileExistsError):
        return f"{error.filename} exists (--overwrite replaces it)"
    return message_of(error)


class Targets:
    """Where each file is written, and the refusal of two files that would
    be written to one name (the second would replace the first, or fail as
    existing, and one play would be lost)."""

    def __init__(self, out_dir: str) -> None:
        self.out_dir = out_dir
        self.first_of: dict[str, str] = {}

    def claim(self, source: str, relative: str) -> str:
        """The output of `source` (`relative`: its name below what held it);
        UsageError when another input has it already or the name leads out of OUTDIR."""
        parts = relative.replace("\\", "/").split("/")
        if os.path.isabs(relative) or ".." in parts:
            raise UsageError(f"{for_people(source)} is named to lead out of the output folder: {for_people(relative)}")
        target = os.path.join(self.out_dir, *[part for part in parts if part not in ("", ".")])
        key = os.path.normcase(os.path.abspath(target))
        if key in self.first_of:
            raise UsageError(
                f"{for_people(self.first_of[key])} and {for_people(source)} would both be written to "
                f"{for_people(target)}: anonymise them into separate output folders"
            )
        self.first_of[key] = source
        return target


def plan(paths: Sequence[str], pattern: str, targets: Targets, unmatched: list[Any]) -> list[Any]:
    """The files found (path, target), an archive as itself (its members are
    claimed when read), a folder that cannot be read as its Source. Two files
    that would share a target are refused here, before anything is written."""
    planned: list[Any] = []
    for source in sources.files(paths, pattern, unmatched=unmatched):
        if source.error is not None or sources.is_archive(source.path):
            planned.append(source)
            continue
        target = targets.claim(source.path, source.relative or os.path.basename(source.path))
        if os.path.exists(target) and os.path.samefile(source.path, target):
            raise UsageError(f"{target} is one of the inputs: choose another output folder")
        planned.append((source.path, target))
    return planned


def run(args: argparse.Namespace) -> int:
    """Decodes on the worker pool, writes on a pool of threads (the writer
    compresses without the interpreter lock), reports in input order."""
    key_text = args.key if args.key is not None else os.environ.get(KEY_VARIABLE)
    if not key_text:
        raise UsageError(f"a key is needed: the environment variable {KEY_VARIABLE} (or --key KEY)")
    key = key_text.encode("utf-8", "surrogateescape")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"{args.output} is not a folder")
    check_glob(args.glob)
    targets = Targets(args.output)
    unmatched: list[Any] = []
    planned = plan(args.paths, args.glob, targets, unmatched)
    refuse_writing_inside_inputs(args.output, [path for path in args.paths if os.path.isdir(path)])
    if not planned:
        raise Look(None, unmatched).nothing_found(args.glob)
    for folder in unmatched:
        say(f"kadenzo anonymise: no file matching {args.glob!r} in {os.fsdecode(folder)}")
    archives = any(isinstance(item, sources.Source) and item.error is None for item in planned)

    done = failed = unwritten = 0
    progress = Progress(None if archives else len(planned), args.progress)
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
                say(f"kadenzo anonymise: {for_people(path)}: {written_message(error)}")
            progress.update(failed)

    pool = concurrent.futures.ThreadPoolExecutor(threads, thread_name_prefix="kadenzo-anonymise")
    try:
        for path, target, result in _decoded(planned, targets, args.glob, args.threads):
            if result.replay is None or result.error is not None or target is None:
                pending.append((path, False, _failed(result.error or ValueError("no replay"))))
            else:
                pending.append((path, True, pool.submit(rewrite, result.replay, key, target, args.overwrite)))
            settle(keep=2 * threads)
        settle(keep=0)
    except KeyboardInterrupt:
        pool.shutdown(wait=True, cancel_futures=True)  # files being written are finished whole
        progress.close()
        say(f"interrupted: {done} of {len(planned) if not archives else '?'} files written, {failed} failed")
        raise
    pool.shutdown()
    progress.close()
    say(f"{done} file{'' if done == 1 else 's'}, {failed} failed")
    if unwritten:
        return ExitStatus.WRITE_FAILED
    return ExitStatus.FAILED if failed else ExitStatus.OK


def _decoded(
    planned: list[Any], targets: Targets, pattern: str, threads: int | None
) -> Iterator[tuple[str, str | None, Any]]:
    """(path, target, result) of every file planned, in order: the files
    between archives decoded as one run, each archive's members as another
    (a member's target claimed as it comes: one whose name is taken already,
    or leads out of OUTDIR, is a failure of its own)."""
    run: list[tuple[str, str]] = []
    for item in [*planned, None]:
        if isinstance(item, tuple):
            run.append(item)
            continue
        if run:
            with bulk.decode([path for path, _ in run], threads=threads) as results:
                for (path, target), result in zip(run, results):
                    yield path, target, result
            run = []
        if item is None:
            continue
        if item.error is not None:  # a folder that cannot be read keeps its place among the files
            yield os.fsdecode(item.path), None, _Unread(item.error)
            continue
        with bulk.decode_archive(item.path, glob=pattern, threads=threads) as results:
            for result in results:
                member = result.path.split(sources.MEMBER_SEPARATOR, 1)[-1] if result.path else ""
                try:
                    claimed = targets.claim(result.path, member)
                except UsageError as refusal:
                    yield result.path, None, _Unread(ValueError(str(refusal)))
                    continue
                yield result.path, claimed, result


class _Unread:
    """The result of something that gave no replay: its error alone."""

    def __init__(self, error: BaseException) -> None:
        self.replay, self.error, self.path = None, error, None


def _failed(error: BaseException) -> concurrent.futures.Future[None]:
    future: concurrent.futures.Future[None] = concurrent.futures.Future()
    future.set_exception(error)
    return future
