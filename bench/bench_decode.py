"""Decoding speed and peak memory of kadenzo against liblzma's own work.

    .venv/bin/python bench/bench_decode.py [--quick] [--repeat N] [--threads N] [--only corpus|growth]
                                           [--largest MIB]

The corpus (written to a temporary folder) is generated here with the
compressibility of real plays: cursor paths that ease towards targets on the
pointing device's raster with a little hand jitter and short rests, drums and
columns with long idle stretches, catch with a plate that runs and dashes, all
sampled at 60 Hz. The achieved compression ratio is printed per mode. The
files have the shapes the game writes (replay_builder's options): the
markers and the lead-in item before the input (a third of the plays are the
newer client's, with its one opening item and its score block after the
online id), the key mode's decimal field 2, some 4-byte online ids.

The floor is liblzma itself, called through ctypes in the very library the
extension has mapped: each block decoded into an output buffer that is
already allocated and touched, so that it holds the decompressor's own work
and nothing else. The same decoding into fresh pages (the page faults a naive
caller pays) is printed beside it. Every timing is the median of interleaved
repetitions (methods take turns within each repetition, so load from other
processes spreads over all of them alike), as CPU time of the process and
as wall time. Peak memory is measured in a fresh interpreter per
measurement, as the growth of the resident set's high-water mark.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import lzma
import mmap
import os
import pathlib
import random
import re
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from replay_builder import (  # noqa: E402
    MODE_CTB,
    MODE_MANIA,
    MODE_STD,
    MODE_TAIKO,
    ReplayFile,
    compress,
    newer_client_opening,
    opening_items,
    score_info,
)

SLOTS = {
    MODE_STD: "kivo_replay_data",
    MODE_TAIKO: "taiko_replay_data",
    MODE_CTB: "catch_replay_data",
    MODE_MANIA: "mania_replay_data",
}
MODE_NAMES = {MODE_STD: "cursor", MODE_TAIKO: "drums", MODE_CTB: "catch", MODE_MANIA: "columns"}
SEED_ITEM = "-12345|0|0|{seed},"
DICT_SIZE = 1 << 21  # the game's encoder uses a dictionary of this order
PRESET = 6  # and the default effort


# --- corpus -----------------------------------------------------------------


def frame_deltas(rng: random.Random, count: int) -> list[int]:
    """60 Hz: 17, 17, 16 ms in turn, a millisecond of jitter on one frame in
    ten, a late frame now and then."""
    deltas = []
    for i in range(count):
        delta = (17, 17, 16)[i % 3]
        roll = rng.random()
        if roll < 0.1:
            delta += rng.choice((-1, 1))
        elif roll < 0.105:
            delta = rng.randint(18, 40)
        deltas.append(delta)
    return deltas


def number(value: float) -> str:
    """A life-bar value as the game writes it: shortest text, no ".0"."""
    text = repr(round(value, 4))
    return text[:-2] if text.endswith(".0") else text


SINGLE = struct.Struct("<f")


def single(value: float) -> str:
    """A coordinate as the game writes it: held in single precision, written
    with the fewest decimals that read back as the same single (so 68.26667,
    3.733333 or -12.8), never with an exponent."""
    stored = SINGLE.unpack(SINGLE.pack(value))[0]
    for decimals in range(9):
        text = f"{stored:.{decimals}f}"
        if SINGLE.unpack(SINGLE.pack(float(text)))[0] == stored:
            return "0" if text == "-0" else text
    return repr(stored)


RASTER = 3.75  # device pixels per playfield unit: positions fall on a grid


def cursor_items(rng: random.Random, count: int) -> list[str]:
    items, deltas = [], frame_deltas(rng, count)
    x, y, keys = 256.0, 192.0, 0
    while len(items) < count:
        length = rng.randint(5, 60)
        if rng.random() < 0.18:  # resting: the same position, written the same way
            sx, sy = single(round(x * RASTER) / RASTER), single(round(y * RASTER) / RASTER)
            for _ in range(length):
                items.append(f"{deltas[len(items) % count]}|{sx}|{sy}|{keys}")
            continue
        # Targets a little outside the playfield too: some positions are negative.
        tx, ty = rng.uniform(-24, 536), rng.uniform(-18, 402)
        for _ in range(length):
            x += (tx - x) * 0.25 + rng.gauss(0, 0.65)
            y += (ty - y) * 0.25 + rng.gauss(0, 0.65)
            if rng.random() < 0.08:
                keys = rng.choice((1, 2, 5, 10)) if keys == 0 else 0
            items.append(
                f"{deltas[len(items) % count]}|{single(round(x * RASTER) / RASTER)}|"
                f"{single(round(y * RASTER) / RASTER)}|{keys}"
            )
    return items[:count]


def idle_and_presses(rng: random.Random, count: int, patterns: list[int]) -> list[int]:
    """Key states: long idle stretches, short presses."""
    states: list[int] = []
    while len(states) < count:
        states += [0] * (rng.randint(20, 200) if rng.random() < 0.5 else rng.randint(3, 15))
        states += [rng.choice(patterns)] * rng.randint(2, 5)
    return states[:count]


def drum_items(rng: random.Random, count: int, x: str = "320") -> list[str]:
    keys = idle_and_presses(rng, count, [1, 2, 4, 8, 5, 10])
    return [f"{d}|{x}|9999|{k}" for d, k in zip(frame_deltas(rng, count), keys)]


def decimal_drum_items(rng: random.Random, count: int) -> list[str]:
    """A rarer legal shape: the drum x written with decimals (read as 368)."""
    return drum_items(rng, count, x="368.3333")


def column_items(rng: random.Random, count: int) -> list[str]:
    chords = [sum(1 << c for c in rng.sample(range(7), rng.randint(1, 2))) for _ in range(12)]
    keys = idle_and_presses(rng, count, chords)
    # Field 2 holds a decimal of the play (its scroll speed), the same in every item.
    speed = f"{rng.uniform(10, 40):.5f}"
    return [f"{d}|{k}|{speed}|0" for d, k in zip(frame_deltas(rng, count), keys)]


def catch_items(rng: random.Random, count: int) -> list[str]:
    items, deltas = [], frame_deltas(rng, count)
    x, target, dashing = 256.0, 256.0, False
    for delta in deltas:
        if rng.random() < 0.04:
            target, dashing = rng.uniform(0, 512), rng.random() < 0.3
        step = 14.0 if dashing else 7.0
        x = min(x + step, target) if x < target else max(x - step, target)
        items.append(f"{delta}|{single(round(x * RASTER) / RASTER)}|9999|{int(dashing and x != target)}")
    return items


ITEMS = {MODE_STD: cursor_items, MODE_TAIKO: drum_items, MODE_CTB: catch_items, MODE_MANIA: column_items}


DECIMAL_DRUMS = "drums x.x"  # a group of its own, outside "all": not the usual shape


def newer_client(seed: int) -> bool:
    """A third of the plays are the newer client's: no markers, a score block."""
    return seed % 3 == 2


def opening(mode: int, seed: int, first_item: str) -> list[str]:
    """The items the game writes before the input (replay_builder.opening_items):
    the markers (a catch play's second one now and then far from -1) and the
    lead-in item, a cursor's far off the playfield; the key mode's field 2 is
    the play's decimal, as in its other items."""
    rng = random.Random(f"opening-{seed}-{mode}")
    field_2 = first_item.split("|")[2]
    if newer_client(seed):
        position = (single(rng.uniform(-200, -20)), single(rng.uniform(-80, -20)))
        return newer_client_opening(mode, position, field_2=field_2)
    second = rng.randint(1_000, 5_000) if mode == MODE_CTB and rng.random() < 0.5 else -1
    position = (single(round(rng.uniform(9_000, 20_000), 2)), single(round(rng.uniform(9_000, 20_000), 2)))
    return opening_items(mode, rng.randint(400, 3_000), second_delta=second, position=position, field_2=field_2)


def frame_text(mode: int, count: int, seed: int, decimal_x: bool = False) -> bytes:
    rng = random.Random(seed * 4 + mode)
    items = decimal_drum_items(rng, count) if decimal_x else ITEMS[mode](rng, count)
    if newer_client(seed):  # its second item jumps far ahead (`17|85.828674|219.61784|0,136764|...`)
        items[1] = str(rng.randint(20_000, 150_000)) + items[1][items[1].index("|") :]
    items = opening(mode, seed, items[0]) + items
    return (",".join(items) + "," + SEED_ITEM.format(seed=seed)).encode("ascii")


def life_bar(rng: random.Random, samples: int) -> str:
    life, parts = 1.0, []
    for i in range(samples):
        parts.append(f"{i * 2000}|{number(round(life, 2))}")
        life = min(1.0, max(0.0, life + rng.uniform(-0.15, 0.1)))
    return ",".join(parts) + ","


class Play:
    """One corpus file and what the measurements need to know about it."""

    def __init__(
        self, mode: int, frames: int, seed: int, folder: pathlib.Path, preset: int = PRESET, decimal_x: bool = False
    ):
        self.mode, self.frames = mode, frames
        self.text = frame_text(mode, frames, seed, decimal_x)
        self.block = compress(self.text, dict_size=DICT_SIZE, preset=preset)
        rng = random.Random(seed)
        replay = ReplayFile(mode=mode, block=self.block, life_bar=life_bar(rng, 134), score=rng.randint(0, 10**7))
        if newer_client(seed):  # the score block after the online id
            replay.score_info = score_info(rng, frames // 4, rng.randint(0, 20))
        elif seed % 5 == 4:  # a 4-byte online id, as a file cut by 1 to 4 bytes reads
            replay.id_width = 4
        self.data, self.id_width = replay.to_bytes(), replay.id_width
        self.path = str(folder / f"play{seed:03}_mode{mode}.kvr")
        pathlib.Path(self.path).write_bytes(self.data)


def corpus_plan(quick: bool) -> list[tuple[int, int]]:
    """(mode, frame count): 20,000 frames is a 5-minute play at 60 Hz."""
    rng = random.Random(2024)
    per_mode = {MODE_STD: 12, MODE_TAIKO: 5, MODE_CTB: 5, MODE_MANIA: 5}
    plan = []
    for mode, count in per_mode.items():
        for _ in range(max(2, count // 3) if quick else count):
            plan.append((mode, rng.randint(8_000, 30_000)))
    rng.shuffle(plan)
    return plan


def make_corpus(folder: pathlib.Path, quick: bool) -> tuple[list[Play], list[Play]]:
    """The corpus, and drum plays whose x is written with decimals (as many as
    the corpus has drum plays, of the same lengths)."""
    plan = corpus_plan(quick)
    plays = [Play(mode, count, seed, folder) for seed, (mode, count) in enumerate(plan)]
    decimal = [
        Play(mode, count, len(plan) + seed, folder, decimal_x=True)
        for seed, (mode, count) in enumerate(plan)
        if mode == MODE_TAIKO
    ]
    return plays, decimal


# --- the floor: liblzma through ctypes ------------------------------------------

LZMA_RUN, LZMA_OK, LZMA_STREAM_END = 0, 0, 1
LZMA_STREAM_BYTES = 136  # sizeof(lzma_stream) on 64-bit; all zero is its initial state


def loaded_liblzma() -> str:
    """The path of the liblzma the process has mapped (the extension's)."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "liblzma.so" in path:
                return path
    raise SystemExit("no liblzma mapped in this process")


def built_against() -> str:
    """The liblzma headers the extension was compiled with, when it sits in a
    CMake build tree (the cache names them); otherwise the system's headers."""
    import kadenzo

    include = "/usr/include"
    for folder in pathlib.Path(kadenzo.__file__).resolve().parents:
        cache = folder / "CMakeCache.txt"
        if cache.exists():
            found = re.search(r"^LIBLZMA_INCLUDE_DIR:PATH=(.*)$", cache.read_text(), re.M)
            include = found.group(1) if found else include
            break
    try:
        header = (pathlib.Path(include) / "lzma" / "version.h").read_text()
    except OSError:
        return "unknown"
    parts = [re.search(rf"#define LZMA_VERSION_{p}\s+(\d+)", header).group(1) for p in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts) + f" (headers in {include})"


class Liblzma:
    def __init__(self) -> None:
        self.path = loaded_liblzma()
        lib = ctypes.CDLL(self.path)
        lib.lzma_version_string.restype = ctypes.c_char_p
        lib.lzma_alone_decoder.argtypes = [ctypes.c_void_p, ctypes.c_uint64]
        lib.lzma_code.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.lzma_end.argtypes = [ctypes.c_void_p]
        self.lib = lib
        self.version = lib.lzma_version_string().decode()
        self.stream = ctypes.create_string_buffer(LZMA_STREAM_BYTES)
        self.fields = ctypes.cast(self.stream, ctypes.POINTER(ctypes.c_uint64))

    def decode(self, block: bytes, out_address: int, room: int) -> int:
        """Decodes one block into `room` bytes at `out_address`, a fresh
        decoder per block as any caller makes it; returns the text length."""
        ctypes.memset(self.stream, 0, LZMA_STREAM_BYTES)
        lib, fields = self.lib, self.fields
        if lib.lzma_alone_decoder(self.stream, 2**64 - 1) != LZMA_OK:
            raise RuntimeError("lzma_alone_decoder failed")
        source = ctypes.c_char_p(block)
        fields[0] = ctypes.cast(source, ctypes.c_void_p).value  # next_in
        fields[1] = len(block)  # avail_in
        fields[3] = out_address  # next_out
        fields[4] = room  # avail_out
        ret = lib.lzma_code(self.stream, LZMA_RUN)
        produced = room - fields[4]
        lib.lzma_end(self.stream)
        if ret not in (LZMA_OK, LZMA_STREAM_END):
            raise RuntimeError(f"lzma_code returned {ret}")
        return produced


# --- pure-Python decoder: what a user would write without kadenzo --------------


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
    return data[pos : pos + length].decode("utf-8"), pos + length


def py_frames(mode: int, text: str):
    items = text.split(",")
    if items and not items[-1]:
        items.pop()
    seed = None
    if items and items[-1].startswith("-12345|"):
        seed = int(items.pop().split("|")[3])
    if mode == MODE_STD:
        frames = [(int(w), float(x), float(y), int(z)) for w, x, y, z in (i.split("|") for i in items)]
    elif mode == MODE_TAIKO:
        frames = [(int(w), int(x.partition(".")[0]), int(z)) for w, x, _, z in (i.split("|") for i in items)]
    elif mode == MODE_CTB:
        frames = [(int(w), float(x), z == "1") for w, x, _, z in (i.split("|") for i in items)]
    else:
        frames = [(int(w), int(x)) for w, x, _, _ in (i.split("|") for i in items)]
    return frames, seed


def py_decode(data: bytes) -> PyReplay:
    r = PyReplay()
    r.mode, r.game_version = struct.unpack_from("<Bi", data, 0)
    r.beatmap_hash, pos = read_string(data, 5)
    r.username, pos = read_string(data, pos)
    r.replay_hash, pos = read_string(data, pos)
    (
        r.count_300,
        r.count_100,
        r.count_50,
        r.count_geki,
        r.count_katu,
        r.count_miss,
        r.score,
        r.max_combo,
        perfect,
        r.mods,
    ) = COUNTS.unpack_from(data, pos)
    life, pos = read_string(data, pos + COUNTS.size)
    r.life_bar_graph = [(int(t), float(v)) for t, v in (s.split("|") for s in life.split(",") if s)]
    r.timestamp, length = struct.unpack_from("<qi", data, pos)
    pos += 12
    text = lzma.decompress(data[pos : pos + length], format=lzma.FORMAT_ALONE).decode("ascii")
    r.frames, r.rng_seed = py_frames(r.mode, text)
    rest = data[pos + length :]
    r.replay_id = struct.unpack_from("<q" if len(rest) >= 8 else "<i", rest)[0] % 2**64
    return r


FIELDS = {
    MODE_STD: ("time_delta", "x", "y", "keys"),
    MODE_TAIKO: ("time_delta", "x", "keys"),
    MODE_CTB: ("time_delta", "x", "dashing"),
    MODE_MANIA: ("time_delta", "keys"),
}


def check_same_values(plays: list[Play], kadenzo) -> None:
    """The pure-Python decoder gives kadenzo's values in every mode: the comparison is fair."""
    # One play of each mode and shape: decimal drum x, markers or the newer client's opening, id width.
    shapes = {(p.mode, b"|368.3333|" in p.text, p.text.startswith(b"0|"), p.id_width): p for p in plays}
    for (mode, *_), play in shapes.items():
        mine, theirs = py_decode(play.data), kadenzo.parse_replay_from_bytes(play.data)
        frames = getattr(theirs.replay_data, SLOTS[mode])
        assert mine.frames == [
            tuple(int(v) if n == "keys" else v for n, v in ((n, getattr(f, n)) for n in FIELDS[mode])) for f in frames
        ]
        assert (mine.rng_seed, mine.score, mine.replay_id) == (theirs.rng_seed, theirs.score, theirs.replay_id)


# --- timings ------------------------------------------------------------------


def clocks() -> tuple[float, float]:
    return time.process_time(), time.perf_counter()


def run_interleaved(methods: dict, repeat: int) -> tuple[dict, dict]:
    """Median CPU and wall seconds of each method (a callable doing one pass);
    the methods take turns, starting one further along in each repetition,
    and a first unrecorded round warms caches."""
    cpus: dict[str, list[float]] = {name: [] for name in methods}
    walls: dict[str, list[float]] = {name: [] for name in methods}
    names = list(methods)
    for rep in range(repeat + 1):
        shift = rep % len(names)
        for name in names[shift:] + names[:shift]:
            gc.collect()
            cpu, wall = clocks()
            result = methods[name]()
            cpu2, wall2 = clocks()
            del result
            if rep:
                cpus[name].append(cpu2 - cpu)
                walls[name].append(wall2 - wall)
    return ({n: statistics.median(v) for n, v in cpus.items()}, {n: statistics.median(v) for n, v in walls.items()})


def floor_methods(lib: Liblzma, groups: dict[str, list[Play]]) -> dict:
    largest = max(len(p.text) for ps in groups.values() for p in ps) + 1
    touched = ctypes.create_string_buffer(largest)  # zero-filled: every page touched
    address = ctypes.addressof(touched)

    def floor(plays, keep=touched):  # the buffer lives as long as the method
        for p in plays:
            if lib.decode(p.block, address, largest) != len(p.text):
                raise RuntimeError("the floor decoded a wrong length")

    def fresh(plays):
        for p in plays:
            room = len(p.text) + 1
            pages = mmap.mmap(-1, room)
            view = ctypes.c_char.from_buffer(pages)
            lib.decode(p.block, ctypes.addressof(view), room)
            del view
            pages.close()

    methods = {}
    for group, plays in groups.items():
        methods[("floor", group)] = lambda plays=plays: floor(plays)
        methods[("fresh floor", group)] = lambda plays=plays: fresh(plays)
    return methods


def decode_methods(kadenzo, groups: dict[str, list[Play]]) -> dict:
    from_bytes = kadenzo.parse_replay_from_bytes
    methods = {}
    for group, plays in groups.items():
        datas = [p.data for p in plays]
        with_slot = [(p.data, SLOTS[p.mode]) for p in plays]
        methods[("decode", group)] = lambda datas=datas: [from_bytes(d) for d in datas]
        methods[("decode + list", group)] = lambda w=with_slot: [getattr(from_bytes(d).replay_data, s) for d, s in w]
        methods[("pure Python", group)] = lambda datas=datas: [py_decode(d) for d in datas]
    return methods


def object_cost(kadenzo, groups: dict[str, list[Play]], repeat: int) -> dict | None:
    """Per group: reading the frame lists of decoded replays against building
    as many minimal heap-type objects of the same instance size (the native
    yardstick in bench/object_cost_bench.cpp). Play by play, the two take
    turns (medians of many repetitions: each is a few milliseconds of work),
    with no collection in between (neither kind of object is tracked by the
    collector). None when the yardstick is not built (-DKADENZO_BUILD_BENCH=ON
    puts it beside the package in the build tree)."""
    try:
        import _kadenzo_bench
    except ImportError:
        return None
    header = object.__basicsize__
    per_play = {}
    for play in {p.path: p for ps in groups.values() for p in ps}.values():
        container, slot = kadenzo.parse_replay_from_bytes(play.data).replay_data, SLOTS[play.mode]
        frames = getattr(container, slot)
        size = type(frames[0]).__basicsize__
        payload = bytes(len(frames) * (size - header))
        del frames
        methods = {
            "frame list": lambda: getattr(container, slot),
            "minimal objects": lambda: _kadenzo_bench.minimal_objects(payload, size),
        }
        gc.disable()
        try:
            per_play[play.path], _ = run_interleaved(methods, max(3 * repeat, 15))
        finally:
            gc.enable()
    return {
        g: sum(per_play[p.path]["frame list"] for p in ps) / sum(per_play[p.path]["minimal objects"] for p in ps)
        for g, ps in groups.items()
    }


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


def memory_child(kind: str, paths: list[str], slots: list[str]) -> None:
    import kadenzo

    datas = [pathlib.Path(p).read_bytes() for p in paths]
    kadenzo.parse_replay_from_bytes(datas[0], True)  # the module's own start-up is not the decode's
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets the high-water mark to the current resident set
    except OSError:
        pass
    before = status_kib("VmRSS")
    if kind == "list":
        kept = [getattr(kadenzo.parse_replay_from_bytes(d).replay_data, s) for d, s in zip(datas, slots)]
    else:
        kept = [kadenzo.parse_replay_from_bytes(d) for d in datas]
    print(json.dumps({"peak": (status_kib("VmHWM") - before) * 1024, "count": len(kept)}))


def peak_bytes(kind: str, plays: list[Play]) -> int:
    command = [
        sys.executable,
        __file__,
        "--memory-child",
        kind,
        *(p.path for p in plays),
        "--slots",
        *(SLOTS[p.mode] for p in plays),
    ]
    done = subprocess.run(command, capture_output=True, text=True, check=True, env=os.environ.copy())
    return json.loads(done.stdout)["peak"]


# --- growth: one play of growing length --------------------------------------------

GROWTH_SIZES = [1 << 10, 16 << 10, 256 << 10, 1 << 20, 4 << 20, 16 << 20, 64 << 20, 256 << 20]


def growth_text(size: int, chunk: bytes) -> bytes:
    """About `size` bytes of cursor frames: the chunk's items, repeated, then
    the seed item; repetitions lie farther apart than the dictionary reaches,
    so the text compresses like a real one."""
    seed = SEED_ITEM.format(seed=7).encode()
    body = (chunk * (size // len(chunk) + 1))[: size - len(seed)]
    body = body[: body.rfind(b",") + 1]
    return body + seed


def growth_table(kadenzo, lib: Liblzma, sizes: list[int], folder: pathlib.Path, repeat: int) -> list[dict]:
    chunk = frame_text(MODE_STD, 250_000, 99)  # about 5.5 MiB, over twice the dictionary
    chunk = chunk[: chunk.rfind(b"-12345")]
    rows = []
    for size in sizes:
        text = growth_text(size, chunk)
        play = Play.__new__(Play)
        play.mode, play.text = MODE_STD, text
        play.block = compress(text, dict_size=DICT_SIZE, preset=1 if size > (16 << 20) else PRESET)
        play.frames = text.count(b",") - 1
        play.data = ReplayFile(mode=MODE_STD, block=play.block).to_bytes()
        play.path = str(folder / f"growth{size}.kvr")
        pathlib.Path(play.path).write_bytes(play.data)
        passes = max(1, min(200, (4 << 20) // size))  # small texts: many decodes per timing
        touched = ctypes.create_string_buffer(len(text) + 1)
        address = ctypes.addressof(touched)
        methods = {
            "floor": lambda: [lib.decode(play.block, address, len(text) + 1) for _ in range(passes)],
            "decode": lambda: [kadenzo.parse_replay_from_bytes(play.data) for _ in range(passes)],
        }
        reps = repeat if size <= (16 << 20) else max(2, repeat // 2)
        cpu, _ = run_interleaved(methods, reps)
        del touched
        # Page faults of one decode in the steady state (each replay freed before the next call).
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        for _ in range(passes):
            kadenzo.parse_replay_from_bytes(play.data)
        faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) / passes
        peak = peak_bytes("replay", [play])
        peak_list = peak_bytes("list", [play]) if size <= (64 << 20) else None
        rows.append(
            {
                "size": size,
                "text": len(text),
                "compression": len(text) / len(play.block),
                "floor_ns": cpu["floor"] / passes / len(text) * 1e9,
                "decode_ns": cpu["decode"] / passes / len(text) * 1e9,
                "peak": peak / len(text),
                "peak_list": peak_list and peak_list / len(text),
                "faults": faults,
            }
        )
        os.unlink(play.path)
        print(f"  growth {len(text):>11,} bytes done", file=sys.stderr, flush=True)
    return rows


# --- report -------------------------------------------------------------------


def size_text(n: int) -> str:
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a smaller corpus, fewer repetitions, growth to 16 MiB")
    parser.add_argument("--repeat", type=int, help="timed repetitions per method (default 7, quick 3)")
    parser.add_argument("--threads", type=int, default=2, help="worker threads of the batch pool (default 2)")
    parser.add_argument("--only", choices=("corpus", "growth"), help="run one part of the measurements")
    parser.add_argument("--largest", type=int, help="the longest growth text, MiB (default 256, quick 16)")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("paths", nargs="*", help=argparse.SUPPRESS)
    parser.add_argument("--slots", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child, args.paths, args.slots or [])
        return

    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # read once, by the first batch
    import kadenzo

    repeat = args.repeat or (3 if args.quick else 7)
    lib = Liblzma()
    print(f"liblzma: runs with {lib.version} ({lib.path}); built against {built_against()}")
    print(f"machine: {os.cpu_count()} logical CPUs; CPU pressure before: {cpu_pressure()}", flush=True)

    with tempfile.TemporaryDirectory(prefix="kadenzo-bench-") as name:
        folder = pathlib.Path(name)
        if args.only != "growth":
            start = time.perf_counter()
            plays, decimal_drums = make_corpus(folder, args.quick)
            check_same_values(plays + decimal_drums, kadenzo)
            groups = {"all": plays}
            for mode in (MODE_STD, MODE_TAIKO, MODE_CTB, MODE_MANIA):
                groups[MODE_NAMES[mode]] = [p for p in plays if p.mode == mode]
            groups[DECIMAL_DRUMS] = decimal_drums
            text_bytes = sum(len(p.text) for p in plays)
            print(
                f"corpus: {len(plays)} files, {sum(p.frames for p in plays):,} frames, "
                f"{text_bytes / 2**20:.1f} MiB of frame text, made in {time.perf_counter() - start:.0f} s"
            )
            print(
                f"{'compression (text / block)':28}"
                + "".join(f"{g:>10}" for g in groups)
                + "\n"
                + f"{'':28}"
                + "".join(
                    f"{sum(len(p.text) for p in ps) / sum(len(p.block) for p in ps):8.1f}:1"[-10:]
                    for ps in groups.values()
                ),
                flush=True,
            )

            methods = {**floor_methods(lib, groups), **decode_methods(kadenzo, groups)}
            cpu, wall = run_interleaved(methods, repeat)

            print(
                f"\nratios to the floor (liblzma into a touched buffer), medians of {repeat} interleaved "
                f"repetitions; cpu / wall"
            )
            print(f"{'':34}" + "".join(f"{g:>14}" for g in groups))
            for label, method, base in (
                ("fresh-buffer floor / floor", "fresh floor", "floor"),
                ("full decode / floor", "decode", "floor"),
                ("full decode / fresh floor", "decode", "fresh floor"),
                ("decode + list once / floor", "decode + list", "floor"),
                ("decode + list / fresh floor", "decode + list", "fresh floor"),
                ("pure Python / floor", "pure Python", "floor"),
                ("pure Python / (decode + list)", "pure Python", "decode + list"),
            ):
                cells = "".join(
                    f"{cpu[(method, g)] / cpu[(base, g)]:7.3f}/{wall[(method, g)] / wall[(base, g)]:<6.3f}"
                    for g in groups
                )
                print(f"{label:34}{cells}")
            print(
                f"{'floor, ns per text byte (cpu)':34}"
                + "".join(f"{cpu[('floor', g)] / sum(len(p.text) for p in ps) * 1e9:14.2f}" for g, ps in groups.items())
            )

            costs = object_cost(kadenzo, groups, repeat)
            if costs is None:
                print("\nframe objects: the yardstick is not built (configure with -DKADENZO_BUILD_BENCH=ON)")
            else:
                print(f"\n{'frame list / minimal objects (cpu)':34}" + "".join(f"{costs[g]:14.3f}" for g in groups))

            # Header only: many calls per timing.
            datas = [p.data for p in plays]
            header_passes = 20
            hcpu, _ = run_interleaved(
                {
                    "header": lambda: [
                        kadenzo.parse_replay_from_bytes(d, True) for _ in range(header_passes) for d in datas
                    ]
                },
                repeat,
            )
            print(
                f"\nheader only: {hcpu['header'] / header_passes / len(datas) * 1e6:.2f} us per call (cpu), "
                f"134 life-bar samples per file"
            )

            # Batch against a loop, by wall time: the batch's point is elapsed time.
            paths = [p.path for p in plays]
            bcpu, bwall = run_interleaved(
                {
                    "loop": lambda: [kadenzo.parse_replay_from_path(p) for p in paths],
                    "batch": lambda: kadenzo.parse_replays_from_paths(paths),
                },
                repeat,
            )
            print(
                f"batch of {args.threads} threads: loop / batch = {bwall['loop'] / bwall['batch']:.2f} (wall); "
                f"the batch kept {bcpu['batch'] / bwall['batch']:.2f} CPUs busy; CPU pressure after: {cpu_pressure()}"
            )

        if args.only == "corpus":
            return
        largest = (16 << 20) if args.quick else (args.largest << 20 if args.largest else GROWTH_SIZES[-1])
        sizes = [s for s in GROWTH_SIZES if s <= largest]
        print(
            "\ngrowth: one cursor play of growing length (texts above 16 MiB compressed at preset 1); "
            "time as cpu, peak in a fresh process",
            flush=True,
        )
        rows = growth_table(kadenzo, lib, sizes, folder, repeat)
        print(
            f"{'text':>9} {'ratio':>7} {'floor ns/B':>11} {'decode ns/B':>12} {'decode/floor':>13} "
            f"{'peak B/B':>9} {'+list B/B':>10} {'faults/call':>12}"
        )
        for r in rows:
            peak_list = f"{r['peak_list']:10.2f}" if r["peak_list"] is not None else f"{'-':>10}"
            print(
                f"{size_text(r['size']):>9} {r['compression']:6.1f}:1 {r['floor_ns']:11.3f} "
                f"{r['decode_ns']:12.3f} {r['decode_ns'] / r['floor_ns']:13.3f} {r['peak']:9.2f} {peak_list} "
                f"{r['faults']:12.0f}"
            )


if __name__ == "__main__":
    main()
