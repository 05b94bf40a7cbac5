"""Attributes of Replay and ReplayDataContainer: copies, converters, failures."""

import kadenzo
import pytest
from helpers import REPLAY_FIELDS, SLOTS
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
from replay_builder import MODE_TAIKO, MODES, ReplayFile

FRAMES = (
    ReplayEventKivo(16, 1.5, 2.0, Key(1)),
    ReplayEventTaiko(16, 3, KeyTaiko(2)),
    ReplayEventCatch(16, 1.5, True),
    ReplayEventMania(16, KeyMania(5)),
)


@pytest.fixture
def replay():
    return kadenzo.parse_replay_from_bytes(ReplayFile().to_bytes())


def test_reads_build_new_objects(replay):
    assert replay.replay_data is not replay.replay_data
    assert replay.mode is not replay.mode and replay.mode == GameMode.STD
    assert replay.mods is not replay.mods
    first, second = replay.replay_data.kivo_replay_data, replay.replay_data.kivo_replay_data
    assert len(first) == len(second) == 2 and first[0] is not second[0]


def test_changing_what_a_getter_returned_leaves_the_replay_alone(replay):
    before = repr(replay)
    replay.replay_data.kivo_replay_data.append(FRAMES[0])
    replay.replay_data.kivo_replay_data = None
    replay.life_bar_graph[0].life = 0.25
    replay.life_bar_graph.clear()
    assert repr(replay) == before


def test_assigned_objects_are_copied(replay):
    sample = LifeBarState(7, 0.5)
    replay.life_bar_graph = (sample,)
    sample.life = 0.25
    assert [(s.time, s.life) for s in replay.life_bar_graph] == [(7, 0.5)]

    container = replay.replay_data
    container.mania_replay_data = [FRAMES[3]]
    assert replay.replay_data.mania_replay_data is None
    replay.replay_data = container
    container.mania_replay_data = None
    assert replay.replay_data.mania_replay_data == [FRAMES[3]]
    assert len(replay.replay_data.kivo_replay_data) == 2


@pytest.mark.parametrize(
    "field, value, expected",
    [
        ("mode", GameMode.MANIA, GameMode.MANIA),
        ("mode", GameMode(200), GameMode.UNKNOWN),
        ("game_version", -(2**31), -(2**31)),
        ("username", "Bø 鳥", "Bø 鳥"),
        ("username", "", ""),
        ("beatmap_hash", None, None),
        ("replay_hash", "x", "x"),
        ("count_300", 32767, 32767),
        ("count_miss", True, 1),
        ("max_combo", -32768, -32768),
        ("score", 2**31 - 1, 2**31 - 1),
        ("perfect", True, True),
        ("mods", Mod.Hidden | Mod.HardRock, Mod(24)),
        ("life_bar_graph", None, None),
        ("timestamp", -(2**63), -(2**63)),
        ("rng_seed", None, None),
        ("rng_seed", -(2**31), -(2**31)),
        ("replay_id", 2**64 - 1, 2**64 - 1),
        ("replay_id", 0, 0),
    ],
)
def test_assign_and_read_back(replay, field, value, expected):
    setattr(replay, field, value)
    assert getattr(replay, field) == expected
    assert type(getattr(replay, field)) is type(expected)


def test_empty_life_bar_graph_is_present(replay):
    replay.life_bar_graph = []
    assert replay.life_bar_graph == []
    assert "life_bar_graph: Some([])" in repr(replay)


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        # The integer fields' ranges: test_binding.py (test_replay_integer_ranges).
        ("score", "1", TypeError, "'str' object cannot be interpreted as an integer"),
        ("perfect", 1, TypeError, "'int' object cannot be converted to 'PyBool'"),
        ("perfect", None, TypeError, "'NoneType' object cannot be converted to 'PyBool'"),
        ("username", b"x", TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ("beatmap_hash", 5, TypeError, "'int' object cannot be converted to 'PyString'"),
        ("replay_hash", "\ud800", UnicodeEncodeError, None),
        ("mode", 0, TypeError, "'int' object cannot be converted to 'GameMode'"),
        ("mods", 8, TypeError, "'int' object cannot be converted to 'Mod'"),
        ("mods", Key.M1, TypeError, "'Key' object cannot be converted to 'Mod'"),
        ("life_bar_graph", "abc", ValueError, "Can't extract `str` to `Vec`"),
        ("life_bar_graph", 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ("life_bar_graph", [1], TypeError, "'int' object cannot be converted to 'LifeBarState'"),
        (
            "life_bar_graph",
            [LifeBarState(1, 1.0), "x"],
            TypeError,
            "'str' object cannot be converted to 'LifeBarState'",
        ),
        ("replay_data", None, TypeError, "'NoneType' object cannot be converted to 'ReplayDataContainer'"),
    ],
)
def test_failed_assignment_keeps_the_old_value(replay, field, value, error, message):
    before = repr(replay)
    with pytest.raises(error) as info:
        setattr(replay, field, value)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert repr(replay) == before


@pytest.mark.parametrize("field", REPLAY_FIELDS)
def test_attributes_cannot_be_deleted(replay, field):
    with pytest.raises(AttributeError) as info:
        delattr(replay, field)
    assert str(info.value) == "can't delete attribute"


@pytest.mark.parametrize("slot", SLOTS)
def test_container_slots_cannot_be_deleted(replay, slot):
    with pytest.raises(AttributeError) as info:
        delattr(replay.replay_data, slot)
    assert str(info.value) == "can't delete attribute"


def test_unknown_attribute(replay):
    with pytest.raises(AttributeError):
        replay.seed = 1
    assert not hasattr(replay, "__dict__")


@pytest.mark.parametrize("make", [lambda r: type(r)(), lambda r: type(r)(1, x=2), lambda r: type(r.replay_data)()])
def test_no_constructor(replay, make):
    with pytest.raises(TypeError) as info:
        make(replay)
    assert str(info.value) == "No constructor defined"


def test_reading_during_an_assignment_of_the_same_replay(replay):
    class ReadsReplay:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            return replay.score

        def __iter__(self):
            yield replay.score

    with pytest.raises(RuntimeError) as info:
        replay.life_bar_graph = ReadsReplay()
    assert str(info.value) == "Already mutably borrowed"
    assert replay.score == ReplayFile().score  # the borrow was given back


@pytest.mark.parametrize("mode", MODES)
def test_container_fills_the_slot_of_the_mode(mode):
    data = ReplayFile(mode=mode, text=b"16|1|2|3,").to_bytes()
    container = kadenzo.parse_replay_from_bytes(data).replay_data
    assert [slot for slot in SLOTS if getattr(container, slot) is not None] == [SLOTS[mode]]
    assert repr(container).startswith("<builtins.ReplayDataContainer object at 0x")
    header_only = kadenzo.parse_replay_from_bytes(data, True).replay_data
    assert [getattr(header_only, slot) for slot in SLOTS] == [None] * 4


@pytest.mark.parametrize("slot, frame", list(zip(SLOTS, FRAMES)))
def test_container_slot_assignment(replay, slot, frame):
    container = replay.replay_data
    setattr(container, slot, (frame, frame))
    assert getattr(container, slot) == [frame, frame]
    setattr(container, slot, [])
    assert getattr(container, slot) == []
    setattr(container, slot, None)
    assert getattr(container, slot) is None


@pytest.mark.parametrize(
    "value, error, message",
    [
        (
            [FRAMES[0], FRAMES[0], FRAMES[1]],
            TypeError,
            "'ReplayEventTaiko' object cannot be converted to 'ReplayEventKivo'",
        ),
        ("abc", ValueError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        (iter([FRAMES[0]]), TypeError, "'list_iterator' object cannot be converted to 'Sequence'"),
    ],
)
def test_container_slot_failures_keep_the_old_list(replay, value, error, message):
    container = replay.replay_data
    before = container.kivo_replay_data
    with pytest.raises(error) as info:
        container.kivo_replay_data = value
    assert type(info.value) is error and str(info.value) == message
    assert container.kivo_replay_data == before


@pytest.mark.parametrize("header_only", [False, True])
@pytest.mark.parametrize("mode", MODES)
def test_str_is_repr(mode, header_only):
    replay = kadenzo.parse_replay_from_bytes(ReplayFile(mode=mode, text=b"16|1|2|3").to_bytes(), header_only)
    assert str(replay) == repr(replay)
    assert repr(replay).startswith("Replay { mode: " + ("STD", "TAIKO", "CTB", "MANIA")[mode] + ", ")


def test_assigned_values_show_in_repr(replay):
    replay.username = None
    replay.rng_seed = None
    replay.mode = GameMode.UNKNOWN
    replay.replay_data = kadenzo.parse_replay_from_bytes(
        ReplayFile(mode=MODE_TAIKO, text=b"1|2|0|4").to_bytes()
    ).replay_data
    text = repr(replay)
    assert text.startswith("Replay { mode: UNKNOWN, ")
    assert ", username: None, " in text and ", rng_seed: None, " in text
    assert (
        ", replay_data: ReplayDataContainer { kivo_replay_data: None, taiko_replay_data: "
        "Some([ReplayEventTaiko { time_delta: 1, x: 2, keys: KeyTaiko(4) }]), catch_replay_data: None, "
        "mania_replay_data: None }, "
    ) in text
