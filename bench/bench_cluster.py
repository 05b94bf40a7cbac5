"""Throughput of kadenzo.dask (the pipeline of examples/cluster_decode.py) with one and
more Dask worker processes on this machine, side by side with a control: the
same partitions of plain LZMA decompression of the frame blocks, whose speed-up
shows how much parallel CPU the machine gives at the time.

    .venv/bin/python bench/bench_cluster.py [--quick] [--workers 1,2] [--repeat N]

The corpus (written to a temporary folder) is made with tools/replay_builder.py:
200 plays of about 20,000 frames, mostly standard mode (--quick: 40 plays of
about 4,000). Every worker process has one Dask thread and one kadenzo thread
(RAYON_NUM_THREADS=1), so N workers ask for N cores. Each worker count gets a
fresh LocalCluster, one warm-up pass of every job and then the timed passes,
the jobs taking turns within each pass so that load from other processes
spreads over all of them alike; times are medians.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import logging
import lzma
import math
import pathlib
import random
import resource
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tools")]
import dask.bag as db  # noqa: E402
import kadenzo.dask  # noqa: E402
from bench_decode import cpu_pressure  # noqa: E402
from distributed import Client  # noqa: E402
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, realistic_replay  # noqa: E402

# --- corpus -----------------------------------------------------------------


def corpus_plan(quick: bool) -> list[tuple[int, int]]:
    """(mode, frame count) of every play. 20,000 frames is a 4-5 minute play at 60-70 Hz."""
    rng = random.Random(2024)
    count, low, high = (40, 3_000, 5_000) if quick else (200, 17_000, 23_000)
    modes = [MODE_STD] * 17 + [MODE_TAIKO, MODE_CTB, MODE_MANIA]
    return [(rng.choice(modes), rng.randint(low, high)) for _ in range(count)]


def write_play(folder: pathlib.Path, seed: int, mode: int, frame_count: int) -> tuple[int, int]:
    """Writes the replay and, for the control, its frame block alone; returns
    (frames, file bytes)."""
    fields = dict(realistic_replay(mode, frame_count, seed=seed).fields())  # compresses once
    data = b"".join(fields.values())
    (folder / f"play{seed:03}.kvr").write_bytes(data)
    (folder / f"play{seed:03}.block").write_bytes(fields["block"])
    return frame_count, len(data)


def make_corpus(folder: pathlib.Path, quick: bool) -> tuple[int, int]:
    """(total frames, total bytes) of the corpus written to `folder`."""
    plan = corpus_plan(quick)
    with concurrent.futures.ProcessPoolExecutor() as pool:
        done = list(pool.map(write_play, [folder] * len(plan), range(len(plan)), *zip(*plan)))
    return sum(frames for frames, _ in done), sum(size for _, size in done)


# --- jobs -------------------------------------------------------------------


def decompress_blocks(paths: list[str]) -> list[int]:
    """The control's task: read and decompress the blocks of a partition."""
    return [sum(len(lzma.decompress(pathlib.Path(p).read_bytes(), format=lzma.FORMAT_ALONE)) for p in paths)]


def jobs(folder: pathlib.Path, partition_size: int) -> dict:
    """name -> function doing one pass over the corpus on the active client."""
    paths = sorted(str(p) for p in folder.glob("*.kvr"))
    blocks = sorted(str(p) for p in folder.glob("*.block"))
    return {
        "summary table": lambda: kadenzo.dask.read(paths, files_per_partition=partition_size).compute(),
        # A small result per partition, so that the job measures making the
        # frames table on the workers rather than sending it.
        "frames table (row count)": lambda: (
            kadenzo.dask.read(paths, frames=True, files_per_partition=partition_size).shape[0].compute()
        ),
        "lzma.decompress (control)": lambda: (
            db.from_sequence(blocks, partition_size=partition_size).map_partitions(decompress_blocks).compute()
        ),
    }


def worker_cpu_seconds() -> float:
    """CPU time (user + system) of the worker process so far, all its threads."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(workers: int, folder: pathlib.Path, partition_size: int, repeat: int) -> dict[str, tuple[float, float]]:
    """(median wall time, median CPU time of all workers) per pass of every job
    on a fresh cluster of `workers` processes."""
    with (
        kadenzo.dask.local_cluster(
            workers, kadenzo_threads=1, dashboard_address=None, silence_logs=logging.ERROR
        ) as cluster,
        Client(cluster) as client,
    ):
        passes = jobs(folder, partition_size)
        names = list(passes)
        walls: dict[str, list[float]] = {name: [] for name in names}
        cpus: dict[str, list[float]] = {name: [] for name in names}
        for rep in range(repeat + 1):
            for name in names[rep % len(names) :] + names[: rep % len(names)]:
                cpu = sum(client.run(worker_cpu_seconds).values())
                start = time.perf_counter()
                passes[name]()
                if rep:  # the first pass loads the code and warms the workers
                    walls[name].append(time.perf_counter() - start)
                    cpus[name].append(sum(client.run(worker_cpu_seconds).values()) - cpu)
    return {name: (statistics.median(walls[name]), statistics.median(cpus[name])) for name in names}


# --- report -----------------------------------------------------------------


def report(results: dict[int, dict[str, tuple[float, float]]], repeat: int) -> None:
    counts = sorted(results)
    base = results[counts[0]]
    header = "".join(f"{f'{n} worker' + ('s' if n > 1 else ''):>30}" for n in counts)
    print(f"\n{f'per pass over the corpus (median of {repeat})':40}{header}")
    print(f"{'':40}" + f"{'wall':>9}{'speed-up':>9}{'CPU':>8}{'cores':>6}" * len(counts))
    for name in base:
        cells = "".join(
            f"{results[n][name][0]:7.2f} s{base[name][0] / results[n][name][0]:8.2f}x"
            f"{results[n][name][1]:6.2f} s{results[n][name][1] / results[n][name][0]:6.2f}"
            for n in counts
        )
        print(f"{name:40}{cells}")
    control = "lzma.decompress (control)"
    for n in counts[1:]:
        ratios = ", ".join(
            f"{name} {base[name][0] / results[n][name][0] / (base[control][0] / results[n][control][0]):.2f}"
            for name in base
            if name != control
        )
        print(f"\n{n} workers, speed-up over {counts[0]} relative to the control's: {ratios}")
        cpu = ", ".join(f"{name} {results[n][name][1] / base[name][1]:.2f}" for name in base)
        print(f"{n} workers, CPU time per pass over {counts[0]}'s: {cpu}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller corpus and fewer repetitions")
    parser.add_argument("--repeat", type=int, help="timed passes per job (default 5, quick 3)")
    parser.add_argument("--workers", default="1,2", help="worker process counts to compare (default 1,2)")
    args = parser.parse_args()
    counts = sorted({int(n) for n in args.workers.split(",")})
    repeat = args.repeat or (3 if args.quick else 5)

    with tempfile.TemporaryDirectory(prefix="kadenzo-bench-") as name:
        folder = pathlib.Path(name)
        start = time.perf_counter()
        frames, size = make_corpus(folder, args.quick)
        replays = len(corpus_plan(args.quick))
        # Several tasks per worker even at the largest count, so that the
        # last task of one worker does not leave the others idle for long.
        partition_size = math.ceil(replays / (4 * max(counts)))
        print(
            f"generated {replays} replays in {time.perf_counter() - start:.1f} s: {frames:,} frames, "
            f"{size / 2**20:.1f} MiB; {math.ceil(replays / partition_size)} partitions of up to "
            f"{partition_size}; every worker: 1 Dask thread, RAYON_NUM_THREADS=1",
            flush=True,
        )
        before = cpu_pressure()
        results = {n: measure(n, folder, partition_size, repeat) for n in counts}
        after = cpu_pressure()
    report(results, repeat)
    print(
        f"CPU pressure from other processes before/after the timings: {before} / {after} "
        f"(percent of time runnable tasks waited)"
    )


if __name__ == "__main__":
    main()
