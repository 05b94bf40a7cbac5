"""The one rule of sources (kadenzo.sources) behind every entry point: one
mixed list gives the same rows through kadenzo.bulk, kadenzo.dataset and
every command, and the hostile inputs that fell between two front doors
(damaged, encrypted and expanding archive members, pipes and devices, file
objects that lie about what they read) are rows or errors of their own."""

import csv
import io
import os
import subprocess
import sys
import tarfile
import tracemalloc
import zipfile

import kadenzo.bulk
import kadenzo.dataset
import pytest
from kadenzo.errors import ReplayFileError
from replay_builder import realistic_replay

PLAYS = {mode: realistic_replay(mode, 300, seed=mode).to_bytes() for mode in range(4)}


def kadenzo_cli(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "kadenzo", *map(str, args)], capture_output=True, text=True, cwd=cwd, timeout=120
    )


def zip_of(path, members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as zipped:
        for name, data in members.items():
            zipped.writestr(name, data)
    return path


def damaged(path, member, how):
    """The zip at `path` with one member's data scrambled, or marked encrypted."""
    data = bytearray(path.read_bytes())
    with zipfile.ZipFile(path) as zipped:
        info = zipped.getinfo(member)
    if how == "encrypted":  # the flag in the local header and in the directory's entry
        data[info.header_offset + 6] |= 1
        entry = data.index(b"PK\x01\x02")
        while data[entry + 46 : entry + 46 + len(member)] != member.encode():
            entry = data.index(b"PK\x01\x02", entry + 4)
        data[entry + 8] |= 1
    else:
        start = info.header_offset + 30 + len(member) + 16
        data[start : start + 48] = bytes(byte ^ 0x5A for byte in data[start : start + 48])
    path.write_bytes(bytes(data))
    return path


@pytest.fixture(scope="module")
def mixed(tmp_path_factory):
    """A folder with a subfolder, a pattern, a zip with a damaged member, a
    tar.gz, one member named alone, a file object and bytes."""
    root = tmp_path_factory.mktemp("mixed")
    (root / "folder" / "deeper").mkdir(parents=True)
    (root / "folder" / "a.kvr").write_bytes(PLAYS[0])
    (root / "folder" / "deeper" / "b.kvr").write_bytes(PLAYS[2])
    (root / "loose").mkdir()
    (root / "loose" / "c.kvr").write_bytes(PLAYS[0])
    (root / "loose" / "d.KVR").write_bytes(PLAYS[1])
    (root / "loose" / "notes.txt").write_text("not a replay")
    zip_of(root / "plays.zip", {"m1.kvr": PLAYS[0], "m2.kvr": PLAYS[3], "m3.kvr": PLAYS[3]})
    damaged(root / "plays.zip", "m2.kvr", "scrambled")
    with tarfile.open(root / "plays.tar.gz", "w:gz") as tarred:
        for name, data in (("t1.kvr", PLAYS[0]), ("week/t2.kvr", PLAYS[1])):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tarred.addfile(info, io.BytesIO(data))
    (root / "single.kvr").write_bytes(PLAYS[2])
    paths = [root / "folder", root / "loose" / "*.kvr", root / "plays.zip", root / "plays.tar.gz"]
    paths.append(f"{root / 'plays.tar.gz'}::week/t2.kvr")
    return root, [str(path) for path in paths]


def rows_of_library(root, paths):
    """(path, score, error) of each file, by kadenzo.bulk; and the same by kadenzo.dataset."""
    with open(root / "single.kvr", "rb") as file:
        results = list(kadenzo.bulk.decode([*paths, file, PLAYS[1]]))
    by_bulk = [
        (r.path, r.replay.score if r.ok else None, None if r.ok else r.error.message.split(":")[0]) for r in results
    ]
    with open(root / "single.kvr", "rb") as file:
        table = kadenzo.dataset.read([*paths, file, PLAYS[1]], columns=["path", "score", "error"]).read_all()
    by_dataset = [(row["path"], row["score"], row["error"] and row["error"].split(":")[0]) for row in table.to_pylist()]
    return by_bulk, by_dataset


def test_one_mixed_list_gives_the_same_rows_everywhere(mixed, tmp_path):
    pytest.importorskip("pyarrow")
    root, paths = mixed
    by_bulk, by_dataset = rows_of_library(root, paths)
    assert by_bulk == by_dataset
    names = [os.path.relpath(path, root) if path else path for path, _, _ in by_bulk]
    assert names == [
        "folder/a.kvr",
        "folder/deeper/b.kvr",
        "loose/c.kvr",
        "loose/d.KVR",
        "plays.zip::m1.kvr",
        "plays.zip::m2.kvr",  # damaged: its own row, and the members after it go on
        "plays.zip::m3.kvr",
        "plays.tar.gz::t1.kvr",
        "plays.tar.gz::week/t2.kvr",
        "plays.tar.gz::week/t2.kvr",
        "single.kvr",
        None,
    ]
    assert [error is not None for _, _, error in by_bulk] == [name == "plays.zip::m2.kvr" for name in names]
    on_paths = by_bulk[:-2]  # what a command line can name
    failed = {path for path, _, error in on_paths if error}

    summary = kadenzo_cli("summary", *paths)
    assert summary.returncode == 1, summary.stderr
    rows = list(csv.DictReader(io.StringIO(summary.stdout)))
    assert [
        (row["path"], int(row["score"]) if row["score"] else None, row["error"].split(":")[0] or None) for row in rows
    ] == on_paths

    shown = kadenzo_cli("show", *paths)
    assert shown.returncode == 1 and [path for path in failed if path in shown.stderr] == list(failed)
    assert [line for line in shown.stdout.splitlines() if line and not line[0].isspace()] == [
        path for path, _, error in on_paths if not error
    ]

    compared = kadenzo_cli("compare", *paths)
    assert compared.returncode == 1
    pairs = list(csv.DictReader(io.StringIO(compared.stdout)))
    cursor = [
        path for path, _, error in on_paths if not error and path.endswith(("a.kvr", "c.kvr", "m1.kvr", "t1.kvr"))
    ]
    assert sorted({row["a"] for row in pairs} | {row["b"] for row in pairs}) == sorted(cursor)

    written = kadenzo_cli("frames", *paths, "-o", f"{tmp_path / 'dataset'}/")
    assert written.returncode == 1, written.stderr
    import pyarrow.parquet as pq

    headers = pq.read_table(tmp_path / "dataset" / "headers").to_pylist()
    assert sorted(row["path"] for row in headers) == sorted(path for path, _, _ in on_paths)

    anonymised = kadenzo_cli("anonymise", *paths[:4], "-o", tmp_path / "public", "--key", "k")
    assert anonymised.returncode == 1 and "m2.kvr" in anonymised.stderr
    public = tmp_path / "public"
    assert sorted(str(p.relative_to(public)) for p in public.rglob("*") if p.is_file()) == [
        "a.kvr",
        "c.kvr",
        "d.KVR",
        "deeper/b.kvr",
        "m1.kvr",
        "m3.kvr",
        "t1.kvr",
        "week/t2.kvr",
    ]


def test_the_library_never_imports_the_command_line():
    script = (
        "import sys, kadenzo.bulk, kadenzo.dataset, kadenzo.dask, kadenzo.compare\n"
        "try:\n    kadenzo.dataset.read('.', glob='a/b')\n"
        "except ValueError as error:\n    print(type(error).__module__, 'glob' in str(error))\n"
        "print(sorted(name for name in sys.modules if name.startswith('kadenzo.cli')))\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.splitlines() == ["builtins True", "[]"], result.stderr


@pytest.mark.parametrize(
    "method, how",
    [
        (zipfile.ZIP_LZMA, "scrambled"),  # before: LZMAError out of the handlers, every later member lost
        (zipfile.ZIP_BZIP2, "scrambled"),
        (zipfile.ZIP_DEFLATED, "encrypted"),  # before: the archive ended there, silently
    ],
)
def test_a_member_that_cannot_be_read_is_a_row_and_the_others_go_on(tmp_path, method, how):
    archive = zip_of(tmp_path / "a.zip", {f"p{mode}.kvr": PLAYS[mode] for mode in range(4)}, method)
    results = list(kadenzo.bulk.decode_archive(damaged(archive, "p1.kvr", how)))
    assert [r.ok for r in results] == [True, False, True, True]
    assert isinstance(results[1].error, ReplayFileError) and results[1].error.path.endswith("a.zip::p1.kvr")


def test_pipes_and_devices_are_refused_at_once_as_archives(tmp_path):
    # Before: /dev/zero grew to gigabytes; a pipe blocked forever.
    os.mkfifo(tmp_path / "pipe.zip")
    script = (
        "import sys, kadenzo.bulk\n"
        "for path in sys.argv[1:]:\n"
        "    print([(r.ok, r.error.errno) for r in kadenzo.bulk.decode_archive(path)])\n"
        "print([r.ok for r in kadenzo.bulk.decode(sys.argv[1:])])\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script, "/dev/zero", str(tmp_path / "pipe.zip")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout.splitlines() == ["[(False, 22)]", "[(False, 22)]", "[False, False]"], result.stderr


@pytest.mark.parametrize("count", [-1, 1 << 40])
def test_a_file_object_that_reads_what_it_cannot_have_is_an_error(count):
    class Lying(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            return count  # before: -1 looped forever

    with pytest.raises(ReplayFileError) as info:
        kadenzo.bulk.decode_one(Lying())
    assert info.value.errno == 5


@pytest.mark.parametrize("lie", [False, True])
def test_a_member_is_bounded_as_files_are(tmp_path, monkeypatch, lie):
    # A zip bomb: before, a 4 MB zip of four 1 GiB members peaked at 3 GB.
    import kadenzo._archives

    monkeypatch.setattr(kadenzo._archives, "MAX_FILE_BYTES", 1 << 20)
    archive = zip_of(tmp_path / "bomb.zip", {"bomb.kvr": bytes(64 << 20), "play.kvr": PLAYS[0]})
    if lie:  # a directory entry that declares a small size for the 64 MiB member
        data = bytearray(archive.read_bytes())
        entry = data.index(b"PK\x01\x02")
        data[entry + 24 : entry + 28] = (1000).to_bytes(4, "little")
        archive.write_bytes(bytes(data))
    tracemalloc.start()
    try:
        results = list(kadenzo.bulk.decode_archive(archive, header_only=True))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert [r.ok for r in results] == [False, True]
    assert results[0].error.errno == (5 if lie else 27) and peak < 4 << 20


@pytest.mark.parametrize("kind", ["zip", "tar.gz"])
def test_memory_does_not_grow_with_an_archives_members(tmp_path, kind):
    # Before: zipfile's list of every entry, tarfile's of every header (156 MB at 200,000 members).
    def peak_over(count):
        path = tmp_path / f"{count}.{kind}"
        if kind == "zip":
            zip_of(path, {f"m/{index:06}.kvr": b"x" for index in range(count)}, zipfile.ZIP_STORED)
        else:
            with tarfile.open(path, "w:gz") as tarred:
                for index in range(count):
                    info = tarfile.TarInfo(f"m/{index:06}.kvr")
                    info.size = 1
                    tarred.addfile(info, io.BytesIO(b"x"))
        tracemalloc.start()
        try:
            assert sum(1 for _ in kadenzo.bulk.decode_archive(path, header_only=True)) == count
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    assert peak_over(12_000) - peak_over(2_000) < 1 << 20
