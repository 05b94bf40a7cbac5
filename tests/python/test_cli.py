"""The `kadenzo` command line, run as a user runs it: output, exit status,
failed files, and Ctrl-C part-way through a folder."""

import csv
import io
import os
import pathlib
import shlex
import signal
import subprocess
import sys
import time
import tomllib

import kadenzo
import pytest
from helpers import DOC_PAGES
from kadenzo import columns as kc
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, realistic_replay

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUMMARY_COLUMNS = [
    "path",
    "mode",
    "game_version",
    "beatmap_hash",
    "username",
    "replay_hash",
    "count_300",
    "count_100",
    "count_50",
    "count_geki",
    "count_katu",
    "count_miss",
    "score",
    "max_combo",
    "perfect",
    "mods",
    "mods_names",
    "timestamp",
    "played_at",
    "replay_id",
    "frame_count",
    "rng_seed",
    "error",
]


def kadenzo_cli(*args, cwd=None, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "kadenzo", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=timeout
    )


def rows_of(text):
    return list(csv.DictReader(io.StringIO(text)))


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Four good plays (one in a subfolder), one damaged file, one file the glob skips."""
    root = tmp_path_factory.mktemp("plays")
    (root / "deeper").mkdir()
    for name, mode in [
        ("a_std", MODE_STD),
        ("b_taiko", MODE_TAIKO),
        ("deeper/c_catch", MODE_CTB),
        ("d_mania", MODE_MANIA),
    ]:
        (root / f"{name}.kvr").write_bytes(realistic_replay(mode, 500, seed=mode).to_bytes())
    (root / "b_truncated.kvr").write_bytes((root / "a_std.kvr").read_bytes()[:300])
    (root / "notes.txt").write_text("not a replay")
    return root


def test_summary_of_a_folder_with_a_damaged_file(folder):
    result = kadenzo_cli("summary", folder)
    assert result.returncode == 1
    rows = rows_of(result.stdout)
    assert list(rows[0]) == SUMMARY_COLUMNS
    names = [pathlib.Path(row["path"]).name for row in rows]
    assert names == ["a_std.kvr", "b_taiko.kvr", "b_truncated.kvr", "d_mania.kvr", "c_catch.kvr"]
    failed = [row for row in rows if row["error"]]
    assert [pathlib.Path(row["path"]).name for row in failed] == ["b_truncated.kvr"]
    assert failed[0]["mode"] == "" and failed[0]["frame_count"] == ""
    for row in rows:
        if not row["error"]:
            replay = kadenzo.parse_replay_from_path(row["path"])
            assert row["mode"] == repr(replay.mode).split(".")[1]
            assert int(row["frame_count"]) == len(kc.frames(replay))
            assert (int(row["score"]), int(row["rng_seed"]), int(row["replay_id"])) == (
                replay.score,
                replay.rng_seed,
                replay.replay_id,
            )
    assert result.stderr == "5 files, 1 failed\n"  # no bar and no line per failure when not a terminal


@pytest.mark.parametrize(
    "args, names, status",
    [
        (["--glob", "*_std.kvr"], ["a_std.kvr"], 0),
        (["--header-only", "--threads", "1"], None, 1),
    ],
)
def test_summary_options(folder, args, names, status, tmp_path):
    out = tmp_path / "summary.csv"
    result = kadenzo_cli("summary", folder, "-o", out, *args)
    assert result.returncode == status, result.stderr
    assert result.stdout == ""
    rows = rows_of(out.read_text())
    if names:
        assert [pathlib.Path(row["path"]).name for row in rows] == names
    if "--header-only" in args:
        assert {row["frame_count"] for row in rows} == {""} and rows[0]["username"]


def test_summary_as_parquet(folder, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "summary.parquet"
    result = kadenzo_cli("summary", folder, "-o", out)
    assert result.returncode == 1
    table = pq.read_table(out)
    assert table.column_names == SUMMARY_COLUMNS and table.num_rows == 5
    assert table["replay_id"].type == "uint64" and table["error"].null_count == 4


def test_frames_show_and_plot_of_one_file(folder, tmp_path):
    path = folder / "deeper" / "c_catch.kvr"
    columns = kc.frames(path)
    result = kadenzo_cli("frames", path)
    assert result.returncode == 0, result.stderr
    rows = rows_of(result.stdout)
    assert list(rows[0]) == ["time", *columns.names] and len(rows) == len(columns)
    assert [float(row["x"]) for row in rows] == columns.x.tolist()
    assert int(rows[-1]["time"]) == sum(columns.time_delta)

    shown = kadenzo_cli("show", path)
    assert shown.returncode == 0 and f"{len(columns):,}" in shown.stdout and "CTB" in shown.stdout
    assert len(shown.stdout.splitlines()) < 20

    pytest.importorskip("matplotlib")
    image = tmp_path / "window.png"
    plotted = kadenzo_cli("plot", path, "-o", image, "--start", "1", "--end", "3")
    assert plotted.returncode == 0, plotted.stderr
    assert image.read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize("command", ["show", "frames", "plot"])
def test_single_file_commands_fail_cleanly_on_a_damaged_file(folder, command, tmp_path):
    result = kadenzo_cli(command, folder / "b_truncated.kvr", cwd=tmp_path)
    assert result.returncode == 1
    assert "b_truncated.kvr" in result.stderr and "Traceback" not in result.stderr
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize("command", [[], ["summary"], ["frames"], ["show"], ["plot"], ["compare"], ["anonymise"]])
def test_help_of_every_command(command, monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    result = kadenzo_cli(*command, "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: kadenzo")
    # One list of exit statuses for all, and descriptions wrapped to the terminal.
    assert "exit status:\n  0    done\n" in result.stdout and "  141  the reader" in result.stdout
    assert max(len(line) for line in result.stdout.splitlines()) <= 80
    if command[:1] in (["summary"], ["frames"], ["compare"]):
        assert "case ignored" in " ".join(result.stdout.split())
        assert "(default: the worker pool's size)" in " ".join(result.stdout.split())


def test_console_script_names_the_entry_point():
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    module, _, function = scripts["kadenzo"].partition(":")
    assert callable(getattr(__import__(module, fromlist=[function]), function))


@pytest.mark.parametrize("stop, suffix, status", [(signal.SIGINT, "csv", 130), (signal.SIGTERM, "parquet", 143)])
def test_stop_signals_end_promptly_leaving_a_whole_readable_file(tmp_path, stop, suffix, status):
    if suffix == "parquet":
        pq = pytest.importorskip("pyarrow.parquet")
    data = realistic_replay(MODE_STD, 8_000, seed=3).to_bytes()
    for index in range(1_500):
        (tmp_path / f"{index:05}.kvr").write_bytes(data)
    out = tmp_path / f"summary.{suffix}"
    process = subprocess.Popen(
        [sys.executable, "-m", "kadenzo", "summary", tmp_path, "-o", out, "--threads", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 60
    # Written beside its final name until it is closed; Parquet rows show only then.
    while (
        not any(
            suffix == "parquet" or part.read_text().count("\n") >= 3
            for part in tmp_path.glob(f".summary.{suffix}.*.part")
        )
        and time.monotonic() < deadline
    ):
        time.sleep(0.02)
    time.sleep(1 if suffix == "parquet" else 0)
    process.send_signal(stop)
    sent = time.monotonic()
    _, stderr = process.communicate(timeout=30)
    # Seconds, not minutes: closing the output and the interpreter's exit take
    # about one on a quiet machine, several on a loaded one (another test
    # process, other builds).
    assert time.monotonic() - sent < 10
    assert process.returncode == status, stderr  # before: SIGTERM left a 4-byte unreadable Parquet file
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert not list(tmp_path.glob(".summary*"))
    if suffix == "parquet":
        rows = pq.read_table(out).to_pylist()
        assert len(rows) < 1_500 and all(row["error"] is None for row in rows)
        return
    text = out.read_text()
    rows = list(csv.reader(io.StringIO(text)))
    assert text.endswith("\n") and 3 <= len(rows) < 1_501
    assert all(len(row) == len(SUMMARY_COLUMNS) for row in rows)


def test_documented_commands_are_accepted():
    from kadenzo.cli import build_parser

    text = "".join(page.read_text() for page in DOC_PAGES)
    blocks = [block for block in text.split("```console\n")[1:]]
    commands = [shlex.split(line, comments=True) for block in blocks for line in block.split("```")[0].splitlines()]
    assert all(words[0] == "kadenzo" for words in commands if words)
    commands = [words[1 : words.index(">")] if ">" in words else words[1:] for words in commands if words]
    assert len(commands) >= 4
    for words in commands:
        build_parser().parse_args(words)  # exits (fails the test) on an unknown command or option


def test_progress_bar_only_on_a_terminal(folder):
    pytest.importorskip("tqdm")
    import fcntl
    import pty
    import struct
    import termios

    master, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
    process = subprocess.Popen(
        [sys.executable, "-m", "kadenzo", "summary", folder], stdout=subprocess.DEVNULL, stderr=terminal
    )
    os.close(terminal)
    shown = b""
    while chunk := _read(master):
        shown += chunk
    os.close(master)
    assert process.wait(timeout=60) == 1
    assert "5/5" in shown.decode() and "5 files, 1 failed" in shown.decode()


def _read(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the other end closed
        return b""


def test_frames_of_a_folder_as_a_parquet_dataset(folder, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "dataset"
    result = kadenzo_cli("frames", folder, "-o", f"{out}/")
    assert result.returncode == 1, result.stderr  # the truncated file
    assert result.stderr.startswith("5 files, 1 failed; ")
    headers = pq.read_table(out / "headers")
    assert headers.num_rows == 5 and set(headers["mode"].to_pylist()) == {"STD", "TAIKO", "CTB", "MANIA", None}
    frames = pq.read_table(out / "frames")
    assert frames.num_rows == 4 * 500 + 1  # the failed file keeps one row, for its error
    again = kadenzo_cli("frames", folder, "-o", f"{out}/")
    assert again.returncode == 2 and "exists already" in again.stderr
