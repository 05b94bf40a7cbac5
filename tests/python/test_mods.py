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
    with pytest.raises(ValueError, match="4294967296"):
        mods.names(2**32)
    with pytest.raises(TypeError):
        mods.names("HD")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        mods.from_names(72)  # type: ignore[arg-type]
    assert kadenzo.mods is mods


def test_bit_31_counts_in_the_number_and_the_known_bits_keep_their_names(tmp_path):
    """A header may set bit 31, which int(Mod) refuses: the package's own
    readers give all 32 bits, the names of the modifiers among them, and no
    panic printout."""
    import csv
    import io
    import subprocess
    import sys

    from kadenzo import _native
    from replay_builder import ReplayFile

    high = _native.mod_from_bits(2**31 | 72)
    assert (mods.names(high), mods.names(2**31 | 72), mods.speed(high)) == ("HDDT", "HDDT", 1.5)
    path = tmp_path / "bit31.kvr"
    path.write_bytes(ReplayFile(mods=2**31 | 8).to_bytes())

    def kadenzo_cli(*args):
        return subprocess.run([sys.executable, "-m", "kadenzo", *args], capture_output=True, text=True, timeout=60)

    summary, show = kadenzo_cli("summary", str(path)), kadenzo_cli("show", str(path))
    row = next(csv.DictReader(io.StringIO(summary.stdout)))
    assert (row["mods"], row["mods_names"], summary.stderr) == ("2147483656", "HD", "1 file, 0 failed\n")
    assert "  mods          Hidden, bit 31 (2147483656)\n" in show.stdout and show.stderr == ""
    pytest.importorskip("pyarrow")
    import kadenzo.dataset

    table = kadenzo.dataset.read(str(path), columns=["mods", "mods_names"]).read_all()
    assert table.to_pylist() == [{"mods": 2**31 | 8, "mods_names": "HD"}]
