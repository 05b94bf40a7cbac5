"""Frames as columns: their cost next to the decode itself and next to the
frame list converted to NumPy; and `kadenzo summary --header-only` over a
large folder.

    PYTHONPATH=build/dev python3 bench/bench_columns.py [--quick] [--repeat N] [--files N]

Part 1 decodes the benchmark corpus of bench_decode.py from memory, one file
at a time on the calling thread, three ways, taking turns within each
repetition (CPU time of the process, median over the repetitions):

  decode           parse_replay_from_bytes: the full decode, no frame list read
  columns+numpy    kadenzo.columns.frames(bytes) and numpy.asarray of every field
  list+numpy       the full decode, the frame list read, and each field of the
                   frame objects turned into a NumPy array (the fastest way:
                   one field at a time with numpy.fromiter)

Part 2 writes N small replay files (default 20,000) into a temporary folder
and times `kadenzo summary FOLDER --header-only -o OUT.csv` in a fresh
interpreter, with the page cache warm (a first run is not counted); it also
reports the peak resident memory of a run over a tenth of the files, to show
that memory does not grow with the number of files.
"""

from __future__ import annotations

import argparse
import operator
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tools"))
import kadenzo  # noqa: E402
import kadenzo.columns  # noqa: E402
import numpy as np  # noqa: E402
from bench_decode import make_corpus  # noqa: E402
from replay_builder import MODES, realistic_replay  # noqa: E402

LISTS = {0: "kivo_replay_data", 1: "taiko_replay_data", 2: "catch_replay_data", 3: "mania_replay_data"}
FIELDS = {
    0: ("time_delta", "x", "y", "keys"),
    1: ("time_delta", "x", "keys"),
    2: ("time_delta", "x", "dashing"),
    3: ("time_delta", "keys"),
}
TYPES = {"time_delta": np.int64, "x": np.float64, "y": np.float64, "keys": np.int32, "dashing": np.bool_}


def decode(data: bytes, mode: int) -> object:
    return kadenzo.parse_replay_from_bytes(data)


def columns_numpy(source: object, mode: int) -> object:
    columns = kadenzo.columns.frames(source)
    return {name: np.asarray(columns[name]) for name in columns.names}


def list_numpy(source: object, mode: int) -> object:
    """One field at a time with fromiter: the fastest way from frame objects."""
    replay = source if isinstance(source, kadenzo.Replay) else kadenzo.parse_replay_from_bytes(source)
    frames = getattr(replay.replay_data, LISTS[mode])
    arrays = {}
    for name in FIELDS[mode]:
        values = map(operator.attrgetter(name), frames)
        if name == "keys":
            values = map(int, values)
        arrays[name] = np.fromiter(values, TYPES[name], count=len(frames))
    return arrays


def list_tuples(source: object, mode: int) -> object:
    """A tuple per frame into a structured array: the common way."""
    replay = source if isinstance(source, kadenzo.Replay) else kadenzo.parse_replay_from_bytes(source)
    frames = getattr(replay.replay_data, LISTS[mode])
    getters = [operator.attrgetter(name) for name in FIELDS[mode]]
    last = len(getters) - 1
    keyed = FIELDS[mode][last] == "keys"
    rows = [tuple(int(get(f)) if keyed and i == last else get(f) for i, get in enumerate(getters)) for f in frames]
    return np.array(rows, dtype=[(name, TYPES[name]) for name in FIELDS[mode]])


# From the file's bytes: each method includes the decode.
METHODS = {"decode": decode, "columns+numpy": columns_numpy, "list+numpy": list_numpy, "list+tuples": list_tuples}
# From decoded replays: the way to the arrays alone.
FROM_REPLAY = {"columns+numpy": columns_numpy, "list+numpy": list_numpy, "list+tuples": list_tuples}


def timed(methods: dict, sources: list, modes: list, repeat: int) -> dict[str, float]:
    """Median CPU seconds of each method over all sources, the methods taking turns."""
    times: dict[str, list[float]] = {name: [] for name in methods}
    for _ in range(repeat):
        for name, method in methods.items():
            start = time.process_time()
            for source, mode in zip(sources, modes):
                method(source, mode)
            times[name].append(time.process_time() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def part_columns(repeat: int, quick: bool) -> None:
    with tempfile.TemporaryDirectory() as folder:
        plays = make_corpus(pathlib.Path(folder), quick)
    frames = sum(play.frames for play in plays)
    check = columns_numpy(plays[0].data, plays[0].mode), list_numpy(plays[0].data, plays[0].mode)
    assert all((check[0][name] == check[1][name]).all() for name in check[1]), "columns differ from the frame list"
    print(f"corpus: {len(plays)} files, {frames:,} frames, {sum(len(p.data) for p in plays) / 1e6:.1f} MB")

    modes = [play.mode for play in plays]
    medians = timed(METHODS, [play.data for play in plays], modes, repeat)
    print("from the files' bytes (decode included):")
    for name, value in medians.items():
        print(f"  {name:<14} {value:7.3f} s CPU   {value / frames * 1e9:7.1f} ns/frame")
    for slower in ("list+numpy", "list+tuples"):
        print(f"  {slower} / columns+numpy = {medians[slower] / medians['columns+numpy']:.2f}x  (target >= 3)")
    print(f"  columns+numpy / decode = {medians['columns+numpy'] / medians['decode']:.3f}x (target <= 1.10)")

    replays = [kadenzo.parse_replay_from_bytes(play.data) for play in plays]
    medians = timed(FROM_REPLAY, replays, modes, repeat)
    print("from decoded replays (the way to the arrays alone):")
    for name, value in medians.items():
        print(f"  {name:<14} {value:7.3f} s CPU   {value / frames * 1e9:7.1f} ns/frame")
    for slower in ("list+numpy", "list+tuples"):
        print(f"  {slower} / columns+numpy = {medians[slower] / medians['columns+numpy']:.1f}x")


def write_folder(folder: pathlib.Path, count: int) -> None:
    distinct = [realistic_replay(MODES[i % 4], 300 + 37 * i, seed=i).to_bytes() for i in range(64)]
    for index in range(count):
        sub = folder / f"{index // 1000:03}"
        sub.mkdir(exist_ok=True)
        (sub / f"{index:06}.kvr").write_bytes(distinct[index % len(distinct)])


RUN = """
import resource, sys, time
from kadenzo.cli import main
start = time.perf_counter()
status = main(sys.argv[1:])
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, status)
"""


def summary_run(folder: pathlib.Path, out: pathlib.Path, threads: int | None) -> tuple[float, int]:
    args = ["summary", str(folder), "--header-only", "-o", str(out)]
    if threads:
        args += ["--threads", str(threads)]
    result = subprocess.run([sys.executable, "-c", RUN, *args], capture_output=True, text=True, check=True)
    elapsed, peak_kib, status = result.stdout.split()
    assert status == "0", result.stderr
    return float(elapsed), int(peak_kib)


def part_summary(count: int, repeat: int, threads: int | None) -> None:
    with tempfile.TemporaryDirectory() as name:
        root = pathlib.Path(name)
        big, small = root / "big", root / "small"
        big.mkdir()
        small.mkdir()
        write_folder(big, count)
        write_folder(small, count // 10)
        out = root / "summary.csv"
        summary_run(big, out, threads)  # warms the page cache
        runs = [summary_run(big, out, threads) for _ in range(repeat)]
        rows = out.read_text().count("\n") - 1
        assert rows == count, rows
        small_peak = statistics.median(summary_run(small, out, threads)[1] for _ in range(repeat))
    elapsed = statistics.median(run[0] for run in runs)
    peak = statistics.median(run[1] for run in runs)
    print(
        f"summary --header-only: {count:,} files in {elapsed:.2f} s = {count / elapsed:,.0f} files/s "
        f"(target >= 10,000), {os.cpu_count()} cores"
    )
    print(
        f"  peak memory: {peak / 1024:.1f} MiB for {count:,} files, {small_peak / 1024:.1f} MiB "
        f"for {count // 10:,} files"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the small corpus, fewer repetitions")
    parser.add_argument("--repeat", type=int, help="repetitions (default 7, 3 with --quick)")
    parser.add_argument("--files", type=int, default=20_000, help="files of the summary folder")
    parser.add_argument("--threads", type=int, help="threads of the summary (default: the pool's size)")
    parser.add_argument("--only", choices=("columns", "summary"), help="run one part")
    args = parser.parse_args()
    repeat = args.repeat or (3 if args.quick else 7)
    if args.only != "summary":
        part_columns(repeat, args.quick)
    if args.only != "columns":
        part_summary(args.files, max(1, repeat // 2), args.threads)


if __name__ == "__main__":
    main()
