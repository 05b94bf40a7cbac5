"""kadenzo.encode: decode -> write -> decode gives the same replay; texts in the
usual form come out byte for byte; columns write what frame objects write;
bad input raises before any file exists; a killed write leaves no file."""

import dataclasses
import lzma
import math
import os
import signal
import subprocess
import sys
import time

import kadenzo
import kadenzo.columns
import kadenzo.encode as encode
import pytest
from helpers import ROOT, SAMPLES
from kadenzo import (
    GameMode,
    Key,
    KeyMania,
    KeyTaiko,
    LifeBarState,
    ReplayEventCatch,
    ReplayEventKivo,
    ReplayEventMania,
    ReplayEventTaiko,
)
from replay_builder import MODES, ReplayFile, realistic_replay

numpy = pytest.importorskip("numpy")


def texts_of(data: bytes) -> tuple[bytes | None, bytes]:
    """The life-bar text (None when absent) and the decompressed frame text of a file."""

    def text(at):
        if data[at] == 0:
            return None, at + 1
        at, length, shift = at + 1, 0, 0
        while True:
            byte = data[at]
            at, length, shift = at + 1, length | (byte & 0x7F) << shift, shift + 7
            if byte < 0x80:
                return data[at : at + length], at + length

    at = 5
    for _ in range(3):
        at = text(at)[1]
    life_bar, at = text(at + 6 * 2 + 4 + 2 + 1 + 4)
    at += 8
    size = int.from_bytes(data[at : at + 4], "little")
    return life_bar, lzma.decompress(data[at + 4 : at + 4 + size], format=lzma.FORMAT_ALONE)


def round_trip(replay):
    data = encode.to_bytes(replay)
    again = kadenzo.parse_replay_from_bytes(data)
    assert repr(again) == repr(replay)  # every field, every frame, life bar and seed
    return data


USUAL = [
    pytest.param(realistic_replay(mode, count, seed=seed), id=f"mode{mode}-{count}-{seed}")
    for mode in MODES
    for count, seed in ((1, 0), (40, 1), (3000, 2))
]


@pytest.mark.parametrize(
    "source",
    USUAL + [pytest.param(dataclasses.replace(realistic_replay(m, 30, 5), seed=None), id=f"noseed{m}") for m in MODES],
)
def test_usual_texts_come_back_byte_for_byte(source):
    original = source.to_bytes()
    data = round_trip(kadenzo.parse_replay_from_bytes(original))
    assert texts_of(data) == texts_of(original)


@pytest.mark.parametrize("path", SAMPLES, ids=[p.name for p in SAMPLES])
def test_samples_round_trip(path):
    original = path.read_bytes()
    assert texts_of(round_trip(kadenzo.parse_replay_from_bytes(original))) == texts_of(original)


EDGE_FRAMES = {
    GameMode.STD: [
        ReplayEventKivo(-(2**63), -0.0, 5e-324, Key(-(2**31))),
        ReplayEventKivo(2**63 - 1, 1e300, -1.5e-7, Key(2**31 - 1)),
        ReplayEventKivo(0, math.inf, math.nan, Key(0)),
        ReplayEventKivo(1, 0.1 + 0.2, 1e16, Key(5)),
    ],
    GameMode.TAIKO: [ReplayEventTaiko(-(2**63), -(2**63), KeyTaiko(-1)), ReplayEventTaiko(7, 2**63 - 1, KeyTaiko(15))],
    GameMode.CTB: [ReplayEventCatch(16, 123.456789, True), ReplayEventCatch(-1, -math.inf, False)],
    GameMode.MANIA: [ReplayEventMania(16, KeyMania(-(2**31))), ReplayEventMania(0, KeyMania(2**18 - 1))],
}


@pytest.mark.parametrize("mode", list(EDGE_FRAMES), ids=repr)
@pytest.mark.parametrize("seed", [None, 0, -(2**31), 2**31 - 1])
@pytest.mark.parametrize("shape", ["edge", "empty", "seed_like_last"])
def test_edge_values_round_trip(mode, seed, shape):
    replay = kadenzo.parse_replay_from_bytes(realistic_replay(mode.value, 2).to_bytes())
    frames = {"edge": EDGE_FRAMES[mode], "empty": [], "seed_like_last": EDGE_FRAMES[mode][:1]}[shape]
    if shape == "seed_like_last":  # a last frame the reader would take for the seed item
        frames[0].time_delta = -12345
    if shape == "empty" and seed is None:
        return  # no item at all: refused, see test_bad_input
    data = replay.replay_data
    setattr(
        data, ("kivo_replay_data", "taiko_replay_data", "catch_replay_data", "mania_replay_data")[mode.value], frames
    )
    replay.replay_data = data
    replay.rng_seed = seed
    replay.beatmap_hash, replay.username, replay.replay_hash = "", None, "\u00e9\u4e2d\U0001f600"
    replay.life_bar_graph = [LifeBarState(0, 1.0), LifeBarState(2**32 - 1, 1e-45), LifeBarState(5, -0.0)]
    round_trip(replay)


def test_absent_and_empty_strings_stay_apart():
    replay = kadenzo.parse_replay_from_bytes(ReplayFile(beatmap_hash="", username=None, life_bar=None).to_bytes())
    again = kadenzo.parse_replay_from_bytes(encode.to_bytes(replay))
    assert (again.beatmap_hash, again.username, again.life_bar_graph) == ("", None, None)


@pytest.mark.parametrize("path", SAMPLES, ids=[p.name for p in SAMPLES])
def test_columns_write_what_frame_objects_write(path):
    replay = kadenzo.parse_replay_from_path(str(path))
    columns = kadenzo.columns.frames(replay)
    arrays = columns.to_numpy()
    expected = encode.to_bytes(replay)
    assert encode.to_bytes(replay, frames=columns) == expected
    assert encode.to_bytes(replay, frames=arrays) == expected
    # Other element types and a strided view, the same values.
    narrow = {
        name: numpy.repeat(a, 2)[::2] if name == "x" else a.astype("int32") if name == "time_delta" else a
        for name, a in arrays.items()
    }
    frames = getattr(
        replay.replay_data,
        ("kivo_replay_data", "taiko_replay_data", "catch_replay_data", "mania_replay_data")[replay.mode.value],
    )
    text = encode.frame_text(frames, replay.mode, replay.rng_seed)
    assert encode.frame_text(narrow, replay.mode, replay.rng_seed) == text
    assert lzma.decompress(encode.frame_block(arrays, replay.mode, replay.rng_seed), format=lzma.FORMAT_ALONE) == text


def test_an_edited_table_becomes_a_file():
    replay = kadenzo.parse_replay_from_path(str(ROOT / "samples" / "std.kvr"))
    arrays = {name: array.copy() for name, array in kadenzo.columns.frames(replay).to_numpy().items()}
    arrays["x"] = 512 - arrays["x"]  # mirrored
    again = kadenzo.parse_replay_from_bytes(encode.to_bytes(replay, frames=arrays))
    assert numpy.array_equal(kadenzo.columns.frames(again).to_numpy()["x"], arrays["x"])
    assert again.rng_seed == replay.rng_seed and again.username == replay.username


def std_replay():
    return kadenzo.parse_replay_from_path(str(ROOT / "samples" / "std.kvr"))


def header_only():
    return kadenzo.parse_replay_from_path(str(ROOT / "samples" / "std.kvr"), header_only=True)


def with_mode(mode):
    replay = std_replay()
    replay.mode = mode
    return replay


def arrays(**changes):
    columns = dict(time_delta=numpy.zeros(3, "int64"), keys=numpy.zeros(3, "int64"))
    columns.update(changes)
    return columns


BAD = [
    (
        "other mode's frame class",
        lambda: encode.frame_text([ReplayEventTaiko(1, 2, KeyTaiko(3))], GameMode.STD),
        TypeError,
        "'ReplayEventTaiko' object cannot be converted to 'ReplayEventKivo'",
    ),
    ("no frames of its mode", lambda: encode.to_bytes(header_only()), ValueError, "no frame list of its mode STD"),
    (
        "frames of another mode",
        lambda: encode.to_bytes(with_mode(GameMode.TAIKO)),
        ValueError,
        "frames of mode STD, not of its own mode",
    ),
    ("unknown mode", lambda: encode.to_bytes(with_mode(GameMode.UNKNOWN)), ValueError, "mode must be one of"),
    ("no item at all", lambda: encode.frame_text([], GameMode.MANIA), ValueError, "at least one frame or a seed"),
    (
        "keys beyond 32 bits",
        lambda: encode.frame_text(arrays(keys=numpy.array([0, 2**31, 0])), GameMode.MANIA),
        ValueError,
        "frame 1: keys must be a signed 32-bit integer",
    ),
    (
        "time beyond 64 bits",
        lambda: encode.frame_text(arrays(time_delta=numpy.array([2**64 - 1] * 3, "uint64")), GameMode.MANIA),
        ValueError,
        "frame 0: time_delta",
    ),
    (
        "dashing not 0 or 1",
        lambda: encode.frame_text(
            dict(time_delta=numpy.zeros(2, "int64"), x=numpy.zeros(2), dashing=numpy.array([0, 2])), GameMode.CTB
        ),
        ValueError,
        "frame 1: dashing",
    ),
    (
        "float time",
        lambda: encode.frame_text(arrays(time_delta=numpy.zeros(3)), GameMode.MANIA),
        TypeError,
        "column 'time_delta' must be one-dimensional with integer values",
    ),
    (
        "missing column",
        lambda: encode.frame_text({"time_delta": numpy.zeros(3, "int64"), "x": numpy.zeros(3)}, GameMode.MANIA),
        ValueError,
        "no column 'keys'",
    ),
    (
        "unequal lengths",
        lambda: encode.frame_text(arrays(keys=numpy.zeros(2, "int32")), GameMode.MANIA),
        ValueError,
        "column 'keys' holds 2 values, column 'time_delta' 3",
    ),
    (
        "columns of another mode",
        lambda: encode.to_bytes(std_replay(), frames=kadenzo.columns.frames(str(ROOT / "samples" / "mania.kvr"))),
        ValueError,
        "the columns are of mode MANIA, the replay of mode STD",
    ),
    ("seed beyond 32 bits", lambda: encode.frame_text([], GameMode.STD, 2**31), OverflowError, ""),
    (
        "too many frames",
        lambda: encode.frame_text(
            arrays(
                time_delta=numpy.lib.stride_tricks.as_strided(numpy.zeros(1, "int64"), (50_000_001,), (0,)),
                keys=numpy.lib.stride_tricks.as_strided(numpy.zeros(1, "int32"), (50_000_001,), (0,)),
            ),
            GameMode.MANIA,
        ),
        ValueError,
        "more than 50000000 frames",
    ),
    (
        "text over 256 MiB",
        lambda: encode.frame_text(
            arrays(
                time_delta=numpy.lib.stride_tricks.as_strided(numpy.full(1, -(2**63)), (8_000_000,), (0,)),
                keys=numpy.lib.stride_tricks.as_strided(numpy.full(1, -(2**31), "int32"), (8_000_000,), (0,)),
            ),
            GameMode.MANIA,
        ),
        ValueError,
        "frame text would exceed 268435456 bytes",
    ),
]


@pytest.mark.parametrize("call, error, message", [case[1:] for case in BAD], ids=[case[0] for case in BAD])
def test_bad_input(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_write_refuses_an_existing_file_and_leaves_nothing_else(tmp_path):
    target = tmp_path / "out.kvr"
    encode.write(std_replay(), target)
    with pytest.raises(FileExistsError):
        encode.write(std_replay(), target)
    replay = std_replay()
    replay.username = "other"
    encode.write(replay, str(target), overwrite=True)
    assert kadenzo.parse_replay_from_path(str(target)).username == "other"
    with pytest.raises(ValueError):
        encode.write(header_only(), tmp_path / "bad.kvr")
    with pytest.raises(TypeError):
        encode.write(replay, tmp_path / "flag.kvr", overwrite=1)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.kvr"]
    for missing, error in [(tmp_path / "nodir" / "a.kvr", FileNotFoundError), (target / "a.kvr", NotADirectoryError)]:
        with pytest.raises(error) as raised:  # naming the path asked for, not the hidden file written first
            encode.write(std_replay(), missing)
        assert raised.value.filename == str(missing) and str(missing) in str(raised.value)


KILLED_WRITER = """
import sys, numpy, kadenzo, kadenzo.encode
replay = kadenzo.parse_replay_from_path(sys.argv[1])
n = 3_000_000
rng = numpy.random.default_rng(1)
frames = dict(time_delta=numpy.full(n, 16), x=rng.uniform(0, 512, n), y=rng.uniform(0, 384, n),
              keys=numpy.zeros(n, "int32"))
print("writing", flush=True)
kadenzo.encode.write(replay, sys.argv[2], frames=frames)
"""


@pytest.mark.parametrize("signal_number", [signal.SIGKILL, signal.SIGINT], ids=["killed", "ctrl-c"])
def test_a_stopped_write_leaves_no_file_under_its_name(tmp_path, signal_number):
    target = tmp_path / "big.kvr"
    child = subprocess.Popen(
        [sys.executable, "-c", KILLED_WRITER, str(ROOT / "samples" / "std.kvr"), str(target)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert child.stdout.readline() == "writing\n"
    time.sleep(1.0)  # inside the compression, which takes several seconds
    child.send_signal(signal_number)
    sent = time.monotonic()
    _, stderr = child.communicate(timeout=60)
    assert not target.exists()
    if signal_number == signal.SIGKILL:
        assert child.returncode == -signal.SIGKILL
        assert all(name.endswith(".part") for name in os.listdir(tmp_path))
    else:  # the compression asks for pending signals as it goes, and nothing is left behind
        assert time.monotonic() - sent < 3
        assert "KeyboardInterrupt" in stderr and not os.listdir(tmp_path)
