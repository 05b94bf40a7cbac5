"""The command line at its edges: every way a run ends has its exit status
and at most one line on standard error, outputs never hold a torn file, text
from replays reaches a terminal escaped and a table exactly."""

import contextlib
import csv
import dataclasses
import io
import os
import subprocess
import sys
import warnings

import pytest
from kadenzo import _for_people, sources
from kadenzo.cli._common import ExitStatus
from kadenzo.cli._output import OutputFile
from replay_builder import MODE_STD, ReplayFile, realistic_replay

HOSTILE = "evil\x1b]0;title\x07\x1b[2J\x9b31m\r\x08\u202eAB"  # title set, screen clear, C1 CSI, CR, BS, RTL override


def kadenzo_cli(*args, stdout=subprocess.PIPE, timeout=120, **options):
    return subprocess.run(
        [sys.executable, "-m", "kadenzo", *map(str, args)],
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        timeout=timeout,
        **options,
    )


@pytest.fixture(scope="module")
def plays(tmp_path_factory):
    """Plays whose texts and names a terminal or a CSV reader could stumble on."""
    root = tmp_path_factory.mktemp("edges")
    base = realistic_replay(MODE_STD, 300, seed=1)
    for name, username in [
        ("hostile", HOSTILE),
        ("carriage", "ca\rriage"),
        ("script", "\u30de\u30e9"),
        ("plain", "plain"),
    ]:
        (root / f"{name}.kvr").write_bytes(dataclasses.replace(base, username=username).to_bytes())
    (root / "bad\rname\x1b[2J.kvr").write_bytes(base.to_bytes())
    (root / "UPPER.KVR").write_bytes(base.to_bytes())
    (root / "huge").mkdir()
    (root / "huge" / "wrap.kvr").write_bytes(
        ReplayFile(mode=MODE_STD, frames=[(2**62, 1.0, 1.0, 0), (2**62, 1.0, 1.0, 0)], seed=1).to_bytes()
    )
    return root


def test_csv_with_carriage_returns_reads_back_whole(plays, tmp_path):
    pandas = pytest.importorskip("pandas")
    pyarrow_csv = pytest.importorskip("pyarrow.csv")
    out = tmp_path / "plays.csv"
    assert kadenzo_cli("summary", plays, "-o", out).returncode == 0
    rows = list(csv.DictReader(out.open(newline="", encoding="utf-8")))
    assert len(rows) == 7  # before: 8 rows for 7 files, fields shifted
    assert {row["username"] for row in rows} >= {HOSTILE, "ca\rriage", "\u30de\u30e9"}  # data keeps exact values
    assert any(row["path"].endswith("bad\rname\x1b[2J.kvr") for row in rows)
    assert pandas.read_csv(out)["username"].tolist() == [row["username"] for row in rows]
    assert pyarrow_csv.read_csv(out)["path"].to_pylist() == [row["path"] for row in rows]


def test_text_for_people_shows_controls_as_escapes(plays):
    shown = kadenzo_cli("show", plays / "hostile.kvr")
    assert shown.returncode == 0
    assert "player        evil\\x1b]0;title\\x07\\x1b[2J\\x9b31m\\x0d\\x08\\u202eAB\n" in shown.stdout
    failed = kadenzo_cli("frames", plays / "bad\rname\x1b[2J.kvr.missing")
    assert failed.returncode == 1 and "bad\\x0dname\\x1b[2J.kvr.missing" in failed.stderr
    for text in (shown.stdout.replace("\n", ""), failed.stderr.rstrip("\n")):
        assert not any(_dangerous(c) for c in text)
    # Every code point a terminal acts on is escaped; everything else is kept.
    for code in range(0x3000):
        assert _dangerous(chr(code)) == (_for_people.for_people(chr(code)) != chr(code)), hex(code)


def _dangerous(character):
    import unicodedata

    return (
        unicodedata.category(character) in ("Cc", "Zl", "Zp")
        or unicodedata.bidirectional(character) in ("LRE", "RLE", "LRO", "RLO", "PDF", "LRI", "RLI", "FSI", "PDI")
        or character in "\u200e\u200f\u061c"
    )


def test_deep_and_unreadable_folders(tmp_path, monkeypatch):
    deep = levels = str(tmp_path / "deep")
    folders = [levels := os.path.join(levels, "d") for _ in range(1100)]  # made one by one: mkdir -p recurses
    for folder in [deep, *folders]:
        os.mkdir(folder)
    with open(os.path.join(folders[-1], "play.kvr"), "wb") as file:
        file.write(realistic_replay(MODE_STD, 20).to_bytes())
    try:
        result = kadenzo_cli("summary", deep)  # before: RecursionError, exit 1, nothing written
    finally:
        os.unlink(os.path.join(folders[-1], "play.kvr"))
        for folder in reversed([deep, *folders]):  # so that no recursive removal meets the tree
            os.rmdir(folder)
    assert result.returncode == 0 and len(list(csv.reader(io.StringIO(result.stdout)))) == 2
    # A folder that cannot be listed keeps its place among the files, as an error.
    for name in ("a/x.kvr", "b/y.kvr", "c/z.kvr"):
        (tmp_path / "tree" / name).parent.mkdir(parents=True)
        (tmp_path / "tree" / name).write_bytes(b"")
    scandir = os.scandir

    def refusing(path):
        if str(path).endswith("/b"):
            raise PermissionError(13, "Permission denied")
        return scandir(path)

    monkeypatch.setattr(os, "scandir", refusing)
    found = [source for source, _ in sources.expand(str(tmp_path / "tree"))]
    assert [os.path.relpath(source.path, tmp_path / "tree") for source in found] == ["a/x.kvr", "b", "c/z.kvr"]
    assert found[1].error.errno == 13 and found[0].error is None


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["frames", "{plays}/plain.kvr", "-o", "{plays}/plain.kvr"], ExitStatus.USAGE, "is the input"),
        (["frames", "{plays}", "-o", "{plays}/"], ExitStatus.USAGE, "is the input"),
        (["frames", "{plays}", "-o", "{plays}/huge/out/"], ExitStatus.USAGE, "is inside the input"),
        (["summary", "{plays}", "-o", "{plays}/plain.kvr"], ExitStatus.USAGE, "files of the input"),
        (["compare", "{plays}", "-o", "{plays}/plain.kvr"], ExitStatus.USAGE, "files of the input"),
        (["summary", "{plays}", "-o", "{plays}/huge/new.kvr"], ExitStatus.USAGE, "files of the input"),
        (["frames", "{plays}/huge", "-o", "{plays}/plain.kvr/out/"], ExitStatus.WRITE_FAILED, "Not a directory"),
        (["summary", "{plays}", "-o", "/dev/full"], ExitStatus.WRITE_FAILED, "No space left on device"),
        (["summary", "{plays}", "--glob", "[" * 60_000], ExitStatus.USAGE, "--glob takes one file-name pattern"),
        (["frames", "{plays}", "-o", "out/", "--glob", "a/b"], ExitStatus.USAGE, "--glob takes one file-name pattern"),
        (["summary", "{plays}", "--threads", 10**30], ExitStatus.OK, "7 files, 0 failed"),
        (["summary", "{plays}/plain.kvr"], ExitStatus.OK, "1 file, 0 failed"),
        (["summary", "{plays}", "--stats", "--header-only"], ExitStatus.USAGE, "which --header-only skips"),
        (["summary", "{plays}", "--threads", "x"], ExitStatus.USAGE, "invalid thread count value: 'x'"),
        (["compare", "{plays}", "--mirror-y", "abc"], ExitStatus.USAGE, "--mirror-y: invalid number value: 'abc'"),
        # Before: tracebacks and exit 1 for values the library refuses or the native part cannot hold.
        (["compare", "{plays}", "--grid-ms", "0.0001"], ExitStatus.USAGE, "--grid-ms"),
        (["compare", "{plays}", "--top", "9" * 20], ExitStatus.OK, "pairs written"),
        # A stray argument shows the command's own usage, not that of `kadenzo`.
        (["compare", "{plays}", "--parquet"], ExitStatus.USAGE, "usage: kadenzo compare [-h]"),
        (["show", "{plays}/plain.kvr", "--more"], ExitStatus.USAGE, "usage: kadenzo show [-h]"),
        (["summary", "{plays}/huge", "--glob", "*.none"], ExitStatus.NOTHING_FOUND, "no file matching '*.none'"),
        (["frames", "{plays}/huge", "--glob", "*.none", "-o", "o/"], ExitStatus.NOTHING_FOUND, "no file matching"),
        (["frames", "{plays}", "-o", "frames.csv"], ExitStatus.USAGE, "give -o OUT_DIR/ for a dataset"),
        (["frames", "{plays}/plain.kvr", "{plays}/UPPER.KVR", "-o", "two.PARQUET"], ExitStatus.USAGE, "names a file"),
        (["plot", "{plays}/plain.kvr", "--start", "5", "--end", "1"], ExitStatus.USAGE, "must be before --end"),
        (["plot", "{plays}/plain.kvr", "--start", "nan"], ExitStatus.USAGE, "must be a number of seconds"),
        (["plot", "{plays}/plain.kvr", "--dpi", "3000"], ExitStatus.USAGE, "must be at most 600"),
        (["plot", "{plays}/plain.kvr", "-o", "x.unknownext"], ExitStatus.USAGE, "cannot tell an image format"),
        (
            ["plot", "{plays}/plain.kvr", "--start", "5000", "--end", "6000"],
            ExitStatus.USAGE,
            "after the end of the play",
        ),
    ],
)
def test_exit_statuses_with_one_line_of_message(plays, tmp_path, args, status, message):
    if args[0] == "plot":
        pytest.importorskip("matplotlib")
    before = (plays / "plain.kvr").read_bytes()
    result = kadenzo_cli(*[str(arg).format(plays=plays) for arg in args], cwd=tmp_path, timeout=20)
    assert result.returncode == status, result.stderr
    assert message in result.stderr and "Traceback" not in result.stderr
    assert (plays / "plain.kvr").read_bytes() == before and not list(tmp_path.iterdir())


@pytest.mark.parametrize("command", ["summary", "compare"])
def test_an_output_a_found_link_leads_to_is_refused(plays, tmp_path, command):
    out = tmp_path / "old.csv"
    out.write_bytes(b"kept")
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "plain.kvr").symlink_to(plays / "plain.kvr")
    (folder / "link.kvr").symlink_to(out)  # found by the walk: writing the output would replace an input
    result = kadenzo_cli(command, folder, "-o", out)
    assert result.returncode == ExitStatus.USAGE and "is the input" in result.stderr, result.stderr
    assert out.read_bytes() == b"kept"


def test_time_past_64_bits_is_refused_and_the_old_output_kept(plays, tmp_path):
    pytest.importorskip("pyarrow")
    out = tmp_path / "frames.parquet"
    out.write_bytes(b"an older file")
    result = kadenzo_cli("frames", plays / "huge" / "wrap.kvr", "-o", out)  # before: -2**63 in the time column
    assert result.returncode == ExitStatus.FAILED and "passes 64 bits" in result.stderr
    assert out.read_bytes() == b"an older file" and os.listdir(tmp_path) == ["frames.parquet"]
    exact = kadenzo_cli("frames", plays / "huge" / "wrap.kvr")
    assert exact.stdout.splitlines()[-1].startswith(f"{2**63},")


def test_closed_standard_output_and_a_reader_that_goes_away(plays, tmp_path):
    for command in ("show", "summary"):  # before: exit 0 with nothing printed, and a TypeError traceback
        closed = kadenzo_cli(
            command, plays / "plain.kvr", stdout=None, stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(1)
        )
        assert (closed.returncode, closed.stderr) == (
            ExitStatus.WRITE_FAILED,
            f"kadenzo {command}: standard output is closed\n",
        )
    long_play = tmp_path / "long.kvr"  # far more than a pipe holds
    long_play.write_bytes(realistic_replay(MODE_STD, 50_000).to_bytes())
    process = subprocess.Popen(
        [sys.executable, "-m", "kadenzo", "frames", long_play], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    process.stdout.readline()
    process.stdout.close()  # as `| head -1` does
    assert process.wait(timeout=60) == ExitStatus.BROKEN_PIPE and process.stderr.read() == b""


def test_case_is_ignored_and_an_empty_folder_is_said(plays, tmp_path):
    result = kadenzo_cli("summary", plays, tmp_path)
    names = [os.path.basename(row[0]) for row in csv.reader(io.StringIO(result.stdout, newline=""))]
    assert "UPPER.KVR" in names and len(names) == 8  # before: the default pattern skipped *.KVR
    assert result.returncode == ExitStatus.OK and f"no file matching '*.kvr' in {tmp_path}\n" in result.stderr


def test_names_in_other_scripts_draw_without_missing_glyphs(plays, tmp_path):
    pytest.importorskip("matplotlib")
    import kadenzo
    from kadenzo import plot

    for name in ("script", "hostile"):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # before: "Glyph ... missing from font(s)" for each character
            plot.plot_play(kadenzo.parse_replay_from_path(str(plays / f"{name}.kvr")), tmp_path / f"{name}.png")


@pytest.mark.parametrize("ending, kept", [(None, True), (ValueError, False), (KeyboardInterrupt, True)])
def test_output_files_appear_whole_under_their_name(tmp_path, ending, kept):
    target = tmp_path / "target.csv"
    target.write_text("before")
    target.chmod(0o600)
    (tmp_path / "link.csv").symlink_to(target)
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with OutputFile(tmp_path / "link.csv", keep_when_stopped=True) as output:
            with open(output.path, "w") as file:
                file.write("after")
            assert target.read_text() == "before"  # nothing under the final name until it is whole
            if ending:
                raise ending()
    assert target.read_text() == ("after" if kept else "before") and (tmp_path / "link.csv").is_symlink()
    assert target.stat().st_mode & 0o777 == 0o600 and sorted(os.listdir(tmp_path)) == ["link.csv", "target.csv"]


@pytest.fixture
def foreign_names(tmp_path):
    """A folder of two plays, one under a name that is not UTF-8."""
    folder = tmp_path / "in"
    folder.mkdir()
    data = realistic_replay(MODE_STD, 50, seed=1).to_bytes()
    (folder / "a.kvr").write_bytes(data)
    with open(os.fsencode(folder) + b"/caf\xe9.kvr", "wb") as file:
        file.write(data)
    return folder


@pytest.mark.parametrize("command", ["summary", "compare"])
@pytest.mark.parametrize("suffix", ["csv", "parquet", "stdout"])
def test_names_that_are_not_utf8_kept_where_the_format_can(foreign_names, tmp_path, command, suffix):
    if suffix == "parquet":
        parquet = pytest.importorskip("pyarrow.parquet")
    folder = foreign_names
    out = tmp_path / f"out.{suffix}"
    result = kadenzo_cli(
        command,
        folder,
        *([] if suffix == "stdout" else ["-o", out]),
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},  # a standard output that refuses surrogates
        errors="surrogateescape",
    )
    assert result.returncode == 0, result.stderr
    if suffix == "parquet":  # Arrow strings are UTF-8: the foreign byte becomes U+FFFD
        values = [value for row in parquet.read_table(out).to_pylist() for value in row.values()]
        assert any(str(value).endswith("caf\ufffd.kvr") for value in values)
    else:
        written = os.fsencode(result.stdout) if suffix == "stdout" else out.read_bytes()
        assert b"/caf\xe9.kvr" in written


@pytest.mark.parametrize(
    "args, name, status",
    [
        (["summary", "{in}"], b"s\xe9.parquet", ExitStatus.OK),
        (["compare", "{in}"], b"c\xe9.parquet", ExitStatus.OK),
        (["frames", "{in}/a.kvr"], b"f\xe9.parquet", ExitStatus.OK),
        (["frames", "{in}", "{in}/missing.kvr"], b"d\xe9/", ExitStatus.FAILED),
    ],
)
def test_parquet_outputs_under_names_that_are_not_utf8(foreign_names, tmp_path, args, name, status):
    parquet = pytest.importorskip("pyarrow.parquet")
    out = os.fsdecode(os.fsencode(tmp_path) + b"/" + name)
    result = kadenzo_cli(*[arg.format(**{"in": foreign_names}) for arg in args], "-o", out)
    assert result.returncode == status and "Traceback" not in result.stderr, result.stderr
    files = [os.path.join(top, file) for top, _, names in os.walk(out) for file in names] if out[-1] == "/" else [out]
    assert files and not [file for file in files if file.endswith((".part", ".partial"))]
    for file in files:
        with open(file, "rb") as source:
            assert parquet.ParquetFile(source).metadata.num_rows > 0
