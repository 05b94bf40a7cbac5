"""Argument binding, conversion and rewording, as seen through constructors and module functions."""

import kadenzo
import pytest
from helpers import EOF_EMPTY, NO_VALUE, OUT_OF_RANGE, raises_panic
from kadenzo import (
    GameMode,
    Key,
    KeyMania,
    KeyTaiko,
    LifeBarState,
    Mod,
    ReplayEventKivo,
    ReplayEventMania,
    ReplayEventTaiko,
    parse_replay_data,
    parse_replay_from_bytes,
    parse_replay_from_path,
    parse_replays_from_paths,
)

# The smallest file that decodes with header_only: every field zero or absent, an empty
# compressed block and a 4-byte online id.
EMPTY_HEADER = bytes(48)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize(
    "call, message",
    [
        # Too many positional: plain and ranged forms; "arguments" stays plural.
        (lambda: GameMode(1, 2), "GameMode.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: KeyMania(1, 2, int=3), "KeyMania.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: LifeBarState(0, 1.0, 2), "LifeBarState.__new__() takes 2 positional arguments but 3 were given"),
        (
            lambda: parse_replays_from_paths(1, 2, 3),
            "parse_replays_from_paths() takes from 1 to 2 positional arguments but 3 were given",
        ),
        # Multiple values, by position then keyword.
        (lambda: GameMode(1, int=2), "GameMode.__new__() got multiple values for argument 'int'"),
        (
            lambda: ReplayEventKivo(1, time_delta=2),
            "ReplayEventKivo.__new__() got multiple values for argument 'time_delta'",
        ),
        # Unexpected keywords: exact, case-sensitive names; examined before missing arguments,
        # and keywords in the caller's order.
        (lambda: GameMode(foo=1), "GameMode.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: Key(INT=1), "Key.__new__() got an unexpected keyword argument 'INT'"),
        (
            lambda: parse_replay_data(mode=GameMode.STD, bogus=1),
            "parse_replay_data() got an unexpected keyword argument 'bogus'",
        ),
        (lambda: KeyTaiko(**{"é": 1}), "KeyTaiko.__new__() got an unexpected keyword argument 'é'"),
        (lambda: GameMode(1, foo=2, int=3), "GameMode.__new__() got an unexpected keyword argument 'foo'"),
        (lambda: GameMode(1, int=3, foo=2), "GameMode.__new__() got multiple values for argument 'int'"),
        # Missing: one, two, three and four names.
        (lambda: GameMode(), "GameMode.__new__() missing 1 required positional argument: 'int'"),
        (lambda: parse_replay_data(), "parse_replay_data() missing 2 required positional arguments: 'data' and 'mode'"),
        (lambda: LifeBarState(), "LifeBarState.__new__() missing 2 required positional arguments: 'time' and 'life'"),
        (
            lambda: ReplayEventTaiko(),
            "ReplayEventTaiko.__new__() missing 3 required positional arguments: 'time_delta', 'x', and 'keys'",
        ),
        (
            lambda: ReplayEventKivo(),
            "ReplayEventKivo.__new__() missing 4 required positional arguments: 'time_delta', 'x', 'y', and 'keys'",
        ),
        (
            lambda: ReplayEventKivo(1, keys=Key(0)),
            "ReplayEventKivo.__new__() missing 2 required positional arguments: 'x' and 'y'",
        ),
        (
            lambda: ReplayEventKivo(y=1.0),
            "ReplayEventKivo.__new__() missing 3 required positional arguments: 'time_delta', 'x', and 'keys'",
        ),
    ],
)
def test_binding_messages(call, message):
    assert type_error(call) == message


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: GameMode(int=3), GameMode.MANIA),
        (lambda: Mod(int=24), Mod(24)),
        (lambda: ReplayEventMania(keys=KeyMania(3), time_delta=-4), ReplayEventMania(-4, KeyMania(3))),
        (lambda: ReplayEventKivo(0, 1.5, keys=Key(1), y=2), ReplayEventKivo(0, 1.5, 2.0, Key(1))),
    ],
)
def test_every_parameter_binds_by_keyword(call, expected):
    assert call() == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: kadenzo.Replay(),
        lambda: kadenzo.Replay(1, data=2),
        lambda: type(parse_replay_data(b"1|2", GameMode.MANIA))(),
        lambda: type(parse_replay_data(b"1|2", GameMode.MANIA))(kivo_replay_data=None),
    ],
)
def test_classes_without_constructor(call):
    assert type_error(call) == "No constructor defined"


class Seq:
    """A sequence whose length cannot be asked and whose items come from a list."""

    def __init__(self, items, fail_at=None):
        self.items, self.fail_at = items, fail_at

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ZeroDivisionError("iteration failed")
        return self.items[i]


class Overclaiming(Seq):
    """A sequence that reports far more items than it yields."""

    def __len__(self):
        return 2**62


class Str(str):
    pass


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: parse_replays_from_paths([], "yes"),
            "argument 'header_only': 'str' object cannot be converted to 'PyBool'",
        ),
        (lambda: parse_replays_from_paths(5), "argument 'paths': 'int' object cannot be converted to 'Sequence'"),
        (
            lambda: parse_replays_from_paths(p for p in ["x"]),
            "argument 'paths': 'generator' object cannot be converted to 'Sequence'",
        ),
        (lambda: parse_replays_from_paths({"x"}), "argument 'paths': 'set' object cannot be converted to 'Sequence'"),
        (
            lambda: parse_replays_from_paths(["a", b"b"]),
            "argument 'paths': 'bytes' object cannot be converted to 'PyString'",
        ),
        (
            lambda: parse_replays_from_paths(("a", 1)),
            "argument 'paths': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: parse_replays_from_paths(Seq(["a", None])),
            "argument 'paths': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            lambda: parse_replay_data(b"", KeyMania.K1),
            "argument 'mode': 'KeyMania' object cannot be converted to 'GameMode'",
        ),
        # Arguments are converted in parameter order; the first failure decides.
        (lambda: parse_replay_data(mode=0, data=1), "argument 'data': 'int' object cannot be converted to 'PyBytes'"),
        # The integer converter's messages: test_game_mode.py and test_flags.py (test_constructor_rejects).
    ],
)
def test_conversion_messages(call, message):
    assert type_error(call) == message


@pytest.mark.parametrize("paths", ["a.rpl", Str("a.rpl"), ""])
def test_str_is_refused_for_a_list(paths):
    with pytest.raises(ValueError) as info:
        parse_replays_from_paths(paths, header_only=1)
    assert type(info.value) is ValueError
    assert str(info.value) == "Can't extract `str` to `Vec`"


def test_errors_other_than_type_error_pass_unchanged():
    with pytest.raises(ZeroDivisionError) as info:
        parse_replays_from_paths(Seq(["a", "b"], fail_at=1))
    assert str(info.value) == "iteration failed"
    with pytest.raises(UnicodeEncodeError) as info:
        parse_replay_from_path("bad\udc80")
    with pytest.raises(UnicodeEncodeError) as expected:
        "bad\udc80".encode("utf-8")
    assert str(info.value) == str(expected.value)
    with pytest.raises(UnicodeEncodeError):
        parse_replays_from_paths(["ok", "\ud800"])


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class SubTypeError(TypeError):
    pass


def test_rewording_keeps_cause_and_only_touches_exact_type_error():
    cause = KeyError("k")
    inner = TypeError("bad index")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        GameMode(RaisingIndex(inner))
    assert type(info.value) is TypeError and str(info.value) == "argument 'int': bad index"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        Key(RaisingIndex(TypeError("plain")))
    assert str(info.value) == "argument 'int': plain" and info.value.__cause__ is None

    for exc in [SubTypeError("sub"), ValueError("value"), OverflowError("big")]:
        with pytest.raises(type(exc)) as info:
            Mod(RaisingIndex(exc))
        assert info.value is exc


def test_subclasses_and_tuples_are_accepted(tmp_path):
    path = tmp_path / "empty_header.rpl"
    path.write_bytes(EMPTY_HEADER)
    expected = repr(parse_replay_from_bytes(EMPTY_HEADER, True))
    assert repr(parse_replay_from_bytes(Bytes(EMPTY_HEADER), True)) == expected
    assert repr(parse_replay_from_bytes(data=EMPTY_HEADER, header_only=True)) == expected
    assert repr(parse_replay_from_path(Str(path), header_only=True)) == expected
    assert [repr(r) for r in parse_replays_from_paths((str(path), Str(path)), True)] == [expected] * 2
    assert [repr(r) for r in parse_replays_from_paths(Seq([str(path)]), True)] == [expected]
    assert [repr(r) for r in parse_replays_from_paths(Overclaiming([str(path)]), True)] == [expected]
    assert parse_replays_from_paths([]) == [] and parse_replays_from_paths(()) == []
    # header_only defaults to false, so the empty block is decoded and has no frame.
    with raises_panic(NO_VALUE):
        parse_replay_from_bytes(EMPTY_HEADER)
    with raises_panic(EOF_EMPTY):
        parse_replay_from_bytes(Bytes())


COUNTS = ["count_300", "count_100", "count_50", "count_geki", "count_katu", "count_miss", "max_combo"]
# field -> (values stored as given, values refused with the fixed text, values refused with the interpreter's text)
RANGES = {name: ([-32768, 32767, True], [32768, -32769, 2**62], [2**63, -(2**63) - 1]) for name in COUNTS}
RANGES.update(
    {
        "game_version": ([-(2**31), 2**31 - 1], [], [2**31, -(2**31) - 1]),
        "score": ([-(2**31), 2**31 - 1], [], [2**31, -(2**31) - 1]),
        "rng_seed": ([-(2**31), 2**31 - 1, None], [], [2**31, -(2**31) - 1]),
        "timestamp": ([-(2**63), 2**63 - 1], [], [2**63, -(2**63) - 1]),
        "replay_id": ([0, 2**64 - 1], [], [-1, 2**64]),
    }
)


@pytest.mark.parametrize("name", list(RANGES))
def test_replay_integer_ranges(name):
    replay = parse_replay_from_bytes(EMPTY_HEADER, True)
    accepted, fixed_text, own_text = RANGES[name]
    for value in accepted:
        setattr(replay, name, value)
        assert getattr(replay, name) == value and type(getattr(replay, name)) in (int, type(None))
    setattr(replay, name, 7)
    before = repr(replay)  # a refused value changes no field
    for value in fixed_text + own_text:
        with pytest.raises(OverflowError) as info:
            setattr(replay, name, value)
        assert type(info.value) is OverflowError
        if value in fixed_text:
            assert str(info.value) == OUT_OF_RANGE
        assert repr(replay) == before
    with pytest.raises(TypeError) as info:
        setattr(replay, name, 1.0)
    assert type(info.value) is TypeError
    assert str(info.value) == "'float' object cannot be interpreted as an integer"
    assert repr(replay) == before


class DuringConversion:
    """A number whose conversion runs `action` first, while the target object is being written."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __float__(self):
        try:
            self.action()
            self.outcome = "ok"
        except RuntimeError as exc:
            self.outcome = str(exc)
        return 2.5


def test_borrow_conflicts_while_an_attribute_is_written():
    replay = parse_replay_from_bytes(EMPTY_HEADER, True)
    ev = ReplayEventKivo(1, 0.5, 0.25, Key(3))
    state = LifeBarState(1, 0.5)
    actions = [
        (ev, "x", lambda: ev.y, "Already mutably borrowed"),
        (ev, "x", lambda: repr(ev), "Already mutably borrowed"),
        (ev, "x", lambda: ev == ReplayEventKivo(1, 0.5, 0.25, Key(3)), "Already mutably borrowed"),
        (ev, "y", lambda: setattr(ev, "time_delta", 5), "Already borrowed"),
        (ev, "y", lambda: delattr(ev, "keys"), "Already borrowed"),
        (state, "life", lambda: setattr(replay, "life_bar_graph", [state]), "Already mutably borrowed"),
        (state, "life", lambda: state.time, "Already mutably borrowed"),
        # Other objects stay free.
        (ev, "x", lambda: setattr(replay, "life_bar_graph", [state]), "ok"),
    ]
    for target, name, action, outcome in actions:
        value = DuringConversion(action)
        setattr(target, name, value)
        assert (value.outcome, getattr(target, name)) == (outcome, 2.5)
    # Every borrow was released again.
    assert repr(ev) == "ReplayEventKivo { time_delta: 1, x: 2.5, y: 2.5, keys: Key(3) }"
    assert (state.time, [s.life for s in replay.life_bar_graph]) == (1, [2.5])


def test_attributes_have_no_documentation():
    for descriptor in (ReplayEventKivo.x, LifeBarState.life, GameMode.value, Mod.value, kadenzo.Replay.count_300):
        assert not descriptor.__doc__
