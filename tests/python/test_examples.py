"""The scripts in examples/, run as a user runs them (a fresh interpreter on
the sample replays), plus the press and hold logic of the plot, where a
wrong bit test would draw a believable but false figure."""

import os
import pathlib
import shutil
import subprocess
import sys
import warnings

import kadenzo
import pytest
from helpers import ROOT, SAMPLES
from replay_builder import ReplayFile

pytestmark = pytest.mark.tooling
pytest.importorskip("matplotlib")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")

EXAMPLES = ROOT / "examples"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"

sys.path.insert(0, str(EXAMPLES))
from kadenzo.plot import held_spans, key_rows, plot_play, std_presses  # noqa: E402
from replay_table import frames_of, mode_name  # noqa: E402


def run_example(script, *args, cwd=ROOT):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run(
        [sys.executable, str(EXAMPLES / script), *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def png_size(path):
    """(width, height) from the PNG header, after checking the signature."""
    data = path.read_bytes()
    assert data[:8] == PNG_MAGIC
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")


def test_there_is_a_sample_of_every_mode():
    modes = {mode_name(kadenzo.parse_replay_from_path(str(p), header_only=True).mode) for p in SAMPLES}
    assert modes == {"STD", "TAIKO", "CTB", "MANIA"}


# --- plot_play.py --------------------------------------------------------------


@pytest.mark.parametrize("sample", SAMPLES, ids=lambda p: p.stem)
def test_plot_writes_a_png_of_every_sample(sample, tmp_path):
    out = tmp_path / f"{sample.stem}-plot.png"
    result = run_example("plot_play.py", sample, "-o", out)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(out)
    width, height = png_size(out)
    assert width >= 800 and height >= 800
    assert out.stat().st_size > 20_000  # a figure with content, not an empty canvas


@pytest.mark.parametrize(
    "replay_file",
    [
        ReplayFile(username="a$^$b cash$money$"),  # matplotlib would read it as math and fail
        ReplayFile(mode=2, frames=[(16, 100.0, True)]),  # one catch frame: nothing to average
        ReplayFile(mode=3, frames=[(16, -1)], life_bar=None),  # every column held, no life bar
    ],
    ids=["math-like name", "one catch frame", "mania without life bar"],
)
def test_plot_copes_with_unusual_plays(replay_file, tmp_path):
    replay = kadenzo.parse_replay_from_bytes(replay_file.to_bytes())
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a NaN average warns before it draws "nan%"
        png_size(plot_play(replay, tmp_path / "odd.png"))


def test_plot_defaults_to_the_replay_name_in_the_current_folder(tmp_path):
    result = run_example("plot_play.py", ROOT / "samples" / "std.kvr", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "std.png"
    assert png_size(tmp_path / "std.png")


def test_plot_of_a_damaged_replay_fails_cleanly(tmp_path):
    broken = tmp_path / "broken.kvr"
    data = SAMPLES[0].read_bytes()
    broken.write_bytes(data[: len(data) // 2])
    result = run_example("plot_play.py", broken, cwd=tmp_path)
    assert result.returncode == 1
    assert "broken.kvr: cannot decode" in result.stderr
    assert not list(tmp_path.glob("*.png"))


@pytest.mark.parametrize(
    "keys, presses",
    [
        # K1 and K2 also set M1 and M2: a key press is not a mouse press too.
        ([0, 5, 5, 0, 1, 1, 10, 0], {"K1": [1], "K2": [6], "M1": [4], "M2": []}),
        # Mouse held while a key goes down and up: the mouse was pressed once.
        ([1, 5, 1, 0], {"K1": [1], "M1": [0], "M2": [], "K2": []}),
        # Key released, its mouse button still down: no new press.
        ([10, 2, 0, 2], {"K2": [0], "M2": [3]}),
        # A button held from the first frame is pressed there; smoke is its own bit.
        ([16, 16, 0, 16, 2], {"SMOKE": [0, 3], "M2": [4], "M1": [], "K1": []}),
    ],
)
def test_std_presses_per_button(keys, presses):
    down = std_presses(np.array(keys))
    for name, frames in presses.items():
        assert np.flatnonzero(down[name]).tolist() == frames, name


@pytest.mark.parametrize(
    "held, spans",
    [
        ([0, 1, 1, 0, 1, 0], [(1.0, 2.0), (4.0, 1.0)]),  # a hold ends at the first frame without it
        ([1, 0, 0, 1, 1, 1], [(0.0, 1.0), (3.0, 2.0)]),  # held until the end: up to the last frame
        ([0, 0, 0, 0, 0, 1], [(5.0, 0.0)]),
        ([0, 0, 0], []),
    ],
)
def test_held_spans(held, spans):
    times = np.arange(len(held), dtype=float)
    assert held_spans(times, np.array(held, dtype=bool)) == spans


@pytest.mark.parametrize(
    "mode, keys, rows",
    [
        ("MANIA", [0, 1, 64, 0], ["K1", "K2", "K3", "K4", "K5", "K6", "K7"]),  # up to the highest column used
        ("MANIA", [0, 0], ["K1"]),
        ("MANIA", [-1], [f"K{c}" for c in range(1, 33)]),  # bit 31 held makes the value negative
        ("TAIKO", [0, 5], ["LEFT_KAT", "LEFT_DON", "RIGHT_DON", "RIGHT_KAT"]),
    ],
)
def test_key_rows(mode, keys, rows):
    assert list(key_rows(mode, np.array(keys))) == rows


# --- replay_table.py -----------------------------------------------------------


def expected_row(path):
    replay = kadenzo.parse_replay_from_path(str(path))
    return {
        "mode": mode_name(replay.mode),
        "frame_count": len(frames_of(replay)),
        "username": replay.username,
        "score": replay.score,
    }


def table_of(folder, csv, *args):
    result = run_example("replay_table.py", folder, "--csv", csv, *args)
    assert result.returncode == 0, result.stderr
    table = pd.read_csv(csv)
    return result.stdout, table.set_index(table["path"].map(lambda p: pathlib.Path(p).name))


def assert_good_rows(table, samples):
    for sample in samples:
        row = table.loc[sample.name]
        assert {key: row[key] for key in ("mode", "frame_count", "username", "score")} == expected_row(sample)
        assert pd.isna(row["error"])


def test_table_of_the_samples(tmp_path):
    stdout, table = table_of(ROOT / "samples", tmp_path / "x.csv")
    assert sorted(table.index) == sorted(p.name for p in SAMPLES)
    assert_good_rows(table, SAMPLES)
    assert f"{len(SAMPLES)} replays, 0 failed" in stdout


@pytest.mark.parametrize("threads", ["1", "2"])
def test_damaged_replays_get_error_rows_and_spare_the_others(tmp_path, threads, panic):
    folder = tmp_path / "plays"
    folder.mkdir()
    for sample in SAMPLES:
        shutil.copy(sample, folder)
    data = SAMPLES[0].read_bytes()
    (folder / "broken.kvr").write_bytes(data[: len(data) // 2])
    assert panic(kadenzo.parse_replay_from_path, str(folder / "broken.kvr"))
    # A name from a foreign encoding decodes like any other.
    foreign = os.fsdecode(b"caf\xe9.kvr")
    (folder / foreign).write_bytes(data)
    # Bit 31 of the mods: the file decodes, but Mod will not give it as a number.
    (folder / "high-mods.kvr").write_bytes(ReplayFile(mods=1 << 31).to_bytes())

    stdout, table = table_of(folder, tmp_path / "x.csv", "--threads", threads)
    assert len(table) == len(SAMPLES) + 3
    assert table.loc["broken.kvr", "error"].startswith("file ends inside the frame block (needs ")
    assert pd.isna(table.loc["broken.kvr", "mode"]) and pd.isna(table.loc["broken.kvr", "frame_count"])
    shown = foreign.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    assert pd.isna(table.loc[shown, "error"]) and table.loc[shown, "username"] == expected_row(SAMPLES[0])["username"]
    assert pd.isna(table.loc["high-mods.kvr", "error"]) and pd.isna(table.loc["high-mods.kvr", "mods"])
    assert table.loc["high-mods.kvr", "frame_count"] == 2
    assert_good_rows(table, SAMPLES)
    assert f"{len(SAMPLES) + 3} replays, 1 failed" in stdout


def test_table_refuses_a_folder_that_is_not_there(tmp_path):
    result = run_example("replay_table.py", tmp_path / "missing")
    assert result.returncode == 2 and "not a folder" in result.stderr
