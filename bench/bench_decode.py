"""Decoding speed and peak memory of kadenzo on a realistic corpus, side by side
with Python's own LZMA decompression and with a pure-Python decoder.

    .venv/bin/python bench/bench_decode.py [--quick] [--repeat N] [--threads N]

The corpus (written to a temporary folder) is made with tools/replay_builder.py:
mostly standard-mode plays of about 20,000 frames, some short plays, a few very
long ones and one long play of each other mode. Every timing is the median of
several passes over the whole corpus; the methods take turns within each
repetition, so load from other processes spreads over all of them alike.
Peak memory is measured in a fresh interpreter per measurement, as the growth
of the resident set's high-water mark over the resident set before the call.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import gc
import json
import lzma
import os
import pathlib
import random
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from replay_builder import (DEFAULT_DICT_SIZE, MODE_CTB, MODE_MANIA, MODE_STD,  # noqa: E402
                            MODE_TAIKO, realistic_replay)

SLOTS = {MODE_STD: "kivo_replay_data", MODE_TAIKO: "taiko_replay_data",
         MODE_CTB: "catch_replay_data", MODE_MANIA: "mania_replay_data"}
# Size of one stored frame per mode: a 64-bit time delta, then the mode's
# fields, padded to 8 bytes; and of one life-bar sample (u32 time, f32 life).
FRAME_RECORD_BYTES = {MODE_STD: 32, MODE_TAIKO: 24, MODE_CTB: 24, MODE_MANIA: 16}
LIFE_BAR_RECORD_BYTES = 8
TEXT_BUFFER_BYTES = 1 << 20  # the decoder's output buffer for the frame text
LZMA_OVERHEAD_BYTES = 65_400  # liblzma's fixed state next to its dictionary
MAX_TEXT_BYTES = 1 << 20  # longer texts are cut by the decoder; the corpus stays below


# --- corpus -----------------------------------------------------------------

def corpus_plan(quick: bool) -> list[tuple[int, int]]:
    """(mode, frame count) of every play. 20,000 frames is a 4-5 minute play at 60-70 Hz."""
    rng = random.Random(2024)
    standard, short, long_ = (6, 2, 1) if quick else (24, 6, 2)
    plan = [(MODE_STD, rng.randint(17_000, 23_000)) for _ in range(standard)]
    plan += [(MODE_STD, rng.randint(1_500, 5_000)) for _ in range(short)]
    plan += [(MODE_STD, count) for count in (48_000, 42_000)[:long_]]
    if not quick:
        plan += [(mode, rng.randint(17_000, 23_000)) for mode in (MODE_TAIKO, MODE_CTB, MODE_MANIA)]
    rng.shuffle(plan)  # a folder of plays comes in no particular order of length
    return plan


class Play:
    """One corpus file and what the measurements need to know about it."""

    def __init__(self, mode: int, frame_count: int, seed: int, folder: pathlib.Path):
        replay = realistic_replay(mode, frame_count, seed=seed)
        fields = dict(replay.fields())  # compresses once; to_bytes() would compress again
        self.mode, self.frames = mode, len(replay.frames)
        self.text_bytes = len(replay.frame_bytes())
        if self.text_bytes > MAX_TEXT_BYTES:
            raise SystemExit(f"a play of {frame_count} frames has {self.text_bytes} bytes of text, over 1 MiB")
        self.life_bar_samples = replay.life_bar.count("|")
        self.block = fields["block"]
        self.data = b"".join(fields.values())
        self.path = str(folder / f"play{seed:03}_mode{mode}.kvr")
        pathlib.Path(self.path).write_bytes(self.data)


def make_corpus(folder: pathlib.Path, quick: bool) -> list[Play]:
    return [Play(mode, count, seed, folder) for seed, (mode, count) in enumerate(corpus_plan(quick))]


# --- pure-Python decoder: what a user would write without kadenzo --------------

class KivoFrame:
    __slots__ = ("time_delta", "x", "y", "keys")

    def __init__(self, time_delta, x, y, keys):
        self.time_delta, self.x, self.y, self.keys = time_delta, x, y, keys


class TaikoFrame:
    __slots__ = ("time_delta", "x", "keys")

    def __init__(self, time_delta, x, keys):
        self.time_delta, self.x, self.keys = time_delta, x, keys


class CatchFrame:
    __slots__ = ("time_delta", "x", "dashing")

    def __init__(self, time_delta, x, dashing):
        self.time_delta, self.x, self.dashing = time_delta, x, dashing


class ManiaFrame:
    __slots__ = ("time_delta", "keys")

    def __init__(self, time_delta, keys):
        self.time_delta, self.keys = time_delta, keys


class PyReplay:
    pass


COUNTS = struct.Struct("<6hihBI")


def read_string(data: bytes, pos: int) -> tuple[str | None, int]:
    marker = data[pos]
    pos += 1
    if marker == 0:
        return None, pos
    length = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        length |= (byte & 0x7F) << shift
        if byte < 0x80:
            break
        shift += 7
    return data[pos:pos + length].decode("utf-8"), pos + length


def py_frames(mode: int, text: str):
    items = text.split(",")
    if items and not items[-1]:
        items.pop()
    seed = None
    if items and items[-1].startswith("-12345|"):
        seed = int(items.pop().split("|")[3])
    frames = []
    append = frames.append
    if mode == MODE_STD:
        for item in items:
            w, x, y, z = item.split("|")
            append(KivoFrame(int(w), float(x), float(y), int(z)))
    elif mode == MODE_TAIKO:
        for item in items:
            w, x, _, z = item.split("|")
            append(TaikoFrame(int(w), int(x), int(z)))
    elif mode == MODE_CTB:
        for item in items:
            w, x, _, z = item.split("|")
            append(CatchFrame(int(w), float(x), z == "1"))
    else:
        for item in items:
            w, x, _, _ = item.split("|")
            append(ManiaFrame(int(w), int(x)))
    return frames, seed


def py_decode(data: bytes) -> PyReplay:
    r = PyReplay()
    r.mode, r.game_version = struct.unpack_from("<Bi", data, 0)
    r.beatmap_hash, pos = read_string(data, 5)
    r.username, pos = read_string(data, pos)
    r.replay_hash, pos = read_string(data, pos)
    (r.count_300, r.count_100, r.count_50, r.count_geki, r.count_katu, r.count_miss,
     r.score, r.max_combo, perfect, r.mods) = COUNTS.unpack_from(data, pos)
    r.perfect = perfect == 1
    life_bar, pos = read_string(data, pos + COUNTS.size)
    r.life_bar_graph = [(int(t), float(v)) for t, v in
                        (sample.split("|") for sample in life_bar.split(",") if sample)]
    r.timestamp, length = struct.unpack_from("<qi", data, pos)
    pos += 12
    text = lzma.decompress(data[pos:pos + length], format=lzma.FORMAT_ALONE).decode("ascii")
    r.frames, r.rng_seed = py_frames(r.mode, text)
    pos += length
    r.replay_id = struct.unpack_from("<q" if len(data) - pos >= 8 else "<i", data, pos)[0]
    return r


def check_same_values(plays: list[Play], kadenzo) -> None:
    """The pure-Python decoder gives the values kadenzo gives, in every mode: the comparison is fair."""
    for mode in sorted({p.mode for p in plays}):
        play = next(p for p in plays if p.mode == mode)
        mine, theirs = py_decode(play.data), kadenzo.parse_replay_from_bytes(play.data)
        frames = getattr(theirs.replay_data, SLOTS[mode])
        names = type(mine.frames[0]).__slots__
        assert [[getattr(f, n) for n in names] for f in mine.frames] == \
               [[int(getattr(f, n)) if n == "keys" else getattr(f, n) for n in names] for f in frames]
        assert (mine.rng_seed, mine.replay_id, mine.score) == (theirs.rng_seed, theirs.replay_id, theirs.score)


# --- timings ------------------------------------------------------------------

def decompress_alone(block: bytes) -> bytes:
    return lzma.decompress(block, format=lzma.FORMAT_ALONE)


HEADER_PASSES = 50  # header-only passes are so short that one is timed as many


def timed_methods(plays: list[Play], kadenzo, pool: concurrent.futures.Executor) -> dict:
    """name -> function doing one pass over the corpus; returns its result so
    that freeing it happens outside the timing."""
    blocks = [p.block for p in plays]
    datas = [p.data for p in plays]
    with_slot = [(p.data, SLOTS[p.mode]) for p in plays]
    paths = [p.path for p in plays]
    from_bytes, from_path = kadenzo.parse_replay_from_bytes, kadenzo.parse_replay_from_path

    def header_only():
        for _ in range(HEADER_PASSES):
            out = [from_bytes(d, True) for d in datas]
        return out

    return {
        "lzma.decompress (floor)": lambda: [lzma.decompress(b, format=lzma.FORMAT_ALONE) for b in blocks],
        # The same work in worker threads (lzma releases the interpreter lock):
        # how much parallel CPU the machine gives at this moment.
        "  in Python threads (control)": lambda: list(pool.map(decompress_alone, blocks)),
        "pure-Python decoder": lambda: [py_decode(d) for d in datas],
        "parse_replay_from_bytes": lambda: [from_bytes(d) for d in datas],
        "  + read frame list once": lambda: [getattr(from_bytes(d).replay_data, s) for d, s in with_slot],
        "header_only=True": header_only,
        "loop of parse_replay_from_path": lambda: [from_path(p) for p in paths],
        "parse_replays_from_paths": lambda: kadenzo.parse_replays_from_paths(paths),
    }


def measure(methods: dict, repeat: int) -> tuple[dict[str, float], dict[str, float]]:
    """Median wall time and median CPU time (all threads of the process) per pass."""
    walls: dict[str, list[float]] = {name: [] for name in methods}
    cpus: dict[str, list[float]] = {name: [] for name in methods}
    names = list(methods)
    for rep in range(repeat + 1):
        order = names[rep % len(names):] + names[:rep % len(names)]
        for name in order:
            gc.collect()
            cpu, start = time.process_time(), time.perf_counter()
            result = methods[name]()
            elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
            del result
            if rep:  # the first round warms caches and creates the worker pool
                walls[name].append(elapsed)
                cpus[name].append(cpu)
    wall = {name: statistics.median(values) for name, values in walls.items()}
    cpu = {name: statistics.median(values) for name, values in cpus.items()}
    for table in (wall, cpu):
        table["header_only=True"] /= HEADER_PASSES
    return wall, cpu


def scheduling_bound(plays: list[Play], kadenzo, threads: int) -> float:
    """The batch speed-up that handing out files in path order to `threads`
    workers allows at best, from each file's own decoding time."""
    costs = []
    for play in plays:
        start = time.perf_counter()
        kadenzo.parse_replay_from_path(play.path)
        costs.append(time.perf_counter() - start)
    free_at = [0.0] * threads
    for cost in costs:  # the next file goes to the worker that is free first
        free_at[free_at.index(min(free_at))] += cost
    return sum(costs) / max(free_at)


def cpu_pressure() -> str:
    """The kernel's share of time in which runnable tasks waited for a CPU."""
    try:
        with open("/proc/pressure/cpu") as f:
            return f.readline().split()[1]  # "avg10=..."
    except OSError:
        return "avg10=unknown"


# --- peak memory, one fresh interpreter per measurement -------------------------

def status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))


def memory_child(kind: str, paths: list[str]) -> None:
    import kadenzo
    if kind == "batch":
        kadenzo.parse_replays_from_paths([])  # the pool's threads and stacks are not the batch's memory
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark to the current resident set
    except OSError:
        pass  # a fresh interpreter's mark is close to its current set anyway
    before = status_kib("VmRSS")
    if kind == "batch":
        result = kadenzo.parse_replays_from_paths(paths)
    else:
        result = [kadenzo.parse_replay_from_path(p) for p in paths]
    peak, after = status_kib("VmHWM"), status_kib("VmRSS")
    workers = len(os.listdir("/proc/self/task")) - 1
    print(json.dumps({"peak": (peak - before) * 1024, "kept": (after - before) * 1024,
                      "workers": workers, "count": len(result)}))


def measure_memory(kind: str, plays: list[Play]) -> dict:
    done = subprocess.run([sys.executable, __file__, "--memory-child", kind, *(p.path for p in plays)],
                          capture_output=True, text=True, check=True, env=os.environ.copy())
    return json.loads(done.stdout)


def memory_budget(plays: list[Play], workers: int) -> tuple[int, int, int]:
    """(records, per-worker transient, total): the frame and life-bar records
    of every play, plus per worker the largest file, the text buffer and the
    LZMA decoder (dictionary and fixed state)."""
    records = sum(p.frames * FRAME_RECORD_BYTES[p.mode] + p.life_bar_samples * LIFE_BAR_RECORD_BYTES
                  for p in plays)
    per_worker = max(len(p.data) for p in plays) + TEXT_BUFFER_BYTES + DEFAULT_DICT_SIZE + LZMA_OVERHEAD_BYTES
    return records, per_worker, records + workers * per_worker


# --- report -------------------------------------------------------------------

def mib(n: float) -> str:
    return f"{n / 2**20:7.1f} MiB"


def report(plays: list[Play], times: dict, cpu: dict, memory: dict, threads: int, bound: float,
           pressure: tuple[str, str]) -> None:
    total_frames = sum(p.frames for p in plays)
    corpus_bytes = sum(len(p.data) for p in plays)
    text_bytes = sum(p.text_bytes for p in plays)
    print(f"\ncorpus: {len(plays)} files, {total_frames:,} frames, {mib(corpus_bytes).strip()} on disk, "
          f"{mib(text_bytes).strip()} of frame text; pool of {threads} worker threads\n")
    floor_cpu = cpu["lzma.decompress (floor)"]
    print(f"{'per pass over the corpus (median)':34} {'wall':>10} {'cpu':>10} {'cpu ns/frame':>12} {'cpu/floor':>9}")
    for name, seconds in times.items():
        print(f"{name:34} {seconds * 1e3:7.2f} ms {cpu[name] * 1e3:7.2f} ms "
              f"{cpu[name] / total_frames * 1e9:12.1f} {cpu[name] / floor_cpu:9.2f}")

    # Single-threaded methods are compared by CPU time, which time spent
    # waiting for a CPU held by another process does not inflate; the batch
    # is about wall time, so it is compared by wall time.
    full, with_list, pure = (cpu[name] for name in (
        "parse_replay_from_bytes", "  + read frame list once", "pure-Python decoder"))
    batch, loop = times["parse_replays_from_paths"], times["loop of parse_replay_from_path"]
    parallelism = cpu["parse_replays_from_paths"] / batch
    control = times["lzma.decompress (floor)"] / times["  in Python threads (control)"]
    print(f"\nbatch: {parallelism:.2f} CPUs busy on average (of {threads}); handing out the files in path "
          f"order allows at best {bound:.2f}x.\nLZMA alone in {threads} Python threads ran {control:.2f}x as fast "
          f"as in one: the parallel CPU this machine gave at the time. CPU pressure from other processes "
          f"before/after the timings: {pressure[0]} / {pressure[1]} (percent of time runnable tasks waited)")
    print(f"pure-Python decoder / floor = {pure / floor_cpu:.2f} (cpu): no decoder built on liblzma gets further "
          f"ahead of it")

    workers = memory["batch"]["workers"]
    records, per_worker, budget = memory_budget(plays, workers)
    print("\npeak resident memory above the interpreter (fresh process each; 'kept' = still resident after)")
    for kind in ("batch", "loop"):
        m = memory[kind]
        print(f"  {kind:6} peak {mib(m['peak'])}   kept {mib(m['kept'])}")
    print(f"  records (frames x record size) {mib(records)}; per worker: largest file + "
          f"1 MiB text buffer + LZMA dictionary {mib(per_worker)}; {workers} workers")

    rows = [
        ("full decode / lzma floor (cpu)", full / floor_cpu, "<= 1.15", full / floor_cpu <= 1.15),
        ("pure-Python / (decode + frame list) (cpu)", pure / with_list, ">= 6", pure / with_list >= 6),
        (f"loop / batch, {threads} threads (wall)", loop / batch, ">= 1.8", loop / batch >= 1.8),
        ("full decode / header_only (cpu)", full / cpu["header_only=True"], ">= 1000",
         full / cpu["header_only=True"] >= 1000),
        ("batch peak / (records + workers x buffers)", memory["batch"]["peak"] / budget, "<= 1.0",
         memory["batch"]["peak"] <= budget),
    ]
    print(f"\n{'target':44} {'measured':>9} {'wanted':>8}  result")
    for name, value, wanted, ok in rows:
        print(f"{name:44} {value:9.2f} {wanted:>8}  {'PASS' if ok else 'MISS'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller corpus and fewer repetitions")
    parser.add_argument("--repeat", type=int, help="timed passes per method (default 7, quick 3)")
    parser.add_argument("--threads", type=int, default=2, help="worker threads of the batch pool (default 2)")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.paths)
        return

    # The pool reads its size once, when the first batch creates it.
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    import kadenzo

    repeat = args.repeat or (3 if args.quick else 7)
    with tempfile.TemporaryDirectory(prefix="kadenzo-bench-") as folder:
        start = time.perf_counter()
        plays = make_corpus(pathlib.Path(folder), args.quick)
        print(f"generated {len(plays)} replays in {time.perf_counter() - start:.1f} s", flush=True)
        check_same_values(plays, kadenzo)
        pressure_before = cpu_pressure()
        with concurrent.futures.ThreadPoolExecutor(args.threads) as pool:
            times, cpu = measure(timed_methods(plays, kadenzo, pool), repeat)
        pressure = (pressure_before, cpu_pressure())
        bound = scheduling_bound(plays, kadenzo, args.threads)
        memory = {"batch": measure_memory("batch", plays), "loop": measure_memory("loop", plays)}
        report(plays, times, cpu, memory, args.threads, bound, pressure)


if __name__ == "__main__":
    main()
