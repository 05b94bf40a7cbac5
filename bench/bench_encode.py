"""Writing speed of kadenzo.encode against lzma.compress alone, and the round
trip decode -> write -> decode over the benchmark corpus.

    .venv/bin/python bench/bench_encode.py [--quick] [--repeat N]

The corpus is bench_decode.py's (the same generator, the same plays). Per
mode and in all:

- the floor: `lzma.compress(text, format=FORMAT_ALONE)` with the writer's own
  settings (preset 6, a 2 MiB dictionary) on each play's frame text;
- `kadenzo.encode.to_bytes(replay)` of each decoded play: the text made from
  the frame records, compressed, and the whole file around it;
- the same on two threads, half the corpus each (wall time), since the writer
  releases the interpreter lock.

Times are medians of interleaved repetitions, as CPU time and as wall time.
Then every play is decoded, written and decoded again: every field must be
equal, the life-bar texts and the cursor texts byte for byte those of the
corpus, and the other modes' texts too in every field a frame record keeps:
their field 2 (and the opening items' -500 there) is a value no record holds,
which the writer replaces by its constant (9999 for drums and catch, 0 for
keys). The corpus's drum plays with decimal x are left out: their x reads as
an integer.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import lzma
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_decode import MODE_NAMES, MODE_STD, make_corpus, run_interleaved  # noqa: E402

# The writer's settings (src/writer/lzma_alone_writer.hpp).
FILTERS = [{"id": lzma.FILTER_LZMA1, "preset": 6, "dict_size": 1 << 21}]


def read_text(data: bytes, at: int) -> tuple[bytes | None, int]:
    if data[at] == 0:
        return None, at + 1
    at, length, shift = at + 1, 0, 0
    while True:
        byte = data[at]
        at, length, shift = at + 1, length | (byte & 0x7F) << shift, shift + 7
        if byte < 0x80:
            return data[at : at + length], at + length


def texts_of(data: bytes) -> tuple[bytes | None, bytes]:
    """The life-bar text and the decompressed frame text of a file."""
    at = 5
    for _ in range(3):
        at = read_text(data, at)[1]
    life_bar, at = read_text(data, at + 6 * 2 + 4 + 2 + 1 + 4)
    at += 8
    size = int.from_bytes(data[at : at + 4], "little")
    return life_bar, lzma.decompress(data[at + 4 : at + 4 + size], format=lzma.FORMAT_ALONE)


def kept_fields(text: bytes, mode: int) -> list[list[bytes]]:
    """The items of a frame text with field 2 blanked where no record keeps it."""
    items = [item.split(b"|") for item in text.split(b",")]
    if mode != MODE_STD:
        for fields in items:
            if len(fields) > 2:
                fields[2] = b""
    return items


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller corpus and fewer repetitions")
    parser.add_argument("--repeat", type=int, help="timed repetitions per method (default 5, quick 3)")
    args = parser.parse_args()
    import kadenzo
    import kadenzo.encode

    repeat = args.repeat or (3 if args.quick else 5)
    with tempfile.TemporaryDirectory(prefix="kadenzo-bench-") as name:
        plays, _ = make_corpus(pathlib.Path(name), args.quick)
    replays = [kadenzo.parse_replay_from_bytes(p.data) for p in plays]
    print(
        f"corpus: {len(plays)} files, {sum(p.frames for p in plays):,} frames, "
        f"{sum(len(p.text) for p in plays) / 2**20:.1f} MiB of frame text",
        flush=True,
    )

    # 1. The round trip, checked first: a writer that is fast but wrong is no result.
    start = time.perf_counter()
    identical = 0
    for play, replay in zip(plays, replays):
        written = kadenzo.encode.to_bytes(replay)
        again = kadenzo.parse_replay_from_bytes(written)
        assert repr(again) == repr(replay), f"fields differ after the round trip (mode {play.mode})"
        (life_bar, text), (corpus_life_bar, corpus_text) = texts_of(written), texts_of(play.data)
        assert life_bar == corpus_life_bar, f"life-bar texts differ (mode {play.mode})"
        assert kept_fields(text, play.mode) == kept_fields(corpus_text, play.mode), f"texts differ (mode {play.mode})"
        identical += text == corpus_text
    print(
        f"round trip: {len(plays)} files decoded, written and decoded again in {time.perf_counter() - start:.1f} s: "
        f"every field equal; life-bar texts byte-identical; frame texts byte-identical in every kept field, "
        f"{identical} of {len(plays)} in every byte",
        flush=True,
    )

    # 2. Timings, per mode and in all.
    groups = {"all": list(range(len(plays)))}
    for mode, label in MODE_NAMES.items():
        groups[label] = [i for i, p in enumerate(plays) if p.mode == mode]
    methods = {}
    for label, members in groups.items():
        texts = [plays[i].text for i in members]
        group = [replays[i] for i in members]
        methods[f"floor {label}"] = lambda texts=texts: [
            lzma.compress(t, format=lzma.FORMAT_ALONE, filters=FILTERS) for t in texts
        ]
        methods[f"write {label}"] = lambda group=group: [kadenzo.encode.to_bytes(r) for r in group]
    halves = [replays[0::2], replays[1::2]]
    pool = concurrent.futures.ThreadPoolExecutor(2)
    methods["write all, 2 threads"] = lambda: list(
        pool.map(lambda half: [kadenzo.encode.to_bytes(r) for r in half], halves)
    )
    cpu, wall = run_interleaved(methods, repeat)
    pool.shutdown()

    print(f"\n{'ratio (cpu/wall)':28}" + "".join(f"{g:>14}" for g in groups))
    print(f"{'floor, s':28}" + "".join(f"{cpu['floor ' + g]:>7.2f}/{wall['floor ' + g]:<6.2f}" for g in groups))
    print(
        f"{'write / floor':28}"
        + "".join(
            f"{cpu['write ' + g] / cpu['floor ' + g]:>7.3f}/{wall['write ' + g] / wall['floor ' + g]:<6.3f}"
            for g in groups
        )
    )
    print(f"\n2 threads: {wall['write all'] / wall['write all, 2 threads']:.2f} times as fast as 1 (wall)")


if __name__ == "__main__":
    main()
