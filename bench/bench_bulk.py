"""kadenzo.bulk against the loops it replaces: speed-up on two threads, the
lock released for decode_one, the cost of damaged files, Ctrl-C latency and
memory over long inputs.

    PYTHONPATH=build/dev python3 bench/bench_bulk.py [--files 200] [--repeat 5] [--corpus DIR]
        [--only loop threads damaged interrupt memory]

The corpus (a temporary folder unless --corpus names one, which is filled on
the first run and reused after) is made with tools/replay_builder.py: mostly
standard-mode plays of 5,000 to 20,000 frames whose cursor moves in eased
strokes between targets and rests in between, its positions on the pixel grid
of a 1920-pixel-wide screen, so the frame texts compress about 6:1 as real
ones do; and one play in ten of each other mode. Timings are medians of
--repeat passes in which the methods take turns; CPU time is the process's
(all threads), wall time the elapsed time. Memory and Ctrl-C are measured in
fresh interpreters.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import kadenzo  # noqa: E402
import kadenzo.bulk  # noqa: E402
from kadenzo.errors import ReplayError  # noqa: E402
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, realistic_replay  # noqa: E402

SCREEN_TO_FIELD = 512 / 1920  # the play field is 512 units wide on a 1920-pixel screen


# --- corpus -----------------------------------------------------------------


def cursor_text(rng: random.Random, count: int, seed: int) -> bytes:
    """A standard-mode frame text: strokes between targets, rests, 60 Hz frames."""
    parts = []
    px, py, tx, ty, steps, keys = 960.0, 540.0, 960.0, 540.0, 0, 0
    for _ in range(count):
        if steps == 0:
            if rng.random() < 0.35:
                tx, ty, steps = px, py, rng.randint(10, 60)
            else:
                tx, ty, steps = rng.uniform(0, 1920), rng.uniform(0, 1440), rng.randint(8, 40)
        px += (tx - px) / steps
        py += (ty - py) / steps
        steps -= 1
        if rng.random() < 0.04:
            keys = rng.choice((0, 0, 5, 10))
        delta = 16 if rng.random() < 0.7 else 17
        parts.append(f"{delta}|{round(int(px) * SCREEN_TO_FIELD, 4):g}|{round(int(py) * SCREEN_TO_FIELD, 4):g}|{keys},")
    parts.append(f"-12345|0|0|{seed}")
    return "".join(parts).encode()


def build_corpus(folder: pathlib.Path, files: int) -> list[str]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = sorted(str(p) for p in folder.glob("*.kvr"))
    if len(paths) >= files:
        return paths[:files]
    rng = random.Random(2026)
    for index in range(files):
        path = folder / f"play{index:05}.kvr"
        if index % 10 == 9:
            mode = (MODE_TAIKO, MODE_CTB, MODE_MANIA)[index // 10 % 3]
            replay = realistic_replay(mode, rng.randint(5_000, 20_000), seed=index)
        else:
            count = rng.randint(5_000, 20_000)
            replay = realistic_replay(MODE_STD, 10, seed=index, text=cursor_text(rng, count, rng.randint(0, 2**31 - 1)))
        path.write_bytes(replay.to_bytes())
    return sorted(str(p) for p in folder.glob("*.kvr"))[:files]


def damaged_copy(paths: list[str], folder: pathlib.Path, share: float) -> list[str]:
    """The same files in another folder, `share` of them cut inside their frame block."""
    folder.mkdir(parents=True, exist_ok=True)
    step = max(1, round(1 / share))
    copies = []
    for index, path in enumerate(paths):
        target = folder / pathlib.Path(path).name
        if index % step == step // 2:
            data = pathlib.Path(path).read_bytes()
            target.write_bytes(data[: len(data) * 2 // 3])
        else:
            shutil.copyfile(path, target)
        copies.append(str(target))
    return copies


# --- timing -----------------------------------------------------------------


def timed(call) -> tuple[float, float]:
    cpu, wall = time.process_time(), time.perf_counter()
    call()
    return time.process_time() - cpu, time.perf_counter() - wall


def medians(methods: dict, repeat: int) -> dict[str, tuple[float, float]]:
    samples: dict[str, list[tuple[float, float]]] = {name: [] for name in methods}
    for _ in range(repeat):
        for name, call in methods.items():
            samples[name].append(timed(call))
    return {
        name: (statistics.median(c for c, _ in runs), statistics.median(w for _, w in runs))
        for name, runs in samples.items()
    }


def loop(paths):
    for path in paths:
        kadenzo.parse_replay_from_path(path)


def bulk(paths, threads):
    def run():
        for result in kadenzo.bulk.decode(paths, threads=threads):
            assert result.replay is not None or result.error is not None

    return run


def decode_one_threads(paths, count):
    def run():
        def work(part):
            for path in part:
                try:
                    kadenzo.bulk.decode_one(path)
                except ReplayError:
                    pass

        size = -(-len(paths) // count)  # contiguous shares: each thread its own part of the folder
        threads = [threading.Thread(target=work, args=(paths[i * size : (i + 1) * size],)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    return run


def report(title, results, base, other, bound):
    (cpu_base, wall_base), (cpu_other, wall_other) = results[base], results[other]
    print(f"\n{title}")
    for name, (cpu, wall) in results.items():
        print(f"  {name:<34} wall {wall * 1000:8.1f} ms   cpu {cpu * 1000:8.1f} ms")
    print(
        f"  wall {base} / {other}: {wall_base / wall_other:.2f}x   "
        f"cpu {other} / {base}: {cpu_other / cpu_base:.2f}   (target {bound})"
    )


# --- Ctrl-C and memory, in fresh interpreters --------------------------------

INTERRUPT_SCRIPT = """
import itertools, json, os, signal, sys, threading, time
import kadenzo.bulk
paths = json.load(open(sys.argv[1]))
paths = list(itertools.islice(itertools.cycle(paths), 600))
sent = []
def interrupt():
    time.sleep(float(sys.argv[2]))
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt).start()
taken = 0
try:
    for result in kadenzo.bulk.decode(paths):
        taken += 1
    print(json.dumps({"finished": True}))
except KeyboardInterrupt:
    latency = time.perf_counter() - sent[0]
    again = sum(r.ok for r in kadenzo.bulk.decode(paths[:4]))
    print(json.dumps({"latency": latency, "taken": taken, "again": again}))
"""

MEMORY_SCRIPT = """
import itertools, json, sys
import kadenzo.bulk

def status(name):
    with open("/proc/self/status") as file:
        return next(int(line.split()[1]) for line in file if line.startswith(name + ":"))

paths = json.load(open(sys.argv[1]))
count = int(sys.argv[2])
with open("/proc/self/clear_refs", "w") as file:
    file.write("5")  # the high-water mark starts again from the resident set now
before = status("VmRSS")
for result in kadenzo.bulk.decode(itertools.islice(itertools.cycle(paths), count)):
    pass
print(json.dumps({"before_kib": before, "peak_kib": status("VmHWM")}))
"""


def fresh(script: str, *args: str) -> dict:
    result = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=900)
    if result.returncode != 0:
        raise RuntimeError(result.stderr)
    return json.loads(result.stdout.splitlines()[-1])


def measure_loop(paths, repeat):
    results = medians(
        {"loop of parse_replay_from_path": lambda: loop(paths), "bulk.decode, threads=2": bulk(paths, 2)}, repeat
    )
    report(
        "decode on 2 threads vs a loop",
        results,
        "loop of parse_replay_from_path",
        "bulk.decode, threads=2",
        ">= 1.9x wall, same cpu",
    )


def measure_threads(paths, repeat):
    results = medians(
        {"decode_one, 1 thread": decode_one_threads(paths, 1), "decode_one, 2 threads": decode_one_threads(paths, 2)},
        repeat,
    )
    report("decode_one from Python threads", results, "decode_one, 1 thread", "decode_one, 2 threads", ">= 1.8x wall")


def measure_damaged(paths, scratch, repeat):
    damaged = damaged_copy(paths, scratch / "damaged", 0.01)
    failed = sum(not r.ok for r in kadenzo.bulk.decode(damaged))
    results = medians(
        {"bulk.decode, intact folder": bulk(paths, 2), f"bulk.decode, {failed} damaged": bulk(damaged, 2)}, repeat
    )
    print(f"\n1% damaged files ({failed} of {len(damaged)})")
    (cpu_a, wall_a), (cpu_b, wall_b) = results.values()
    for name, (cpu, wall) in results.items():
        print(f"  {name:<34} wall {wall * 1000:8.1f} ms   cpu {cpu * 1000:8.1f} ms")
    print(f"  damaged / intact: cpu {cpu_b / cpu_a:.3f}, wall {wall_b / wall_a:.3f}   (target <= 1.05)")


def measure_interrupt(listing):
    latencies = []
    for attempt in range(5):
        outcome = fresh(INTERRUPT_SCRIPT, str(listing), str(0.3 + 0.1 * attempt))
        if "latency" in outcome:
            assert outcome["again"] == 4
            latencies.append(outcome["latency"])
    print(f"\nCtrl-C during a 600-file run (signal to KeyboardInterrupt, {len(latencies)} runs)")
    if latencies:
        print(
            f"  median {statistics.median(latencies) * 1000:.1f} ms, "
            f"max {max(latencies) * 1000:.1f} ms   (target <= 200 ms); the pool decodes again after"
        )


def measure_memory(listing, memory_files):
    small = fresh(MEMORY_SCRIPT, str(listing), "200")
    large = fresh(MEMORY_SCRIPT, str(listing), str(memory_files))
    print("\nPeak memory iterating paths, each record dropped (resident set)")
    for name, outcome in (("200 paths", small), (f"{memory_files:,} paths", large)):
        growth = (outcome["peak_kib"] - outcome["before_kib"]) / 1024
        print(
            f"  {name:<14} peak {outcome['peak_kib'] / 1024:7.1f} MiB, "
            f"{growth:5.1f} MiB over the {outcome['before_kib'] / 1024:.1f} MiB before the loop"
        )
    print(
        f"  {memory_files:,} / 200: peak {large['peak_kib'] / small['peak_kib']:.2f}x, growth "
        f"{(large['peak_kib'] - large['before_kib']) / max(1, small['peak_kib'] - small['before_kib']):.2f}x"
        "   (target <= 2x)"
    )


SECTIONS = ["loop", "threads", "damaged", "interrupt", "memory"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", help="folder for the corpus, kept between runs")
    parser.add_argument("--memory-files", type=int, default=20_000)
    parser.add_argument(
        "--only", nargs="+", choices=SECTIONS, default=SECTIONS, help="run these measurements only (all by default)"
    )
    args = parser.parse_args()

    scratch = pathlib.Path(tempfile.mkdtemp(prefix="kadenzo_bench_bulk_"))
    try:
        corpus = pathlib.Path(args.corpus) if args.corpus else scratch / "corpus"
        paths = build_corpus(corpus, args.files)
        sizes = [os.path.getsize(p) for p in paths]
        print(
            f"kadenzo {kadenzo.__version__}, pool of {kadenzo.bulk.decode([]).threads} threads, "
            f"{os.cpu_count()} processors"
        )
        print(f"corpus: {len(paths)} files, {sum(sizes) / 1e6:.1f} MB")

        if "loop" in args.only:
            measure_loop(paths, args.repeat)
        if "threads" in args.only:
            measure_threads(paths, args.repeat)
        if "damaged" in args.only:
            measure_damaged(paths, scratch, args.repeat)
        listing = scratch / "paths.json"
        listing.write_text(json.dumps(paths))
        if "interrupt" in args.only:
            measure_interrupt(listing)
        if "memory" in args.only:
            measure_memory(listing, args.memory_files)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
