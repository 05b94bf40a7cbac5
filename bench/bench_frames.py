"""Frames from anywhere, measured: decode_block against the full decode of
the same replays, base64 against raw, the clock and key presses against the
decode, and archives against the same files in a folder.

    PYTHONPATH=build/dev python3 bench/bench_frames.py [--files 60] [--members 10000] [--repeat 5]
        [--only blocks presses archives]

The block corpus is bench_bulk.py's (cursor plays of 5,000 to 20,000 frames
that compress as real ones do, one play in ten of each other mode); the
archive corpus is --members short plays (300 to 1,500 frames) written to a
folder, a zip (stored, as replay files do not compress further) and a
tar.gz. Timings are medians of --repeat passes in which the methods take
turns, as CPU time of the process (all threads) and wall time; ratios are
printed as cpu/wall. Each archive pass's peak memory is measured in a fresh
interpreter (ru_maxrss).
"""

from __future__ import annotations

import argparse
import base64
import json
import pathlib
import random
import struct
import subprocess
import sys
import tarfile
import tempfile
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools"))
sys.path.insert(0, str(HERE))
import kadenzo  # noqa: E402
import kadenzo.bulk  # noqa: E402
import kadenzo.columns  # noqa: E402
import kadenzo.frames  # noqa: E402
from bench_bulk import build_corpus, medians  # noqa: E402
from replay_builder import realistic_replay  # noqa: E402


def block_of(data: bytes) -> bytes:
    """The frame block of a whole file (its length field reaches the 8-byte id at the end)."""
    for start in range(len(data) - 12, 0, -1):
        (length,) = struct.unpack_from("<i", data, start)
        if length == len(data) - start - 12:
            return data[start + 4 : start + 4 + length]
    raise ValueError("no frame block found")


def ratio(results, top, bottom) -> str:
    return f"{results[top][0] / results[bottom][0]:.3f}/{results[top][1] / results[bottom][1]:.3f}"


def measure_blocks(paths: list[str], repeat: int) -> None:
    files = [pathlib.Path(p).read_bytes() for p in paths]
    modes = [kadenzo.parse_replay_from_bytes(data, header_only=True).mode for data in files]
    blocks = [block_of(data) for data in files]
    texts = [base64.b64encode(block).decode() for block in blocks]

    def files_pass():
        for data in files:
            kadenzo.parse_replay_from_bytes(data)

    def blocks_pass():
        for block, mode in zip(blocks, modes):
            kadenzo.frames.decode_block(block, mode)

    def base64_pass():
        for text, mode in zip(texts, modes):
            kadenzo.frames.decode_block(text, mode)

    results = medians({"file": files_pass, "block": blocks_pass, "base64": base64_pass}, repeat)
    print(f"decode_block / full decode of the files (cpu/wall): {ratio(results, 'block', 'file')}  (bound 1.05)")
    print(f"base64 / raw block (cpu/wall):                      {ratio(results, 'base64', 'block')}  (bound 1.05)")


def measure_presses(paths: list[str], repeat: int) -> None:
    files = [pathlib.Path(p).read_bytes() for p in paths]
    replays = [kadenzo.parse_replay_from_bytes(data) for data in files]
    columns = [kadenzo.columns.frames(replay) for replay in replays]

    def decode_pass():
        for data in files:
            kadenzo.parse_replay_from_bytes(data)

    def presses_pass():
        for table in columns:
            kadenzo.columns.key_presses(table)

    def columns_pass():  # every column and the clock, from the decoded records
        for replay in replays:
            kadenzo.columns.frames(replay)

    results = medians({"decode": decode_pass, "presses": presses_pass, "columns": columns_pass}, repeat)
    print(
        f"key_presses / decode (cpu/wall):                    {ratio(results, 'presses', 'decode')}  (bound 0.10 with the clock)"
    )
    print(f"frames(replay), all columns and the clock / decode: {ratio(results, 'columns', 'decode')}")
    print(
        f"frames(replay) with its clock and key_presses, CPU:  "
        f"{(results['presses'][0] + results['columns'][0]) / results['decode'][0]:.3f} of the decode"
    )


def build_archives(folder: pathlib.Path, members: int) -> dict[str, str]:
    plays = folder / "plays"
    plays.mkdir(parents=True, exist_ok=True)
    names = sorted(plays.glob("*.kvr"))
    if len(names) < members:
        rng = random.Random(7)
        for index in range(members):
            replay = realistic_replay(index % 4 if index % 10 == 9 else 0, rng.randint(300, 1_500), seed=index)
            (plays / f"p{index:05}.kvr").write_bytes(replay.to_bytes())
        names = sorted(plays.glob("*.kvr"))
    names = names[:members]
    zipped, tarred = folder / "plays.zip", folder / "plays.tar.gz"
    with zipfile.ZipFile(zipped, "w", zipfile.ZIP_STORED) as archive:
        for name in names:
            archive.write(name, f"plays/{name.name}")
    # GNU format, as `tar czf` writes it: one header per member (PAX would add a second).
    with tarfile.open(tarred, "w:gz", compresslevel=1, format=tarfile.GNU_FORMAT) as archive:
        for name in names:
            archive.add(name, f"plays/{name.name}")
    return {"folder": str(plays), "zip": str(zipped), "tar.gz": str(tarred)}


PASS = """
import json, os, resource, sys, time
import kadenzo.bulk
kind, source = sys.argv[1], sys.argv[2]
cpu, wall = time.process_time(), time.perf_counter()
if kind == "folder":
    results = kadenzo.bulk.decode(sorted(os.path.join(source, n) for n in os.listdir(source)))
else:
    results = kadenzo.bulk.decode_archive(source)
count = sum(1 for result in results if result.ok)
print(json.dumps({"count": count, "cpu": time.process_time() - cpu, "wall": time.perf_counter() - wall,
                  "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def measure_archives(scratch: pathlib.Path, members: int, repeat: int) -> None:
    sources = build_archives(scratch, members)
    runs: dict[str, list[dict]] = {kind: [] for kind in sources}
    for _ in range(repeat):
        for kind, source in sources.items():
            out = subprocess.run([sys.executable, "-c", PASS, kind, source], capture_output=True, text=True, check=True)
            runs[kind].append(json.loads(out.stdout))
    median = {
        kind: {key: sorted(r[key] for r in rs)[len(rs) // 2] for key in ("cpu", "wall", "peak_mib")}
        for kind, rs in runs.items()
    }
    base = median["folder"]
    for kind, figures in median.items():
        print(
            f"{kind:8} {runs[kind][0]['count']:>6} ok  cpu {figures['cpu']:.2f} s  wall {figures['wall']:.2f} s  "
            f"ratio {figures['cpu'] / base['cpu']:.3f}/{figures['wall'] / base['wall']:.3f}  "
            f"peak {figures['peak_mib']:.0f} MiB"
        )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=60)
    parser.add_argument("--members", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", type=pathlib.Path)
    parser.add_argument(
        "--only", nargs="+", choices=("blocks", "presses", "archives"), default=["blocks", "presses", "archives"]
    )
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as temporary:
        scratch = args.corpus or pathlib.Path(temporary)
        paths = build_corpus(scratch / "corpus", args.files) if {"blocks", "presses"} & set(args.only) else []
        if "blocks" in args.only:
            measure_blocks(paths, args.repeat)
        if "presses" in args.only:
            measure_presses(paths, args.repeat)
        if "archives" in args.only:
            measure_archives(scratch / "archives", args.members, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
