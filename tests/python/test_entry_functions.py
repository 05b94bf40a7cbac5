"""parse_replay_from_bytes, parse_replay_from_path and parse_replay_data: binding, conversion, behaviour."""

import pathlib

import pytest
from helpers import EOF_EMPTY, NO_VALUE, SLOTS
from kadenzo import GameMode, Mod, parse_replay_data, parse_replay_from_bytes, parse_replay_from_path
from replay_builder import ReplayFile, compress

DATA = ReplayFile().to_bytes()


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


@pytest.fixture
def replay_path(tmp_path):
    path = tmp_path / "replay.kvr"
    path.write_bytes(DATA)
    return str(path)


# Each function's parameter names and count; the messages themselves (multiple
# values, unexpected keywords, every count of missing names) are tested once,
# in test_binding.py, for the mechanism all functions share.
@pytest.mark.parametrize(
    "call, args, kwargs, message",
    [
        (parse_replay_from_bytes, (), {}, "parse_replay_from_bytes() missing 1 required positional argument: 'data'"),
        (
            parse_replay_from_bytes,
            (DATA, True, 3),
            {},
            "parse_replay_from_bytes() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            parse_replay_from_path,
            (),
            {"header_only": False},
            "parse_replay_from_path() missing 1 required positional argument: 'path'",
        ),
        (
            parse_replay_from_path,
            ("a", True, 1, 2),
            {},
            "parse_replay_from_path() takes from 1 to 2 positional arguments but 4 were given",
        ),
        (
            parse_replay_data,
            (b"", GameMode.STD, 1),
            {},
            "parse_replay_data() takes 2 positional arguments but 3 were given",
        ),
    ],
)
def test_binding_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == message


# Each parameter's converter once; conversion order and rewording are in test_binding.py.
@pytest.mark.parametrize(
    "call, args, message",
    [
        (
            parse_replay_from_bytes,
            (bytearray(DATA),),
            "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'",
        ),
        (
            parse_replay_from_bytes,
            (memoryview(DATA),),
            "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'",
        ),
        (parse_replay_from_bytes, ("abc",), "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
        (parse_replay_from_bytes, (None, 1), "argument 'data': 'NoneType' object cannot be converted to 'PyBytes'"),
        (
            parse_replay_from_bytes,
            (DATA, None),
            "argument 'header_only': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (parse_replay_from_bytes, (DATA, 1), "argument 'header_only': 'int' object cannot be converted to 'PyBool'"),
        (parse_replay_from_path, (b"/tmp/x",), "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        (
            parse_replay_from_path,
            (pathlib.PurePosixPath("/tmp/x"),),
            "argument 'path': 'PurePosixPath' object cannot be converted to 'PyString'",
        ),
        (
            parse_replay_from_path,
            ("/nonexistent", 0),
            "argument 'header_only': 'int' object cannot be converted to 'PyBool'",
        ),
        (parse_replay_data, (b"16|1|2|3", 0), "argument 'mode': 'int' object cannot be converted to 'GameMode'"),
        (
            parse_replay_data,
            (b"16|1|2|3", Mod.NoMod),
            "argument 'mode': 'Mod' object cannot be converted to 'GameMode'",
        ),
    ],
)
def test_conversion_errors(call, args, message):
    with pytest.raises(TypeError) as info:
        call(*args)
    assert type(info.value) is TypeError and str(info.value) == message
    assert info.value.__cause__ is None


def test_path_that_cannot_be_utf8():
    with pytest.raises(UnicodeEncodeError):
        parse_replay_from_path("bad\ud800.kvr")


def test_ways_of_passing_arguments_agree(replay_path):
    texts = {
        repr(parse_replay_from_bytes(DATA)),
        repr(parse_replay_from_bytes(DATA, False)),
        repr(parse_replay_from_bytes(data=DATA, header_only=False)),
        repr(parse_replay_from_bytes(BytesSubclass(DATA))),
        repr(parse_replay_from_path(replay_path)),
        repr(parse_replay_from_path(path=StrSubclass(replay_path), header_only=False)),
    }
    assert len(texts) == 1
    header_only = {
        repr(parse_replay_from_bytes(DATA, True)),
        repr(parse_replay_from_path(replay_path, True)),
        repr(parse_replay_from_bytes(header_only=True, data=DATA)),
    }
    assert len(header_only) == 1 and header_only != texts


def test_relative_path(tmp_path, monkeypatch, replay_path):
    monkeypatch.chdir(tmp_path)
    assert repr(parse_replay_from_path("replay.kvr")) == repr(parse_replay_from_bytes(DATA))


def test_empty_bytes(panic):
    assert panic(parse_replay_from_bytes, b"") == EOF_EMPTY
    assert panic(parse_replay_from_bytes, b"\x00", True) == EOF_EMPTY


def test_module_works_after_a_panic(panic):
    panic(parse_replay_from_bytes, ReplayFile(mode=9).to_bytes())
    assert parse_replay_from_bytes(DATA).rng_seed == ReplayFile().seed


def frames_of(container):
    present = {slot: getattr(container, slot) for slot in SLOTS if getattr(container, slot) is not None}
    return {slot: [repr(frame) for frame in frames] for slot, frames in present.items()}


TEXT = b"16|1.5|2|3,-12345|0|0|5,"


@pytest.mark.parametrize(
    "mode, expected",
    [
        (GameMode.STD, {"kivo_replay_data": ["ReplayEventKivo { time_delta: 16, x: 1.5, y: 2.0, keys: Key(3) }"]}),
        (GameMode.UNKNOWN, {"kivo_replay_data": ["ReplayEventKivo { time_delta: 16, x: 1.5, y: 2.0, keys: Key(3) }"]}),
        (GameMode.TAIKO, {"taiko_replay_data": ["ReplayEventTaiko { time_delta: 16, x: 1, keys: KeyTaiko(3) }"]}),
        (GameMode.CTB, {"catch_replay_data": ["ReplayEventCatch { time_delta: 16, x: 1.5, dashing: false }"]}),
        (GameMode.MANIA, {"mania_replay_data": ["ReplayEventMania { time_delta: 16, keys: KeyMania(1) }"]}),
    ],
)
def test_parse_replay_data_fills_the_slot_of_the_mode(mode, expected):
    container = parse_replay_data(TEXT, mode)
    assert type(container).__name__ == "ReplayDataContainer"
    assert frames_of(container) == expected
    assert frames_of(parse_replay_data(data=BytesSubclass(TEXT), mode=mode)) == expected


def test_parse_replay_data_with_only_the_seed_frame():
    assert frames_of(parse_replay_data(b"-12345|0|0|7", GameMode.CTB)) == {"catch_replay_data": []}


def test_parse_replay_data_takes_any_bytes_in_unread_fields():
    container = parse_replay_data(b"16|2|\xff\xfe|1|\x00\xc3", GameMode.MANIA)
    assert frames_of(container) == {"mania_replay_data": ["ReplayEventMania { time_delta: 16, keys: KeyMania(2) }"]}


@pytest.mark.parametrize("mode", [GameMode.STD, GameMode.TAIKO, GameMode.CTB, GameMode.MANIA, GameMode.UNKNOWN])
@pytest.mark.parametrize("data", [b"", b",", compress(TEXT)])
def test_parse_replay_data_does_not_decompress(panic, mode, data):
    # A compressed block starts with its properties byte (0x5D), which is no number.
    assert panic(parse_replay_data, data, mode) == NO_VALUE


def test_unknown_mode_uses_the_standard_rules(panic):
    # The key mode needs two fields only; the standard mode needs four.
    assert frames_of(parse_replay_data(b"16|1|2", GameMode.MANIA)) == {
        "mania_replay_data": ["ReplayEventMania { time_delta: 16, keys: KeyMania(1) }"]
    }
    assert (
        panic(parse_replay_data, b"16|1|2", GameMode.UNKNOWN) == "index out of bounds: the len is 3 but the index is 3"
    )
