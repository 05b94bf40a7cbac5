"""Modifier codes: the table round trip, the forms players write, the paired bits."""

import kadenzo
import pytest
from kadenzo import Mod, mods


def test_every_code_round_trips_and_the_table_covers_every_member():
    for code, member in mods.CODES:
        assert mods.names(mods.from_names(code)) == code
        assert mods.from_names(code) & member == member
    covered = 0
    for _, member in mods.CODES:
        covered |= int(member)
    assert covered == 2**31 - 1


@pytest.mark.parametrize(
    "text, expected",
    [
        ("HDDT", Mod.Hidden | Mod.DoubleTime),
        ("+hddt", Mod.Hidden | Mod.DoubleTime),
        ("HD,DT", Mod.Hidden | Mod.DoubleTime),
        (" hd + dt ", Mod.Hidden | Mod.DoubleTime),
        ("Hidden, DoubleTime", Mod.Hidden | Mod.DoubleTime),
        ("NC", Mod.Nightcore | Mod.DoubleTime),
        ("PF", Mod.Perfect | Mod.SuddenDeath),
        ("4K1K", Mod.Key4 | Mod.Key1),
        ("", Mod.NoMod),
    ],
)
def test_from_names_reads_the_forms_players_write(text, expected):
    assert mods.from_names(text) == expected


def test_names_writes_paired_bits_as_one_code_and_speed_follows_the_clock():
    assert mods.names(Mod.Nightcore | Mod.DoubleTime | Mod.Hidden) == "HDNC"
    assert mods.names(Mod.Perfect | Mod.SuddenDeath) == "PF"
    assert mods.names(72) == "HDDT" and mods.names(0) == ""
    assert [mods.speed(mods.from_names(t)) for t in ("DT", "NC", "HT", "HR", "")] == [1.5, 1.5, 0.75, 1.0, 1.0]


def test_bad_names_and_values_are_refused():
    with pytest.raises(ValueError, match="'XX'"):
        mods.from_names("HDXX")
    with pytest.raises(ValueError, match="'HDD'"):
        mods.from_names("HDD")
    with pytest.raises(ValueError, match="2147483648"):
        mods.names(2**31)
    with pytest.raises(TypeError):
        mods.names("HD")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        mods.from_names(72)  # type: ignore[arg-type]
    assert kadenzo.mods is mods
