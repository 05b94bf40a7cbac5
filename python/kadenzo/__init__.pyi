"""The decoder of Kivo replay files: its functions and classes (this is their
type information).

`kadenzo.__all__` lists the module's names: the four functions, `Replay`, the
frame and life-bar classes, `GameMode` and the flag sets. Two more classes
exist without being attributes of the module: `ReplayDataContainer`, the type
of `Replay.replay_data` (name it in annotations only), and `PanicException`.

Every class is final (none can be subclassed at runtime), none has methods
beyond its attributes and operators, and none keeps a reference to another
Python object. Attribute reads build new objects on every access; assignments
convert and copy the value.

A decoding failure raises `PanicException`, which derives from BaseException
(so `except Exception` does not catch it) and is not an attribute of this
module: catch it as BaseException and recognise it by its class name,
`type(error).__name__ == "PanicException"`. `str(error)` is the message. Each
one also writes one line to standard error; set `KADENZO_BACKTRACE=1` to add a
stack trace to it. It pickles: another process that has kadenzo unpickles the
same class with the same arguments.
"""

from collections.abc import Sequence
from typing import ClassVar, Final, Never, Self, SupportsFloat, SupportsIndex, final

__all__ = [
    "Replay",
    "ReplayEventKivo",
    "ReplayEventTaiko",
    "ReplayEventCatch",
    "ReplayEventMania",
    "LifeBarState",
    "Mod",
    "GameMode",
    "Key",
    "KeyTaiko",
    "KeyMania",
    "parse_replay_from_bytes",
    "parse_replay_from_path",
    "parse_replays_from_paths",
    "parse_replay_data",
]

_Float = SupportsFloat | SupportsIndex

# --- Play mode ---------------------------------------------------------------

@final
class GameMode:
    """The play mode of a replay: `STD` (0), `TAIKO` (1), `CTB` (2), `MANIA`
    (3) or `UNKNOWN` (4).

    `GameMode(n)` maps 0..3 to STD..MANIA (by the low 8 bits of n) and
    anything else to UNKNOWN. `value` and `int()` give the number; `bool()` is
    false only for `STD`; `==` and `!=` compare modes (a mode never equals an
    `int`); ordering raises ValueError; modes are hashable, with the same hash
    in every process. `repr` is `GameMode.STD` and so on."""

    STD: Final[GameMode]
    TAIKO: Final[GameMode]
    CTB: Final[GameMode]
    MANIA: Final[GameMode]
    UNKNOWN: Final[GameMode]
    def __new__(cls, int: SupportsIndex) -> Self: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __hash__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    # Modes have no order: these always raise ValueError("Invalid comparison"),
    # so the stub accepts no operand and a checker reports every use.
    def __lt__(self, other: Never, /) -> bool: ...
    def __le__(self, other: Never, /) -> bool: ...
    def __gt__(self, other: Never, /) -> bool: ...
    def __ge__(self, other: Never, /) -> bool: ...

# --- Flag sets ---------------------------------------------------------------

class _FlagSet:
    # The operations every flag set shares, between two values of one class.
    # `+` and `-` give the 32-bit two's-complement result as a plain int;
    # `&`, `|` and `^` give a new flag set of the same class.
    def __new__(cls, int: SupportsIndex) -> Self: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __bool__(self) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __add__(self, other: Self, /) -> int: ...
    def __radd__(self, other: Self, /) -> int: ...
    def __sub__(self, other: Self, /) -> int: ...
    def __rsub__(self, other: Self, /) -> int: ...
    def __and__(self, other: Self, /) -> Self: ...
    def __rand__(self, other: Self, /) -> Self: ...
    def __or__(self, other: Self, /) -> Self: ...
    def __ror__(self, other: Self, /) -> Self: ...
    def __xor__(self, other: Self, /) -> Self: ...
    def __rxor__(self, other: Self, /) -> Self: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Self, /) -> bool: ...
    def __le__(self, other: Self, /) -> bool: ...
    def __gt__(self, other: Self, /) -> bool: ...
    def __ge__(self, other: Self, /) -> bool: ...

@final
class Mod(_FlagSet):
    """Gameplay modifiers of a replay, 0 to `2**31 - 1`: the members from the
    lowest bit, `NoMod` (0), then `NoFail` (bit 0) to `Mirror` (bit 30).

    `Mod(n)` stores `n` unchanged, bits without a name included; a negative
    `n` raises PanicException, one past `2**31 - 1` OverflowError. A decoded
    header may hold bit 31, which every read of the value (int, repr,
    operators) refuses with PanicException.

    What every flag set (`Mod`, `Key`, `KeyTaiko`, `KeyMania`) does: `value`
    and `int()` give the number, `bool()` tests for zero. Between two values
    of one class, `&`, `|` and `^` give a new flag set, `+` and `-` an `int`
    (32-bit wrap-around), and all six comparisons compare the numbers; with
    two classes mixed, or a flag set and an `int`, they raise TypeError, but
    `==` is False (and `!=` True). Flag sets are not hashable. `repr` names
    the set bits from the highest, bits without a name as a number:
    `<Mod.DoubleTime|HardRock: 80>`, `<Key.M1|32: 33>`, `<KeyTaiko.0: 0>`."""

    NoMod: Final[Mod]
    NoFail: Final[Mod]
    Easy: Final[Mod]
    TouchDevice: Final[Mod]
    Hidden: Final[Mod]
    HardRock: Final[Mod]
    SuddenDeath: Final[Mod]
    DoubleTime: Final[Mod]
    Relax: Final[Mod]
    HalfTime: Final[Mod]
    Nightcore: Final[Mod]
    Flashlight: Final[Mod]
    Autoplay: Final[Mod]
    SpunOut: Final[Mod]
    Autopilot: Final[Mod]
    Perfect: Final[Mod]
    Key4: Final[Mod]
    Key5: Final[Mod]
    Key6: Final[Mod]
    Key7: Final[Mod]
    Key8: Final[Mod]
    FadeIn: Final[Mod]
    Random: Final[Mod]
    Cinema: Final[Mod]
    Target: Final[Mod]
    Key9: Final[Mod]
    KeyCoop: Final[Mod]
    Key1: Final[Mod]
    Key3: Final[Mod]
    Key2: Final[Mod]
    ScoreV2: Final[Mod]
    Mirror: Final[Mod]

@final
class Key(_FlagSet):
    """Buttons held in a frame of the standard mode: any signed 32-bit value,
    `-2**31` to `2**31 - 1` (a negative one is a pattern with bit 31 set; beyond
    that range OverflowError). Operators as `Mod` describes."""

    M1: Final[Key]
    M2: Final[Key]
    K1: Final[Key]
    K2: Final[Key]
    SMOKE: Final[Key]

@final
class KeyTaiko(_FlagSet):
    """Drums hit in a frame of the drum mode: any signed 32-bit value, as
    `Key` takes. Operators as `Mod` describes."""

    LEFT_DON: Final[KeyTaiko]
    LEFT_KAT: Final[KeyTaiko]
    RIGHT_DON: Final[KeyTaiko]
    RIGHT_KAT: Final[KeyTaiko]

@final
class KeyMania(_FlagSet):
    """Columns held in a frame of the key mode: K1 is column 1 (value 1), K18 is
    column 18 (value `2**17`); column n is bit n - 1. Any signed 32-bit value,
    as `Key` takes. Operators as `Mod` describes."""

    K1: Final[KeyMania]
    K2: Final[KeyMania]
    K3: Final[KeyMania]
    K4: Final[KeyMania]
    K5: Final[KeyMania]
    K6: Final[KeyMania]
    K7: Final[KeyMania]
    K8: Final[KeyMania]
    K9: Final[KeyMania]
    K10: Final[KeyMania]
    K11: Final[KeyMania]
    K12: Final[KeyMania]
    K13: Final[KeyMania]
    K14: Final[KeyMania]
    K15: Final[KeyMania]
    K16: Final[KeyMania]
    K17: Final[KeyMania]
    K18: Final[KeyMania]

# --- Frames and life-bar samples ---------------------------------------------

class _Frame:
    # Frames compare field by field with == and !=; ordering them always
    # raises ValueError("Invalid comparison"), so the stub accepts no operand
    # for it. They are unhashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __lt__(self, other: Never, /) -> bool: ...
    def __le__(self, other: Never, /) -> bool: ...
    def __gt__(self, other: Never, /) -> bool: ...
    def __ge__(self, other: Never, /) -> bool: ...

@final
class ReplayEventKivo(_Frame):
    """One input frame of the standard mode: milliseconds since the previous
    frame, cursor position and buttons held.

    What every frame class does: each constructor argument is also a
    read-write attribute, and `time_delta` is a 64-bit signed integer. Frames
    compare with `==` and `!=` field by field (floats as floats: a NaN never
    equals itself); ordering them raises ValueError; they are not hashable.
    Their `repr` lists the fields:
    `ReplayEventMania { time_delta: 16, keys: KeyMania(5) }`."""

    def __new__(cls, time_delta: SupportsIndex, x: _Float, y: _Float, keys: Key) -> Self: ...
    @property
    def time_delta(self) -> int: ...
    @time_delta.setter
    def time_delta(self, value: SupportsIndex) -> None: ...
    @property
    def x(self) -> float: ...
    @x.setter
    def x(self, value: _Float) -> None: ...
    @property
    def y(self) -> float: ...
    @y.setter
    def y(self, value: _Float) -> None: ...
    keys: Key

@final
class ReplayEventTaiko(_Frame):
    """One input frame of the drum mode: milliseconds since the previous frame,
    an integer x and the drums hit. Compares and prints as `ReplayEventKivo`
    describes."""

    def __new__(cls, time_delta: SupportsIndex, x: SupportsIndex, keys: KeyTaiko) -> Self: ...
    @property
    def time_delta(self) -> int: ...
    @time_delta.setter
    def time_delta(self, value: SupportsIndex) -> None: ...
    @property
    def x(self) -> int: ...
    @x.setter
    def x(self, value: SupportsIndex) -> None: ...
    keys: KeyTaiko

@final
class ReplayEventCatch(_Frame):
    """One input frame of the catch mode: the catcher's position and whether
    it is dashing. Compares and prints as `ReplayEventKivo` describes."""

    def __new__(cls, time_delta: SupportsIndex, x: _Float, dashing: bool) -> Self: ...
    @property
    def time_delta(self) -> int: ...
    @time_delta.setter
    def time_delta(self, value: SupportsIndex) -> None: ...
    @property
    def x(self) -> float: ...
    @x.setter
    def x(self, value: _Float) -> None: ...
    dashing: bool

@final
class ReplayEventMania(_Frame):
    """One input frame of the key mode: the columns held. Compares and prints
    as `ReplayEventKivo` describes."""

    def __new__(cls, time_delta: SupportsIndex, keys: KeyMania) -> Self: ...
    @property
    def time_delta(self) -> int: ...
    @time_delta.setter
    def time_delta(self, value: SupportsIndex) -> None: ...
    keys: KeyMania

@final
class LifeBarState:
    """One sample of the life-bar graph: time in milliseconds (0 to `2**32 - 1`)
    and life from 0.0 to 1.0, stored as a 32-bit float. Both are read-write
    attributes; `repr` is Python's default and `==` is identity."""

    def __new__(cls, time: SupportsIndex, life: _Float) -> Self: ...
    @property
    def time(self) -> int: ...
    @time.setter
    def time(self, value: SupportsIndex) -> None: ...
    @property
    def life(self) -> float: ...
    @life.setter
    def life(self, value: _Float) -> None: ...

# --- Containers --------------------------------------------------------------

@final
class ReplayDataContainer:
    """The frames of a replay, one optional list per play mode; a decoded file
    fills only the list of its own mode.

    Not an attribute of the module at runtime: its instances come from
    `Replay.replay_data` and `parse_replay_data`. Use the name in annotations
    only (with `from __future__ import annotations`).

    Each list attribute reads as a new `list`, or `None`; assign `None` or a
    sequence of that mode's frames (`[]` is an empty list, not `None`). No
    constructor; `repr` is Python's default.
    """

    @property
    def kivo_replay_data(self) -> list[ReplayEventKivo] | None: ...
    @kivo_replay_data.setter
    def kivo_replay_data(self, value: Sequence[ReplayEventKivo] | None) -> None: ...
    @property
    def taiko_replay_data(self) -> list[ReplayEventTaiko] | None: ...
    @taiko_replay_data.setter
    def taiko_replay_data(self, value: Sequence[ReplayEventTaiko] | None) -> None: ...
    @property
    def catch_replay_data(self) -> list[ReplayEventCatch] | None: ...
    @catch_replay_data.setter
    def catch_replay_data(self, value: Sequence[ReplayEventCatch] | None) -> None: ...
    @property
    def mania_replay_data(self) -> list[ReplayEventMania] | None: ...
    @mania_replay_data.setter
    def mania_replay_data(self, value: Sequence[ReplayEventMania] | None) -> None: ...

@final
class Replay:
    """One decoded replay file. Made only by the parse functions (`Replay()`
    raises TypeError).

    Twenty read-write attributes, in the file's order; `repr` and `str` list
    them all, every frame included. Reading `replay_data` or `life_bar_graph`
    builds every object anew: read them once and keep the result. Assigning
    converts and copies the value: a value out of the field's range raises
    OverflowError, one of the wrong type TypeError, and the field is
    unchanged after a failed assignment. `==` is identity.
    """

    mode: GameMode
    """The play mode (assign a `GameMode`)."""
    @property
    def game_version(self) -> int:
        """The game version the header stores (32-bit signed)."""
    @game_version.setter
    def game_version(self, value: SupportsIndex) -> None: ...
    beatmap_hash: str | None
    """The beatmap's hash, or `None` when the file stores no text."""
    username: str | None
    """The player's name, or `None` when the file stores no text."""
    replay_hash: str | None
    """The replay's hash, or `None` when the file stores no text."""
    @property
    def count_300(self) -> int:
        """The header's count of 300s (16-bit signed, as are the other five counts)."""
    @count_300.setter
    def count_300(self, value: SupportsIndex) -> None: ...
    @property
    def count_100(self) -> int:
        """The count of 100s (16-bit signed)."""
    @count_100.setter
    def count_100(self, value: SupportsIndex) -> None: ...
    @property
    def count_50(self) -> int:
        """The count of 50s (16-bit signed)."""
    @count_50.setter
    def count_50(self, value: SupportsIndex) -> None: ...
    @property
    def count_geki(self) -> int:
        """The count of gekis (16-bit signed)."""
    @count_geki.setter
    def count_geki(self, value: SupportsIndex) -> None: ...
    @property
    def count_katu(self) -> int:
        """The count of katus (16-bit signed)."""
    @count_katu.setter
    def count_katu(self, value: SupportsIndex) -> None: ...
    @property
    def count_miss(self) -> int:
        """The count of misses (16-bit signed)."""
    @count_miss.setter
    def count_miss(self, value: SupportsIndex) -> None: ...
    @property
    def score(self) -> int:
        """The score (32-bit signed)."""
    @score.setter
    def score(self, value: SupportsIndex) -> None: ...
    @property
    def max_combo(self) -> int:
        """The highest combo (16-bit signed)."""
    @max_combo.setter
    def max_combo(self, value: SupportsIndex) -> None: ...
    perfect: bool
    """The header's perfect flag (assign `True` or `False`)."""
    mods: Mod
    """The modifiers (assign a `Mod`); reading its number stops when a damaged header set bit 31."""
    @property
    def life_bar_graph(self) -> list[LifeBarState] | None:
        """The life-bar samples, or `None` when the file has none (assign a sequence of `LifeBarState`, or `None`)."""
    @life_bar_graph.setter
    def life_bar_graph(self, value: Sequence[LifeBarState] | None) -> None: ...
    @property
    def timestamp(self) -> int:
        """When the play was made, as stored: 100 ns ticks since the year 1, unconverted (64-bit signed)."""
    @timestamp.setter
    def timestamp(self, value: SupportsIndex) -> None: ...
    replay_data: ReplayDataContainer
    """The frames: a copy, one list per mode (assign a `ReplayDataContainer` to change them)."""
    @property
    def rng_seed(self) -> int | None:
        """The play's random seed, or `None` (32-bit signed, or `None`); the frame text stores it as its last item."""
    @rng_seed.setter
    def rng_seed(self, value: SupportsIndex | None) -> None: ...
    @property
    def replay_id(self) -> int:
        """The play's online id, stored after the frame block (64-bit unsigned)."""
    @replay_id.setter
    def replay_id(self, value: SupportsIndex) -> None: ...

# --- Functions ---------------------------------------------------------------

def parse_replay_from_bytes(data: bytes, header_only: bool = False) -> Replay:
    """Decodes a replay file held in memory (`data`, a whole file's bytes, is
    read in place). With `header_only`, the frames are not decompressed:
    `replay_data` holds no list and `rng_seed` is None.

    Arguments may be given by position or keyword; `data` must be `bytes` and
    `header_only` exactly True or False, anything else is a TypeError. A file
    that does not decode raises PanicException."""

def parse_replay_from_path(path: str, header_only: bool = False) -> Replay:
    """Reads and decodes one replay file; `path` is a `str`, relative to the
    working folder. `header_only` as `parse_replay_from_bytes` takes it, and
    from a path it reads only the header, the frame block's length and the
    online id. Another type of `path` is a TypeError; a file that cannot be
    read or decoded raises PanicException."""

def parse_replays_from_paths(paths: Sequence[str], header_only: bool = False) -> list[Replay]:
    """Decodes many files on a pool of worker threads; the result is in the
    order of `paths`. The first failing path (by position) raises.

    `paths` is a sequence of `str` (a `str` itself is a ValueError, other
    types TypeError); `header_only` as `parse_replay_from_bytes` takes it."""

def parse_replay_data(data: bytes, mode: GameMode) -> ReplayDataContainer:
    """Decodes an already decompressed frame text of the given mode (UNKNOWN is
    read as STD) into the list of that mode; the seed marker is dropped.
    `data` must be `bytes` and `mode` a `GameMode` (else TypeError)."""
