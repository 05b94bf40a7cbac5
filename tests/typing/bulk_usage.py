"""Typed use of kadenzo.bulk and kadenzo.errors, checked with mypy --strict
and run on the paths given (a summary of each, the failures collected)."""

import pathlib
import sys

import kadenzo
import kadenzo.bulk
from kadenzo.errors import ReplayDecodeError, ReplayError, ReplayFileError


def summarise(paths: list[pathlib.Path]) -> list[ReplayError]:
    failures: list[ReplayError] = []
    with kadenzo.bulk.decode(paths, threads=2) as decoding:
        total: int = len(decoding)
        for result in decoding:
            if result.replay is not None:
                replay: kadenzo.Replay = result.replay
                print(f"{result.index + 1}/{total}", replay.username, replay.mode)
            elif result.error is not None:
                failures.append(result.error)
    return failures


def first(path: str) -> kadenzo.Replay | None:
    try:
        return kadenzo.bulk.decode_one(path, header_only=True)
    except ReplayFileError as error:
        code: int | None = error.errno
        print("file error", code, error.filename)
    except ReplayDecodeError as error:
        print("decode error", error.message, error.detail[:80])
    return None


if __name__ == "__main__":
    for failure in summarise([pathlib.Path(name) for name in sys.argv[1:]]):
        print("failed:", failure)
    if len(sys.argv) > 1:
        first(sys.argv[1])
