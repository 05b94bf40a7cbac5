"""Frame classes and LifeBarState: construction, attributes, equality, hashing and text form."""

import math
import operator
import re

import pytest
from helpers import FRAME_FIELDS, OUT_OF_RANGE, tp_name
from kadenzo import (
    Key,
    KeyMania,
    KeyTaiko,
    LifeBarState,
    ReplayEventCatch,
    ReplayEventKivo,
    ReplayEventMania,
    ReplayEventTaiko,
)


def kivo(time_delta=0, x=0.0, y=0.0, keys=None):
    return ReplayEventKivo(time_delta, x, y, Key(0) if keys is None else keys)


def sample_frames():
    return [
        kivo(16, 256.5, 100, Key(5)),
        ReplayEventTaiko(16, 256, KeyTaiko(1)),
        ReplayEventCatch(16, 256.5, True),
        ReplayEventMania(-12345, KeyMania(3)),
    ]


class Index:
    def __index__(self):
        return 7


class Real:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "obj, fields",
    [
        (ReplayEventKivo(16, 256.5, 100, Key(1)), {"time_delta": 16, "x": 256.5, "y": 100.0, "keys": Key(1)}),
        (ReplayEventKivo(True, Index(), Real(), Key(-1)), {"time_delta": 1, "x": 7.0, "y": 2.5, "keys": Key(-1)}),
        (
            ReplayEventKivo(-(2**63), 2**53 + 1, -0.0, Key(0)),
            {"time_delta": -(2**63), "x": 2.0**53, "y": -0.0, "keys": Key(0)},
        ),
        (ReplayEventTaiko(Index(), -5, KeyTaiko(-1)), {"time_delta": 7, "x": -5, "keys": KeyTaiko(-1)}),
        (ReplayEventTaiko(2**63 - 1, True, KeyTaiko(15)), {"time_delta": 2**63 - 1, "x": 1, "keys": KeyTaiko(15)}),
        (ReplayEventCatch(16, 3, False), {"time_delta": 16, "x": 3.0, "dashing": False}),
        (ReplayEventMania(-12345, KeyMania(2**31 - 1)), {"time_delta": -12345, "keys": KeyMania(2**31 - 1)}),
        (LifeBarState(4294967295, 0.5), {"time": 4294967295, "life": 0.5}),
        (LifeBarState(True, 2), {"time": 1, "life": 2.0}),
    ],
    ids=lambda v: type(v).__name__,
)
def test_construction_and_reads(obj, fields):
    for name, value in fields.items():
        read = getattr(obj, name)
        assert type(read) is type(value) and read == value
        if isinstance(value, float):
            assert math.copysign(1, read) == math.copysign(1, value)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: ReplayEventKivo(1, 2, 3, 4), TypeError, "argument 'keys': 'int' object cannot be converted to 'Key'"),
        (
            lambda: ReplayEventKivo(0, 0, 0, KeyTaiko(0)),
            TypeError,
            "argument 'keys': 'KeyTaiko' object cannot be converted to 'Key'",
        ),
        (
            lambda: ReplayEventKivo(1.5, 0, 0, Key(0)),
            TypeError,
            "argument 'time_delta': 'float' object cannot be interpreted as an integer",
        ),
        # The first failing argument decides.
        (
            lambda: ReplayEventKivo(1.5, "a", 0, 4),
            TypeError,
            "argument 'time_delta': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: ReplayEventKivo(0, "a", 0, 4), TypeError, "argument 'x': must be real number, not str"),
        (lambda: ReplayEventKivo(2**63, 0, 0, Key(0)), OverflowError, None),
        (lambda: ReplayEventKivo(0, 2**1024, 0, Key(0)), OverflowError, None),
        (
            lambda: ReplayEventTaiko(0, 1.5, KeyTaiko(0)),
            TypeError,
            "argument 'x': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: ReplayEventTaiko(0, 2**63, KeyTaiko(0)), OverflowError, None),
        (
            lambda: ReplayEventTaiko(0, 0, Key(0)),
            TypeError,
            "argument 'keys': 'Key' object cannot be converted to 'KeyTaiko'",
        ),
        (
            lambda: ReplayEventCatch(0, 1.0, 1),
            TypeError,
            "argument 'dashing': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: ReplayEventCatch(0, 1.0, None),
            TypeError,
            "argument 'dashing': 'NoneType' object cannot be converted to 'PyBool'",
        ),
        (
            lambda: ReplayEventMania(0, Key(0)),
            TypeError,
            "argument 'keys': 'Key' object cannot be converted to 'KeyMania'",
        ),
        (
            lambda: LifeBarState(1.0, 1.0),
            TypeError,
            "argument 'time': 'float' object cannot be interpreted as an integer",
        ),
        (lambda: LifeBarState(0, "a"), TypeError, "argument 'life': must be real number, not str"),
        (lambda: LifeBarState(-1, 1.0), OverflowError, None),
        (lambda: LifeBarState(4294967296, 1.0), OverflowError, OUT_OF_RANGE),
        (lambda: LifeBarState(2**64, 1.0), OverflowError, None),
    ],
)
def test_constructor_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


ATTRIBUTES = [
    (
        kivo,
        "time_delta",
        -(2**63),
        [(1.5, TypeError, "'float' object cannot be interpreted as an integer"), (2**63, OverflowError, None)],
    ),
    (kivo, "x", -1e300, [("a", TypeError, "must be real number, not str"), (2**1024, OverflowError, None)]),
    (kivo, "y", float("inf"), [(None, TypeError, "must be real number, not NoneType")]),
    (
        kivo,
        "keys",
        Key(-8),
        [
            (5, TypeError, "'int' object cannot be converted to 'Key'"),
            (KeyMania(1), TypeError, "'KeyMania' object cannot be converted to 'Key'"),
        ],
    ),
    (
        lambda: ReplayEventTaiko(1, 2, KeyTaiko(3)),
        "x",
        2**63 - 1,
        [(2.0, TypeError, "'float' object cannot be interpreted as an integer"), (-(2**63) - 1, OverflowError, None)],
    ),
    (
        lambda: ReplayEventTaiko(1, 2, KeyTaiko(3)),
        "keys",
        KeyTaiko(12),
        [(Key(0), TypeError, "'Key' object cannot be converted to 'KeyTaiko'")],
    ),
    (
        lambda: ReplayEventCatch(1, 2.0, False),
        "dashing",
        True,
        [
            (0, TypeError, "'int' object cannot be converted to 'PyBool'"),
            ("true", TypeError, "'str' object cannot be converted to 'PyBool'"),
        ],
    ),
    (lambda: ReplayEventCatch(1, 2.0, False), "x", 1e-5, [([], TypeError, "must be real number, not list")]),
    (
        lambda: ReplayEventMania(1, KeyMania(2)),
        "keys",
        KeyMania(-1),
        [(None, TypeError, "'NoneType' object cannot be converted to 'KeyMania'")],
    ),
    (
        lambda: ReplayEventMania(1, KeyMania(2)),
        "time_delta",
        99,
        [("1", TypeError, "'str' object cannot be interpreted as an integer")],
    ),
    (
        lambda: LifeBarState(3, 0.25),
        "time",
        2**32 - 1,
        [
            (-1, OverflowError, None),
            (2**32, OverflowError, OUT_OF_RANGE),
            (2**64 - 1, OverflowError, OUT_OF_RANGE),
            (2**64, OverflowError, None),
            (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ],
    ),
    (lambda: LifeBarState(3, 0.25), "life", -2.5, [("x", TypeError, "must be real number, not str")]),
]


@pytest.mark.parametrize("make, name, new, bad", ATTRIBUTES, ids=lambda v: v if isinstance(v, str) else None)
def test_attribute_writes(make, name, new, bad):
    obj = make()
    for value, exc, message in bad:
        before = getattr(obj, name), repr(obj)
        with pytest.raises(exc) as info:
            setattr(obj, name, value)
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message
        assert (getattr(obj, name), repr(obj)) == before
    setattr(obj, name, new)
    assert getattr(obj, name) == new and type(getattr(obj, name)) is type(new)
    with pytest.raises(AttributeError) as info:
        delattr(obj, name)
    assert str(info.value) == "can't delete attribute"
    assert getattr(obj, name) == new


@pytest.mark.parametrize("obj", sample_frames() + [LifeBarState(0, 1.0)], ids=lambda o: type(o).__name__)
def test_no_deletion_and_no_other_attributes(obj):
    fields = FRAME_FIELDS[type(obj)]
    for name in fields:
        with pytest.raises(AttributeError) as info:
            delattr(obj, name)
        assert str(info.value) == "can't delete attribute"
    with pytest.raises(AttributeError):
        obj.z = 1
    assert not hasattr(obj, "__dict__")
    assert [name for name in dir(type(obj)) if not name.startswith("__")] == sorted(fields)


def test_keys_reads_are_new_objects():
    ev = kivo(keys=Key(5))
    first, second = ev.keys, ev.keys
    assert first is not second and first == second == Key(5)
    first |= Key(16)
    assert ev.keys == Key(5)
    keys = Key(3)
    ev.keys = keys
    assert ev.keys is not keys and ev.keys == keys


NAN, INF = float("nan"), float("inf")


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (kivo(1, 2.0, 3.0, Key(4)), kivo(1, 2, 3, Key(4)), True),
        (kivo(x=0.0), kivo(x=-0.0), True),
        (kivo(y=INF), kivo(y=INF), True),
        (kivo(x=NAN), kivo(x=NAN), False),
        (kivo(y=NAN), kivo(y=NAN), False),
        (kivo(1), kivo(2), False),
        (kivo(x=1.0), kivo(x=1.0000000000000002), False),
        (kivo(keys=Key(1)), kivo(keys=Key(2)), False),
        (kivo(keys=Key(-1)), kivo(keys=Key(-1)), True),
        (ReplayEventTaiko(1, 2, KeyTaiko(3)), ReplayEventTaiko(1, 2, KeyTaiko(3)), True),
        (ReplayEventTaiko(1, 2, KeyTaiko(3)), ReplayEventTaiko(1, -2, KeyTaiko(3)), False),
        (ReplayEventTaiko(1, 2, KeyTaiko(3)), ReplayEventTaiko(1, 2, KeyTaiko(7)), False),
        (ReplayEventCatch(1, 2.0, True), ReplayEventCatch(1, 2.0, True), True),
        (ReplayEventCatch(1, 2.0, True), ReplayEventCatch(1, 2.0, False), False),
        (ReplayEventCatch(1, NAN, True), ReplayEventCatch(1, NAN, True), False),
        (ReplayEventMania(1, KeyMania(2)), ReplayEventMania(1, KeyMania(2)), True),
        (ReplayEventMania(1, KeyMania(2)), ReplayEventMania(0, KeyMania(2)), False),
        # Other classes never compare fields: both sides answer NotImplemented.
        (kivo(16, 256.0, 0.0, Key(1)), ReplayEventTaiko(16, 256, KeyTaiko(1)), False),
        (ReplayEventMania(0, KeyMania(0)), ReplayEventTaiko(0, 0, KeyTaiko(0)), False),
        (ReplayEventMania(0, KeyMania(0)), 0, False),
        (kivo(), None, False),
        (LifeBarState(0, 1.0), LifeBarState(0, 1.0), False),
    ],
)
def test_equality(left, right, equal):
    assert (left == right, left != right, right == left, right != left) == (equal, not equal, equal, not equal)


def test_nan_frame_is_not_equal_to_itself():
    ev = kivo()
    assert ev == ev
    ev.x = NAN
    assert (ev == ev, ev != ev) == (False, True)
    state = LifeBarState(0, NAN)
    assert state == state


@pytest.mark.parametrize(
    "op, symbol", [(operator.lt, "<"), (operator.le, "<="), (operator.gt, ">"), (operator.ge, ">=")]
)
@pytest.mark.parametrize("obj", sample_frames(), ids=lambda o: type(o).__name__)
def test_ordering(op, symbol, obj):
    with pytest.raises(ValueError) as info:
        op(obj, obj)
    assert str(info.value) == "Invalid comparison"
    for other in (5, ReplayEventCatch(0, 0.0, False) if type(obj) is not ReplayEventCatch else kivo()):
        with pytest.raises(TypeError) as info:
            op(obj, other)
        assert str(info.value) == (
            f"'{symbol}' not supported between instances of '{tp_name(obj)}' and '{tp_name(other)}'"
        )
    with pytest.raises(TypeError):
        op(LifeBarState(0, 1.0), LifeBarState(0, 1.0))


def test_comparison_answers_not_implemented():
    class Other:
        def __eq__(self, other):
            return "eq"

        def __lt__(self, other):
            return "lt"

        __hash__ = None

    for ev in sample_frames():
        assert (ev == Other(), ev > Other()) == ("eq", "lt")
        assert (
            ev.__eq__(ReplayEventCatch(16, 256.5, True) if type(ev) is not ReplayEventCatch else kivo())
            is NotImplemented
        )


@pytest.mark.parametrize("obj", sample_frames(), ids=lambda o: type(o).__name__)
def test_frames_are_unhashable(obj):
    assert type(obj).__hash__ is None
    with pytest.raises(TypeError) as info:
        hash(obj)
    assert str(info.value) == f"unhashable type: '{tp_name(obj)}'"


def test_life_bar_state_uses_identity():
    state = LifeBarState(0, 1.0)
    assert hash(state) == object.__hash__(state) and {state: 1}[state] == 1
    assert re.fullmatch(r"<builtins\.LifeBarState object at 0x[0-9a-f]+>", repr(state))
    assert str(state) == repr(state)


@pytest.mark.parametrize(
    "given, stored",
    [
        (0.1, 0.10000000149011612),
        (0.5, 0.5),
        (1e39, INF),
        (-1e39, -INF),
        (3.4028235e38, 3.4028234663852886e38),
        (1e-46, 0.0),
        (-1e-46, -0.0),
        (1.4e-45, 1.401298464324817e-45),
        (1 + 2**-24, 1.0),
        (1 + 3 * 2**-24, 1 + 2**-22),
        (16777217, 16777216.0),
        (-0.0, -0.0),
        (INF, INF),
        (100, 100.0),
    ],
)
def test_life_is_stored_as_32_bit_float(given, stored):
    state = LifeBarState(0, given)
    assert state.life == stored and math.copysign(1, state.life) == math.copysign(1, stored)
    state.life = 7.0
    state.life = given
    assert state.life == stored
    assert math.isnan(LifeBarState(0, NAN).life)


@pytest.mark.parametrize(
    "value, text",
    [
        (256.0, "256.0"),
        (0.5, "0.5"),
        (-0.0, "-0.0"),
        (NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
        (1e16, "1e16"),
        (1e-5, "1e-5"),
        (-1e-5, "-1e-5"),
        (1e15, "1000000000000000.0"),
        (0.0001, "0.0001"),
        (0.00009, "9e-5"),
        (12345.5, "12345.5"),
        (1.5e-5, "1.5e-5"),
        (2.5e20, "2.5e20"),
        (0.1, "0.1"),
        (1 / 3, "0.3333333333333333"),
        (9999999999999998.0, "9999999999999998.0"),
        (-1e16, "-1e16"),
        (1.2345678901234568e17, "1.2345678901234568e17"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
        (-123.456, "-123.456"),
    ],
)
def test_float_text(value, text):
    assert repr(kivo(0, value, 0.0)) == f"ReplayEventKivo {{ time_delta: 0, x: {text}, y: 0.0, keys: Key(0) }}"
    assert repr(ReplayEventCatch(0, value, False)) == f"ReplayEventCatch {{ time_delta: 0, x: {text}, dashing: false }}"


@pytest.mark.parametrize(
    "obj, text",
    [
        (
            ReplayEventKivo(16, 256.5, 100, Key(1)),
            "ReplayEventKivo { time_delta: 16, x: 256.5, y: 100.0, keys: Key(1) }",
        ),
        (ReplayEventKivo(0, 1e16, 1e-5, Key(0)), "ReplayEventKivo { time_delta: 0, x: 1e16, y: 1e-5, keys: Key(0) }"),
        (
            ReplayEventKivo(-(2**63), -0.0, NAN, Key(-1)),
            "ReplayEventKivo { time_delta: -9223372036854775808, x: -0.0, y: NaN, keys: Key(-1) }",
        ),
        (ReplayEventTaiko(16, 256, KeyTaiko(1)), "ReplayEventTaiko { time_delta: 16, x: 256, keys: KeyTaiko(1) }"),
        (
            ReplayEventTaiko(2**63 - 1, -7, KeyTaiko(-1)),
            "ReplayEventTaiko { time_delta: 9223372036854775807, x: -7, keys: KeyTaiko(-1) }",
        ),
        (ReplayEventCatch(16, 256.5, True), "ReplayEventCatch { time_delta: 16, x: 256.5, dashing: true }"),
        (ReplayEventCatch(-1, -INF, False), "ReplayEventCatch { time_delta: -1, x: -inf, dashing: false }"),
        (ReplayEventMania(-12345, KeyMania(0)), "ReplayEventMania { time_delta: -12345, keys: KeyMania(0) }"),
        (ReplayEventMania(0, KeyMania(-(2**31))), "ReplayEventMania { time_delta: 0, keys: KeyMania(-2147483648) }"),
        (ReplayEventMania(0, KeyMania(262143)), "ReplayEventMania { time_delta: 0, keys: KeyMania(262143) }"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_text_form(obj, text):
    assert repr(obj) == str(obj) == f"{obj}" == text


def test_text_form_follows_writes():
    ev = ReplayEventCatch(1, 2.0, False)
    ev.time_delta, ev.x, ev.dashing = -3, 1e-7, True
    assert repr(ev) == "ReplayEventCatch { time_delta: -3, x: 1e-7, dashing: true }"
