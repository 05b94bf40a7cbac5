"""Modifiers by the names players write: "HDDT" for Hidden and DoubleTime.

    import kadenzo.mods
    kadenzo.mods.from_names("HDDT")      # <Mod.DoubleTime|Hidden: 72>
    kadenzo.mods.names(replay.mods)      # "HDDT"
    kadenzo.mods.speed(replay.mods)      # 1.5

Each modifier has a two-letter code (the table `CODES`, in bit order, which is
also the order `names` writes them in). The game stores Nightcore with
DoubleTime and Perfect with SuddenDeath; `names` writes such a pair as the one
code players use ("NC", "PF"), and `from_names` sets both bits, so the two
functions undo each other for every value the game writes.
"""

from __future__ import annotations

import re
from typing import Final

from kadenzo import Mod, _native

__all__ = ["CODES", "bits", "from_names", "member_names", "names", "speed"]

# (code, member of Mod), in bit order.
CODES: Final[tuple[tuple[str, Mod], ...]] = (
    ("NF", Mod.NoFail),
    ("EZ", Mod.Easy),
    ("TD", Mod.TouchDevice),
    ("HD", Mod.Hidden),
    ("HR", Mod.HardRock),
    ("SD", Mod.SuddenDeath),
    ("DT", Mod.DoubleTime),
    ("RX", Mod.Relax),
    ("HT", Mod.HalfTime),
    ("NC", Mod.Nightcore),
    ("FL", Mod.Flashlight),
    ("AT", Mod.Autoplay),
    ("SO", Mod.SpunOut),
    ("AP", Mod.Autopilot),
    ("PF", Mod.Perfect),
    ("4K", Mod.Key4),
    ("5K", Mod.Key5),
    ("6K", Mod.Key6),
    ("7K", Mod.Key7),
    ("8K", Mod.Key8),
    ("FI", Mod.FadeIn),
    ("RD", Mod.Random),
    ("CN", Mod.Cinema),
    ("TP", Mod.Target),
    ("9K", Mod.Key9),
    ("CO", Mod.KeyCoop),
    ("1K", Mod.Key1),
    ("3K", Mod.Key3),
    ("2K", Mod.Key2),
    ("V2", Mod.ScoreV2),
    ("MR", Mod.Mirror),
)
"""The two-letter code of each modifier, as `(code, Mod member)` pairs in bit
order: the order `names` writes them in."""

_BY_CODE: Final = {code: int(mod) for code, mod in CODES}
_BY_MEMBER_NAME: Final = {name.upper(): int(getattr(Mod, name)) for name in dir(Mod) if name[:1].isupper()}
# A modifier that the game always stores together with another one.
_IMPLIES: Final = {int(Mod.Nightcore): int(Mod.DoubleTime), int(Mod.Perfect): int(Mod.SuddenDeath)}
_HIGHEST: Final = 2**32 - 1
_SEPARATORS: Final = re.compile(r"[\s,+|]+")


def _bits(mods: Mod | int) -> int:
    if isinstance(mods, Mod):
        # All 32 bits: a header may set bit 31, which int(Mod) refuses.
        return _native.mod_bits(mods)
    if isinstance(mods, bool) or not isinstance(mods, int):
        raise TypeError(f"mods must be a Mod or an int, not {type(mods).__name__}")
    if not 0 <= mods <= _HIGHEST:
        raise ValueError(f"{mods} is not a set of modifiers (0 to 2**32 - 1)")
    return int(mods)


def bits(mods: Mod | int) -> int:
    """All 32 bits of `mods` as a number, bit 31 too (which no modifier
    owns, and which int(Mod) refuses though a header may set it)."""
    return _bits(mods)


def member_names(mods: Mod | int) -> str:
    """The names of the members of `mods`, joined by "|" as Mod's repr
    shows them ("DoubleTime|Hidden"); bit 31, which no member names, reads
    "bit 31"."""
    value = _bits(mods)
    known = value & (2**31 - 1)
    found = []
    if known or not value:
        found.append(repr(Mod(known)).removeprefix("<Mod.").rsplit(":", 1)[0])
    if value != known:
        found.append("bit 31")
    return "|".join(found)


def names(mods: Mod | int) -> str:
    """The codes of `mods` in bit order, e.g. "HDDT"; "" for no modifier.
    Bits no modifier owns (bit 31) have no code and are left out. Nightcore is written "NC" (not "DTNC"), Perfect "PF" (not "SDPF")."""
    value = _bits(mods)
    for mod, implied in _IMPLIES.items():
        if value & mod:
            value &= ~implied
    return "".join(code for code, mod in CODES if value & int(mod))


def from_names(text: str) -> Mod:
    """The modifiers named by `text`: codes run together ("HDDT", "+HDDT"),
    separated by commas, plus signs or spaces ("HD,DT"), or whole member
    names ("Hidden, DoubleTime"); case is ignored. "NC" and "PF" also set
    DoubleTime and SuddenDeath, as the game stores them. An empty text is
    NoMod. A name not in the table raises ValueError naming it."""
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    value = 0
    for word in _SEPARATORS.split(text.strip().upper()):
        if not word:
            continue
        if word in _BY_MEMBER_NAME:
            value |= _BY_MEMBER_NAME[word]
            continue
        if len(word) % 2:
            raise ValueError(f"unknown modifier name {word!r} in {text!r}")
        for start in range(0, len(word), 2):
            code = word[start : start + 2]
            if code not in _BY_CODE:
                raise ValueError(f"unknown modifier name {code!r} in {text!r}")
            value |= _BY_CODE[code]
    for mod, implied in _IMPLIES.items():
        if value & mod:
            value |= implied
    return Mod(value)


def speed(mods: Mod | int) -> float:
    """The play's clock rate: 1.5 with DoubleTime or Nightcore, 0.75 with
    HalfTime, otherwise 1.0 (DoubleTime wins over HalfTime in a set that,
    unlike the game's, holds both)."""
    value = _bits(mods)
    if value & (int(Mod.DoubleTime) | int(Mod.Nightcore)):
        return 1.5
    if value & int(Mod.HalfTime):
        return 0.75
    return 1.0
