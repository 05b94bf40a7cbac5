"""Bounded leak check of the whole Python surface: every workload runs thousands
of times, after a warm-up round, while the process's resident memory and the
reference counts of the shared class objects and members must stay flat."""

import gc
import operator
import os
import sys

import kadenzo
import pytest
from helpers import FRAME_FIELDS, REPLAY_FIELDS, SLOTS
from kadenzo import (
    GameMode,
    Key,
    KeyMania,
    KeyTaiko,
    LifeBarState,
    Mod,
    ReplayEventCatch,
    ReplayEventKivo,
    ReplayEventMania,
    ReplayEventTaiko,
)
from replay_builder import MODES, ReplayFile, raw_string, realistic_replay

# AddressSanitizer keeps freed blocks in quarantine, so RSS grows under it
# whether or not anything leaks; reference counts are still checked there.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
ROUNDS = 2 if UNDER_ASAN else 6
RSS_TOLERANCE = 3 << 20
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")

FLAG_CLASSES = (Mod, Key, KeyTaiko, KeyMania)
FRAME_CLASSES = (ReplayEventKivo, ReplayEventTaiko, ReplayEventCatch, ReplayEventMania, LifeBarState)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def panic_class():
    try:
        kadenzo.parse_replay_from_bytes(b"")
    except BaseException as exc:  # noqa: B036 - PanicException derives from BaseException
        return type(exc)


def watched_objects():
    """The long-lived objects whose reference counts a leak would raise."""
    objects = [kadenzo, panic_class(), type(kadenzo.parse_replay_data(b"1|2|3|4", GameMode.STD))]
    objects += [getattr(kadenzo, name) for name in kadenzo.__all__]
    objects += [GameMode.STD, GameMode.TAIKO, GameMode.CTB, GameMode.MANIA, GameMode.UNKNOWN]
    objects += [Mod.NoMod, Mod.Hidden, Mod.HardRock, Key.M1, Key.SMOKE, KeyTaiko.LEFT_DON, KeyMania.K18]
    objects += [True, False, None]
    return objects


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leaks")
    paths = []
    for mode in MODES:
        path = folder / f"play_{mode}.kvr"
        path.write_bytes(realistic_replay(mode, 200, seed=mode).to_bytes())
        paths.append(str(path))
    bad = folder / "bad.kvr"
    bad.write_bytes(ReplayFile(block=b"\xe1" + bytes(20)).to_bytes())
    good = [realistic_replay(mode, 200, seed=mode).to_bytes() for mode in MODES]
    broken = [
        b"",
        good[0][:200],
        ReplayFile(username=raw_string(b"\xc3\x28")).to_bytes(),
        ReplayFile(life_bar="1|x").to_bytes(),
        ReplayFile(mode=7).to_bytes(),
        ReplayFile(text=b"16|1|2").to_bytes(),
    ]
    return {"good": paths, "bad": str(bad), "missing": str(folder / "missing.kvr"), "bytes": good, "broken": broken}


def expect_failure(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except BaseException as exc:  # noqa: B036 - stops arrive as PanicException
        return type(exc).__name__
    raise AssertionError(f"{call!r} did not fail")


def read_everything(replay):
    for name in REPLAY_FIELDS:
        getattr(replay, name)
    container = replay.replay_data
    for slot in SLOTS:
        frames = getattr(container, slot)
        for frame in frames or ():
            for name in FRAME_FIELDS[type(frame)]:
                getattr(frame, name)
    for sample in replay.life_bar_graph or ():
        sample.time, sample.life
    repr(replay), repr(container), replay.mode.value, replay.mods.value


def decode_round(files):
    for data in files["bytes"]:
        read_everything(kadenzo.parse_replay_from_bytes(data))
        read_everything(kadenzo.parse_replay_from_bytes(data, header_only=True))
    for path in files["good"]:
        read_everything(kadenzo.parse_replay_from_path(path))
    for replay in kadenzo.parse_replays_from_paths(files["good"]):
        read_everything(replay)
    kadenzo.parse_replays_from_paths(tuple(files["good"]), True)
    for mode in (GameMode.STD, GameMode.TAIKO, GameMode.CTB, GameMode.MANIA, GameMode.UNKNOWN):
        container = kadenzo.parse_replay_data(b"16|1.5|2|3,17|4|5|6,-12345|0|0|9", mode)
        for slot in SLOTS:
            getattr(container, slot)


def failure_round(files):
    for data in files["broken"]:
        expect_failure(kadenzo.parse_replay_from_bytes, data)
    expect_failure(kadenzo.parse_replay_from_path, files["bad"])
    expect_failure(kadenzo.parse_replay_from_path, files["missing"])
    expect_failure(kadenzo.parse_replays_from_paths, [files["good"][0], files["missing"], files["bad"]])
    expect_failure(kadenzo.parse_replay_data, b"16|abc|2|3", GameMode.STD)
    expect_failure(kadenzo.parse_replay_data, b"16", GameMode.MANIA)
    expect_failure(kadenzo.parse_replay_data, b"", GameMode.TAIKO)


def argument_round(files):
    replay = kadenzo.parse_replay_from_bytes(files["bytes"][0])
    frame = ReplayEventKivo(1, 2.0, 3.0, Key.M1)
    calls = [
        (kadenzo.parse_replay_data,),
        (kadenzo.parse_replay_from_bytes, bytearray(b"x")),
        (kadenzo.parse_replay_from_bytes, b"", 1),
        (kadenzo.parse_replay_from_path, b"/tmp/x"),
        (kadenzo.parse_replays_from_paths, "a"),
        (kadenzo.parse_replays_from_paths, 5),
        (kadenzo.parse_replays_from_paths, ["a", b"b"]),
        (kadenzo.parse_replays_from_paths, (p for p in "ab")),
        (kadenzo.parse_replay_data, b"", 1),
        (kadenzo.parse_replay_from_path, "\udc80"),
        (GameMode, 1, 2),
        (Mod, 2**32),
        (Key, "1"),
        (LifeBarState, -1, 0.5),
        (ReplayEventTaiko, 1, 2.5, KeyTaiko(1)),
        (ReplayEventMania, 1, Key(1)),
        (kadenzo.Replay,),
    ]
    for call, *args in calls:
        expect_failure(call, *args)
    expect_failure(kadenzo.parse_replay_from_bytes, b"", header_only=True, data=b"")
    expect_failure(kadenzo.parse_replay_from_bytes, b"", nonsense=1)
    for obj, name, value in [
        (replay, "count_300", 40000),
        (replay, "username", 5),
        (replay, "mods", 3),
        (replay, "life_bar_graph", "x"),
        (replay, "life_bar_graph", [1]),
        (replay, "replay_data", None),
        (frame, "keys", 1),
        (frame, "x", "1"),
        (frame, "time_delta", 2**63),
    ]:
        expect_failure(setattr, obj, name, value)
    for name in ("score", "replay_data"):
        expect_failure(delattr, replay, name)
    expect_failure(delattr, frame, "x")
    expect_failure(operator.lt, frame, frame)
    expect_failure(operator.lt, GameMode.STD, GameMode.CTB)
    expect_failure(hash, Mod.Hidden)


def class_round(files):
    for code in (0, 1, 2, 3, 4, 255):
        mode = GameMode(code)
        mode == GameMode.STD, mode != GameMode(code), hash(mode), repr(mode), mode.value
    for cls in FLAG_CLASSES:
        a, b = cls(5), cls(int=3)
        a | b, a & b, a ^ b, a == b, a != b, a < b, a >= b, repr(a), int(a), bool(a), a.value
    Mod.Hidden | Mod.HardRock, Mod.Hidden + Mod.HardRock, Mod.DoubleTime - Mod.DoubleTime
    frames = [
        ReplayEventKivo(16, 1.5, 2.0, Key(1)),
        ReplayEventTaiko(16, 3, KeyTaiko(2)),
        ReplayEventCatch(16, 1.5, True),
        ReplayEventMania(16, KeyMania(5)),
        LifeBarState(7, 0.5),
    ]
    for frame in frames:
        copy = type(frame)(*(getattr(frame, name) for name in FRAME_FIELDS[type(frame)]))
        copy == frame, copy != frame, frame == 1, repr(frame)
        for name in FRAME_FIELDS[type(frame)]:
            setattr(copy, name, getattr(frame, name))
    replay = kadenzo.parse_replay_from_bytes(files["bytes"][1])
    replay.life_bar_graph = [LifeBarState(1, 0.5)] * 3
    replay.mode, replay.mods, replay.username = GameMode.MANIA, Mod.Hidden, "x"
    container = replay.replay_data
    container.mania_replay_data = [frames[3]] * 4
    replay.replay_data = container


WORKLOADS = {
    "decode": (decode_round, 60),
    "failures": (failure_round, 400),
    "arguments_and_setters": (argument_round, 400),
    "classes": (class_round, 600),
}


@pytest.mark.parametrize("workload", WORKLOADS)
def test_memory_and_reference_counts_stay_flat(workload, files, capfd):
    run, repetitions = WORKLOADS[workload]
    if UNDER_ASAN:
        repetitions = max(repetitions // 10, 5)
    watched = watched_objects()

    def counts():
        return [sys.getrefcount(obj) for obj in watched]

    def one_round():
        for _ in range(repetitions):
            run(files)
        gc.collect()
        capfd.readouterr()  # each stop writes a line to standard error

    one_round()  # warm-up: worker pool, class objects, interpreter caches
    counts_before, rss_before = counts(), rss_bytes()
    for _ in range(ROUNDS):
        one_round()
    counts_after, rss_after = counts(), rss_bytes()

    grown = {
        repr(obj): after - before
        for obj, before, after in zip(watched, counts_before, counts_after)
        if after - before > 2
    }
    assert grown == {}
    if not UNDER_ASAN:
        assert rss_after - rss_before < RSS_TOLERANCE, (rss_before, rss_after)
