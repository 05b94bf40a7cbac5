"""kadenzo.dataset: the long frames table of a corpus against decoding each
file to columns; header rows per second; peak memory against the number of files.

    PYTHONPATH=build/dev python3 bench/bench_dataset.py [--quick] [--repeat N] [--files N]

Part 1 writes the benchmark corpus of bench_decode.py to a temporary folder
and times, taking turns within each repetition (CPU time of the whole
process, the worker pool included; median over the repetitions):

  per-file columns   kadenzo.columns.frames(path) for each file, one after another
  one frames table   kadenzo.dataset.read(paths, frames=True).read_all()

Part 2 writes N small replay files (default 20,000) and times
`kadenzo.dataset.read(folder, header_only=True)` read to the end in a fresh
interpreter (wall time, page cache warm: a first run is not counted).

Part 3 reports the peak resident memory of a fresh interpreter reading the
summary table (full decode) and the frames table of N files batch by batch,
and of a tenth of them: memory must not grow with the number of files.
"""

from __future__ import annotations

import argparse
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
import kadenzo.columns  # noqa: E402
import kadenzo.dataset  # noqa: E402
from bench_columns import write_folder  # noqa: E402
from bench_decode import cpu_pressure, make_corpus  # noqa: E402


def per_file_columns(paths: list[str]) -> int:
    return sum(len(kadenzo.columns.frames(path)) for path in paths)


def one_frames_table(paths: list[str]) -> int:
    return kadenzo.dataset.read(paths, frames=True).read_all().num_rows


def part_frames(repeat: int, quick: bool) -> None:
    with tempfile.TemporaryDirectory() as name:
        plays, _ = make_corpus(pathlib.Path(name), quick)
        paths = [play.path for play in plays]
        frames = per_file_columns(paths)  # the text's frames but the seed frame, which columns leave out
        methods = {
            "per-file columns": per_file_columns,
            "one frames table": one_frames_table,
        }
        times: dict[str, list[float]] = {method: [] for method in methods}
        walls: dict[str, list[float]] = {method: [] for method in methods}
        for rep in range(repeat + 1):
            for method, run in methods.items():
                start, wall = time.process_time(), time.perf_counter()
                rows = run(paths)
                if rep:  # the first round warms the page cache and the allocator
                    times[method].append(time.process_time() - start)
                    walls[method].append(time.perf_counter() - wall)
                assert rows == frames, (method, rows, frames)
    medians = {method: statistics.median(values) for method, values in times.items()}
    wall_medians = {method: statistics.median(values) for method, values in walls.items()}
    print(f"{len(paths)} files, {frames:,} frames; CPU time (wall time), median of {repeat}:")
    for method, value in medians.items():
        print(f"  {method:<18} {value:7.3f} s   {value / frames * 1e9:6.1f} ns/frame   ({wall_medians[method]:.3f} s)")
    ratio = medians["one frames table"] / medians["per-file columns"]
    wall_ratio = wall_medians["one frames table"] / wall_medians["per-file columns"]
    print(f"  one frames table / per-file columns = {ratio:.3f} CPU, {wall_ratio:.3f} wall (target <= 1.10)")


RUN = """
import resource, sys, time
import kadenzo.dataset
folder, mode = sys.argv[1], sys.argv[2]
start = time.perf_counter()
rows = 0
for batch in kadenzo.dataset.read(folder, frames=mode == "frames", header_only=mode == "headers"):
    rows += batch.num_rows
elapsed = time.perf_counter() - start
print(elapsed, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, rows)
"""


def run(folder: pathlib.Path, mode: str) -> tuple[float, int, int]:
    result = subprocess.run([sys.executable, "-c", RUN, str(folder), mode], capture_output=True, text=True, check=True)
    elapsed, peak_kib, rows = result.stdout.split()
    return float(elapsed), int(peak_kib), int(rows)


def part_files(count: int, repeat: int) -> None:
    with tempfile.TemporaryDirectory() as name:
        root = pathlib.Path(name)
        big, small = root / "big", root / "small"
        big.mkdir()
        small.mkdir()
        write_folder(big, count)
        write_folder(small, count // 10)
        run(big, "headers")  # warms the page cache
        runs = [run(big, "headers") for _ in range(repeat)]
        assert all(rows == count for _, _, rows in runs)
        elapsed = statistics.median(wall for wall, _, _ in runs)
        print(
            f"header rows: {count:,} files in {elapsed:.2f} s = {count / elapsed:,.0f} files/s "
            f"(target >= 10,000), {os.cpu_count()} cores"
        )
        for mode in ("summary", "frames"):
            peaks = {
                folder: statistics.median(run(folder, mode)[1] for _ in range(max(1, repeat // 2)))
                for folder in (small, big)
            }
            print(
                f"peak memory, {mode} table read batch by batch: {peaks[big] / 1024:.1f} MiB for {count:,} files, "
                f"{peaks[small] / 1024:.1f} MiB for {count // 10:,} files: {peaks[big] / peaks[small]:.2f}x "
                f"(target <= 1.2)"
            )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the small corpus, fewer repetitions")
    parser.add_argument("--repeat", type=int, help="repetitions (default 5, 3 with --quick)")
    parser.add_argument("--files", type=int, default=20_000, help="files of parts 2 and 3")
    args = parser.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    print(f"CPU pressure before: {cpu_pressure()}")
    part_frames(repeat, args.quick)
    part_files(args.files, repeat)
    print(f"CPU pressure after: {cpu_pressure()}")


if __name__ == "__main__":
    main()
