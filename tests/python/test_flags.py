"""Flag sets Mod, Key, KeyTaiko and KeyMania: members, construction, text form, operators, comparisons."""

import operator

import pytest
from helpers import TRY_FROM_INT, raises_panic, tp_name
from kadenzo import GameMode, Key, KeyMania, KeyTaiko, Mod

MOD_NAMES = [
    "NoFail",
    "Easy",
    "TouchDevice",
    "Hidden",
    "HardRock",
    "SuddenDeath",
    "DoubleTime",
    "Relax",
    "HalfTime",
    "Nightcore",
    "Flashlight",
    "Autoplay",
    "SpunOut",
    "Autopilot",
    "Perfect",
    "Key4",
    "Key5",
    "Key6",
    "Key7",
    "Key8",
    "FadeIn",
    "Random",
    "Cinema",
    "Target",
    "Key9",
    "KeyCoop",
    "Key1",
    "Key3",
    "Key2",
    "ScoreV2",
    "Mirror",
]
MEMBERS = {
    Mod: [("NoMod", 0)] + [(name, 1 << bit) for bit, name in enumerate(MOD_NAMES)],
    Key: [("M1", 1), ("M2", 2), ("K1", 4), ("K2", 8), ("SMOKE", 16)],
    KeyTaiko: [("LEFT_DON", 1), ("LEFT_KAT", 2), ("RIGHT_DON", 4), ("RIGHT_KAT", 8)],
    KeyMania: [(f"K{n}", 1 << (n - 1)) for n in range(1, 19)],
}
CLASSES = list(MEMBERS)
by_name = pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)


def check(obj, cls, value):
    assert type(obj) is cls and obj.value == value


@by_name
def test_members(cls):
    # Declaration order of the class dict is checked with the other class objects in test_module.
    # Nightcore (512) and Perfect (16384) are single bits; Key3 is bit 27 and Key2 bit 28.
    for name, value in MEMBERS[cls]:
        check(getattr(cls, name), cls, value)
        assert getattr(cls, name) is getattr(cls, name)


@by_name
@pytest.mark.parametrize(
    "arg, value",
    [
        (0, 0),
        (5, 5),
        (255, 255),
        (2**31 - 1, 2**31 - 1),
        (True, 1),
        (False, 0),
        (-1, -1),
        (-(2**31), -(2**31)),
    ],
)
def test_constructor_keeps_every_bit(cls, arg, value):
    if cls is Mod and value < 0:
        with raises_panic(TRY_FROM_INT):
            Mod(arg)
        return
    obj = cls(arg)
    check(obj, cls, value)
    assert (int(obj), bool(obj)) == (value, value != 0)
    assert cls(int=arg) == obj and cls(arg) is not cls(arg)


def test_constructor_never_returns_a_member():
    assert Mod(0) == Mod.NoMod and Mod(0) is not Mod.NoMod
    assert Key(1) is not Key.M1


def test_negative_mod_panics_with_diagnostic(capfd):
    with raises_panic(TRY_FROM_INT):
        Mod(-5)
    assert f"'{TRY_FROM_INT}'" in capfd.readouterr().err
    # The module stays usable after the stop.
    check(Mod(5), Mod, 5)


@by_name
@pytest.mark.parametrize(
    "arg, exc, message",
    [
        (1.0, TypeError, "argument 'int': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'int': 'str' object cannot be interpreted as an integer"),
        (Key.M1, TypeError, "argument 'int': 'builtins.Key' object cannot be interpreted as an integer"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
    ],
)
def test_constructor_rejects(cls, arg, exc, message):
    with pytest.raises(exc) as info:
        cls(arg)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@by_name
def test_immutable_unhashable_and_not_an_integer(cls):
    obj = cls(3)
    for action in (lambda: setattr(obj, "value", 1), lambda: delattr(obj, "value"), lambda: setattr(obj, "extra", 1)):
        with pytest.raises(AttributeError):
            action()
    assert obj.value == 3 and cls.__hash__ is None
    for action in (lambda: hash(obj), lambda: {obj}, lambda: {obj: 1}):
        with pytest.raises(TypeError) as info:
            action()
        assert str(info.value) == f"unhashable type: 'builtins.{cls.__name__}'"
    for action in (
        lambda: operator.index(obj),
        lambda: ~obj,
        lambda: -obj,
        lambda: +obj,
        lambda: 1 in obj,
        lambda: len(obj),
        lambda: iter(obj),
        lambda: [0, 1][obj],
    ):
        with pytest.raises(TypeError):
            action()


ALL_MODS = "|".join(reversed(MOD_NAMES))


@pytest.mark.parametrize(
    "obj, text",
    [
        (Mod.NoMod, "<Mod.NoMod: 0>"),
        (Mod(0), "<Mod.NoMod: 0>"),
        (Mod.HardRock | Mod.DoubleTime, "<Mod.DoubleTime|HardRock: 80>"),
        (Mod(16424), "<Mod.Perfect|SuddenDeath|Hidden: 16424>"),
        (Mod(72), "<Mod.DoubleTime|Hidden: 72>"),
        (Mod.Key3 | Mod.Key2, "<Mod.Key2|Key3: 402653184>"),
        (Mod.Mirror, "<Mod.Mirror: 1073741824>"),
        (Mod.NoFail, "<Mod.NoFail: 1>"),
        (Mod(2**31 - 1), f"<Mod.{ALL_MODS}: 2147483647>"),
        (Key(5), "<Key.K1|M1: 5>"),
        (Key.M1 | Key.M2, "<Key.M2|M1: 3>"),
        (Key(0), "<Key.0: 0>"),
        (Key(31), "<Key.SMOKE|K2|K1|M2|M1: 31>"),
        (KeyTaiko(0), "<KeyTaiko.0: 0>"),
        (KeyTaiko(15), "<KeyTaiko.RIGHT_KAT|RIGHT_DON|LEFT_KAT|LEFT_DON: 15>"),
        (KeyTaiko.LEFT_KAT, "<KeyTaiko.LEFT_KAT: 2>"),
        (KeyMania(0), "<KeyMania.0: 0>"),
        (KeyMania(3), "<KeyMania.K2|K1: 3>"),
        (KeyMania.K18, "<KeyMania.K18: 131072>"),
        (KeyMania(2**18 - 1), "<KeyMania." + "|".join(f"K{n}" for n in range(18, 0, -1)) + ": 262143>"),
        # Bits that no member names are shown as one unsigned number after the named bits.
        (Key(33), "<Key.M1|32: 33>"),
        (Key(32), "<Key.32: 32>"),
        (Key(-1), "<Key.SMOKE|K2|K1|M2|M1|4294967264: -1>"),
        (Key(-16), "<Key.SMOKE|4294967264: -16>"),
        (Key(-(2**31)), "<Key.2147483648: -2147483648>"),
        (Key(2**31 - 1), "<Key.SMOKE|K2|K1|M2|M1|2147483616: 2147483647>"),
        (KeyTaiko(-1), "<KeyTaiko.RIGHT_KAT|RIGHT_DON|LEFT_KAT|LEFT_DON|4294967280: -1>"),
        (KeyTaiko(18), "<KeyTaiko.LEFT_KAT|16: 18>"),
        (KeyMania(262144), "<KeyMania.262144: 262144>"),
        (KeyMania(262145), "<KeyMania.K1|262144: 262145>"),
        (KeyMania(-1), "<KeyMania." + "|".join(f"K{n}" for n in range(18, 0, -1)) + "|4294705152: -1>"),
    ],
)
def test_text_form(obj, text):
    assert repr(obj) == str(obj) == f"{obj}" == text


@pytest.mark.parametrize(
    "expr, cls, value",
    [
        (lambda: Mod.HardRock | Mod.HardRock, Mod, 16),
        (lambda: Key.K2 | Key.K2, Key, 8),
        (lambda: Mod.Mirror | Mod.Mirror, Mod, 2**30),
        (lambda: Mod.Hidden | Mod.HardRock, Mod, 24),
        (lambda: Mod(2**31 - 1) | Mod.Mirror, Mod, 2**31 - 1),
        (lambda: Key(3) | Key(6), Key, 7),
        (lambda: Key(-1) | Key(1), Key, -1),
        (lambda: KeyMania(-(2**31)) | KeyMania(1), KeyMania, -(2**31) + 1),
        (lambda: KeyTaiko(0) | KeyTaiko(0), KeyTaiko, 0),
        (lambda: (Mod.Hidden | Mod.HardRock) & Mod.Hidden, Mod, 8),
        (lambda: Mod.Hidden & Mod.HardRock, Mod, 0),
        (lambda: Key(-1) & Key(5), Key, 5),
        (lambda: KeyMania(-2) & KeyMania(-3), KeyMania, -4),
        (lambda: Mod(24) ^ Mod.Hidden, Mod, 16),
        (lambda: Mod.Hidden ^ Mod.Hidden, Mod, 0),
        (lambda: Key(-1) ^ Key(1), Key, -2),
        (lambda: KeyTaiko(2**31 - 1) ^ KeyTaiko(-1), KeyTaiko, -(2**31)),
        (lambda: Mod.Hidden + Mod.HardRock, int, 24),
        (lambda: Mod.Hidden - Mod.HardRock, int, -8),
        (lambda: Mod.Mirror + Mod.Mirror, int, -(2**31)),
        (lambda: Mod.NoMod - Mod.Mirror, int, -(2**30)),
        (lambda: Key.M1 - Key.K1, int, -3),
        (lambda: Key(2**31 - 1) + Key(1), int, -(2**31)),
        (lambda: KeyMania(-(2**31)) - KeyMania(1), int, 2**31 - 1),
        (lambda: KeyTaiko(-1) + KeyTaiko(-1), int, -2),
    ],
)
def test_operators(expr, cls, value):
    result = expr()
    if cls is int:
        assert type(result) is int and result == value
    else:
        check(result, cls, value)


def test_operators_make_new_objects():
    for result in (Mod.Hidden | Mod.NoMod, Mod.Hidden & Mod.Hidden, Key.M1 ^ Key(0)):
        assert result is not Mod.Hidden and result is not Key.M1
    assert (Mod.Hidden.value, Key.M1.value) == (8, 1)


OPERATORS = [(operator.add, "+"), (operator.sub, "-"), (operator.and_, "&"), (operator.or_, "|"), (operator.xor, "^")]


@pytest.mark.parametrize("op, symbol", OPERATORS)
@pytest.mark.parametrize(
    "left, right",
    [
        (Mod.Hidden, 16),
        (16, Mod.Hidden),
        (Key.M1, KeyTaiko.LEFT_DON),
        (KeyMania.K1, Key.M1),
        (Mod.NoFail, Key.M1),
        (Key.M1, None),
        (GameMode.STD, Mod.NoMod),
        (Key(1), 1.0),
    ],
)
def test_mixed_operands_are_refused(op, symbol, left, right):
    with pytest.raises(TypeError) as info:
        op(left, right)
    assert str(info.value) == (f"unsupported operand type(s) for {symbol}: '{tp_name(left)}' and '{tp_name(right)}'")


class Other:
    """Answers every reflected operator and comparison, so a NotImplemented result is visible."""

    def __radd__(self, other):
        return "radd"

    def __rsub__(self, other):
        return "rsub"

    def __rand__(self, other):
        return "rand"

    def __ror__(self, other):
        return "ror"

    def __rxor__(self, other):
        return "rxor"

    def __eq__(self, other):
        return "eq"

    def __ne__(self, other):
        return "ne"

    def __gt__(self, other):
        return "gt"

    __hash__ = None


@by_name
def test_other_operands_get_not_implemented(cls):
    obj = cls(1)
    assert [obj + Other(), obj - Other(), obj & Other(), obj | Other(), obj ^ Other()] == [
        "radd",
        "rsub",
        "rand",
        "ror",
        "rxor",
    ]
    assert [obj == Other(), obj != Other(), obj < Other()] == ["eq", "ne", "gt"]
    assert obj.__or__(1) is NotImplemented and obj.__eq__(1) is NotImplemented


@pytest.mark.parametrize(
    "left, right, results",
    [
        # (<, <=, ==, !=, >, >=)
        (Mod.HardRock, Mod.DoubleTime, (True, True, False, True, False, False)),
        (Mod(0), Mod.NoMod, (False, True, True, False, False, True)),
        (Mod.Mirror, Mod.NoFail, (False, False, False, True, True, True)),
        (Key(-1), Key(0), (True, True, False, True, False, False)),
        (Key(-(2**31)), Key(2**31 - 1), (True, True, False, True, False, False)),
        (KeyTaiko(5), KeyTaiko(5), (False, True, True, False, False, True)),
        (KeyMania(-1), KeyMania(-2), (False, False, False, True, True, True)),
    ],
)
def test_comparisons(left, right, results):
    ops = (operator.lt, operator.le, operator.eq, operator.ne, operator.gt, operator.ge)
    assert tuple(op(left, right) for op in ops) == results


@pytest.mark.parametrize(
    "left, right",
    [
        (Mod.NoMod, 0),
        (Mod.Hidden, 8),
        (Key.M1, KeyTaiko.LEFT_DON),
        (KeyMania.K1, Key.M1),
        (Key(0), None),
        (Mod.NoMod, GameMode.STD),
    ],
)
def test_comparison_with_other_types(left, right):
    assert (left == right, left != right, right == left) == (False, True, False)
    for op, symbol in [(operator.lt, "<"), (operator.ge, ">=")]:
        with pytest.raises(TypeError) as info:
            op(left, right)
        assert str(info.value) == (
            f"'{symbol}' not supported between instances of '{tp_name(left)}' and '{tp_name(right)}'"
        )


def test_in_place_operators_rebind():
    mods = Mod.Hidden
    mods |= Mod.HardRock
    check(mods, Mod, 24)
    check(Mod.Hidden, Mod, 8)
    keys = held = Key.M1
    keys |= Key.M2
    keys ^= Key.M1
    check(keys, Key, 2)
    assert held is Key.M1 and Key.M1.value == 1
    total = KeyTaiko.LEFT_DON
    total += KeyTaiko.RIGHT_DON
    assert type(total) is int and total == 5
