"""Typed use of kadenzo.encode, checked with mypy --strict and run on the
sample given: a renamed copy, and its frames written from edited columns."""

import lzma
import pathlib
import sys

import kadenzo
import kadenzo.columns
import kadenzo.encode


def rename(path: str, out: pathlib.Path) -> bytes:
    replay = kadenzo.parse_replay_from_path(path)
    replay.username = "someone"
    kadenzo.encode.write(replay, out, overwrite=True)
    columns = kadenzo.columns.frames(replay)
    data: bytes = kadenzo.encode.to_bytes(replay, frames=columns)
    text: bytes = kadenzo.encode.frame_text(columns, replay.mode, replay.rng_seed)
    block: bytes = kadenzo.encode.frame_block(columns, replay.mode, rng_seed=None)
    assert lzma.decompress(block, format=lzma.FORMAT_ALONE) in (text, text.rsplit(b"-12345|", 1)[0])
    return data


if __name__ == "__main__":
    target = pathlib.Path(sys.argv[2])
    data = rename(sys.argv[1], target)
    print("written:", kadenzo.parse_replay_from_path(str(target)).username, len(data) > 0)
