"""Frames from anywhere: a frame block alone (raw and base64), binary file
objects, and the members of zip and tar archives, each decoding to what the
same replay file gives."""

import base64
import struct

import kadenzo
import kadenzo.bulk
import kadenzo.frames
import pytest
from helpers import SAMPLES
from kadenzo import columns as kc
from kadenzo.errors import ReplayDecodeError
from replay_builder import ReplayFile, realistic_replay

SLOTS = ("kivo_replay_data", "taiko_replay_data", "catch_replay_data", "mania_replay_data")


def block_of(data: bytes) -> bytes:
    """The frame block of a whole file: the one spot whose length field reaches the 8-byte id at the end."""
    for start in range(len(data) - 12, 0, -1):
        (length,) = struct.unpack_from("<i", data, start)
        if length == len(data) - start - 12:
            return data[start + 4 : start + 4 + length]
    raise AssertionError("no block")


CORPUS = [path.read_bytes() for path in SAMPLES] + [realistic_replay(m, 1_500, seed=m).to_bytes() for m in range(4)]


@pytest.mark.parametrize("data", CORPUS)
@pytest.mark.parametrize("form", ["raw", "str", "base64 bytes"])
def test_a_block_decodes_to_its_files_frames(data, form):
    replay = kadenzo.parse_replay_from_bytes(data)
    block = block_of(data)
    source = {"raw": block, "str": base64.b64encode(block).decode(), "base64 bytes": base64.encodebytes(block)}[form]
    decoded = kadenzo.frames.decode_block(source, replay.mode, base64=form == "base64 bytes")
    slot = SLOTS[replay.mode.value]
    assert decoded.rng_seed == replay.rng_seed
    assert getattr(decoded.replay_data, slot) == getattr(replay.replay_data, slot)
    columns = kadenzo.frames.decode_block(
        source, int(replay.mode.value), frames="columns", base64=form == "base64 bytes"
    )
    assert repr(columns) == repr(kc.frames(replay))
    assert columns.time.tolist() == kc.frames(replay).time.tolist()


@pytest.mark.parametrize(
    "text, message",
    [
        ("QUJD!EFG", "the base64 text is not valid at offset 4: not a base64 digit"),
        ("QUJDé", "the base64 text is not valid at offset 4: not a base64 digit"),
        ("QUJDR", "the base64 text is not valid at offset 5: the text ends inside a group"),
        ("QQ==QQ", "the base64 text is not valid at offset 4: a digit after the padding"),
        ("QQ====", "the base64 text is not valid at offset 4: more padding than the group needs"),
        (
            "QUFB\udce9QUFB",
            "the base64 text is not valid at offset 4: not a base64 digit",
        ),  # before: UnicodeEncodeError
    ],
)
def test_text_that_is_not_base64_names_the_offset(text, message):
    with pytest.raises(ReplayDecodeError) as info:
        kadenzo.frames.decode_block(text, 0)
    assert info.value.message == message


def test_a_bad_block_fails_with_the_files_texts_for_its_part():
    bad = ReplayFile(text=b"16|1|2|0,17|x|2|0,")
    with pytest.raises(ReplayDecodeError) as alone:
        kadenzo.frames.decode_block(bad.block_bytes(), 0)
    with pytest.raises(ReplayDecodeError) as whole:
        kadenzo.bulk.decode_one(bad.to_bytes())
    assert (alone.value.message, alone.value.detail) == (whole.value.message, whole.value.detail)
    with pytest.raises(ReplayDecodeError, match="frame block at offset 0 is not valid compressed data"):
        kadenzo.frames.decode_block(b"\x5d" + b"\xff" * 40, 0)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: kadenzo.frames.decode_block(b"", kadenzo.GameMode.UNKNOWN), ValueError),
        (lambda: kadenzo.frames.decode_block(b"", 4), ValueError),
        (lambda: kadenzo.frames.decode_block(b"", "STD"), TypeError),
        (lambda: kadenzo.frames.decode_block(12, 0), TypeError),
        (lambda: kadenzo.frames.decode_block(b"", 0, frames="rows"), ValueError),
    ],
)
def test_arguments_are_checked(call, error):
    with pytest.raises(error):
        call()


# --- file objects ----------------------------------------------------------------


class ReadOnly:
    """A file object with `read` alone, counting what it hands out."""

    def __init__(self, data: bytes):
        self.data, self.given = data, 0

    def read(self, size=-1):
        chunk = self.data[self.given : self.given + size]
        self.given += len(chunk)
        return chunk


@pytest.fixture
def archives(tmp_path):
    """The samples and a realistic play in a folder, and in an archive of each kind."""
    import io
    import tarfile
    import zipfile

    import zstandard

    files = {path.name: path.read_bytes() for path in SAMPLES}
    files["deep/play.kvr"] = realistic_replay(0, 800, seed=5).to_bytes()
    files["notes.txt"] = b"not a replay"
    made = {}
    with zipfile.ZipFile(tmp_path / "a.zip", "w", zipfile.ZIP_DEFLATED) as zipped:
        for name, data in files.items():
            zipped.writestr(name, data)
    made["zip"] = tmp_path / "a.zip"
    for kind, mode in (("tar", "w"), ("tar.gz", "w:gz"), ("tar.xz", "w:xz")):
        with tarfile.open(tmp_path / f"a.{kind}", mode) as tarred:
            for name, data in files.items():
                info = tarfile.TarInfo(name)
                info.size = len(data)
                tarred.addfile(info, io.BytesIO(data))
        made[kind] = tmp_path / f"a.{kind}"
    made["tar.zst"] = tmp_path / "a.tar.zst"
    made["tar.zst"].write_bytes(zstandard.ZstdCompressor().compress(made["tar"].read_bytes()))
    return files, made


def test_file_objects_decode_as_their_bytes(archives, tmp_path):
    import tarfile
    import zipfile

    files, made = archives
    expected = repr(kadenzo.parse_replay_from_bytes(files["std.kvr"]))
    (tmp_path / "std.kvr").write_bytes(files["std.kvr"])
    with open(tmp_path / "std.kvr", "rb") as file:
        assert repr(kadenzo.bulk.decode_one(file)) == expected
    with zipfile.ZipFile(made["zip"]) as zipped, zipped.open("std.kvr") as member:
        assert repr(kadenzo.bulk.decode_one(member)) == expected
    with tarfile.open(made["tar.gz"]) as tarred, tarred.extractfile("std.kvr") as member:
        assert kc.frames(member).x.tolist() == kc.frames(files["std.kvr"]).x.tolist()
    assert repr(kadenzo.bulk.decode_one(ReadOnly(files["std.kvr"]))) == expected
    with open(tmp_path / "std.kvr") as text, pytest.raises(TypeError, match="binary mode"):
        kadenzo.bulk.decode_one(text)


def test_a_file_object_is_read_no_further_than_the_cap(monkeypatch):
    from kadenzo import _files

    monkeypatch.setattr(_files, "MAX_FILE_BYTES", 100_000)
    source = ReadOnly(b"\0" * 10_000_000)
    with pytest.raises(kadenzo.errors.ReplayFileError) as info:
        kadenzo.bulk.decode_one(source)
    assert source.given == 100_001
    assert (info.value.errno, info.value.message) == (27, "cannot read the file: file exceeds 100000 bytes")


# --- archives --------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["zip", "tar", "tar.gz", "tar.xz", "tar.zst"])
def test_archive_members_decode_in_order_as_the_files_do(archives, kind):
    files, made = archives
    results = list(kadenzo.bulk.decode_archive(made[kind], threads=2))
    names = [name for name in files if name.endswith(".kvr")]
    assert [r.path for r in results] == [f"{made[kind]}::{name}" for name in names]
    assert [repr(r.replay) for r in results] == [repr(kadenzo.parse_replay_from_bytes(files[n])) for n in names]
    columns = list(kadenzo.bulk.decode_archive(made[kind], glob="PLAY*", frames="columns"))  # case ignored
    assert [r.columns.names for r in columns] == [("time_delta", "x", "y", "keys")]


def test_a_damaged_member_is_an_error_row_and_a_damaged_archive_ends_with_one(archives, tmp_path):
    import zipfile

    files, made = archives
    stored = tmp_path / "stored.zip"
    with zipfile.ZipFile(stored, "w") as zipped:
        for name in ("catch.kvr", "std.kvr", "taiko.kvr"):
            zipped.writestr(name, files[name])
    data = bytearray(stored.read_bytes())
    at = data.index(files["std.kvr"][:64]) + 1_000
    data[at] ^= 0xFF  # the member's CRC no longer matches
    stored.write_bytes(bytes(data))
    results = list(kadenzo.bulk.decode_archive(stored))
    assert [r.ok for r in results] == [True, False, True]
    assert "CRC-32" in results[1].error.message and results[1].error.path.endswith("::std.kvr")

    cut = tmp_path / "cut.tar.gz"
    cut.write_bytes(made["tar.gz"].read_bytes()[:3_000])
    results = list(kadenzo.bulk.decode_archive(cut))
    assert results[-1].path == str(cut) and not results[-1].ok
    assert results[-1].error.message == "the archive is damaged: ReadError: unexpected end of data"
    assert all(r.ok for r in results[:-1])
    # What went wrong is in str(error) too, and a file of neither format says so (not a tar error).
    for name, data, message in [
        ("cut.tar.gz", made["tar.gz"].read_bytes()[:3_000], "the archive is damaged: ReadError: unexpected end"),
        ("cut.zip", made["zip"].read_bytes()[:700], "the archive is damaged: the zip archive ends early"),
        ("fake.zip", b"not a zip", "cannot read the archive: neither a zip nor a tar archive"),
        ("short.tar", b"", "cannot read the archive: neither a zip nor a tar archive"),
    ]:
        (tmp_path / name).write_bytes(data)
        error = list(kadenzo.bulk.decode_archive(tmp_path / name))[-1].error
        assert isinstance(error, kadenzo.errors.ReplayFileError) and error.errno == 5, name
        assert error.message.startswith(message) and error.message in str(error), (name, str(error))


def test_summary_reads_archives_among_its_inputs_and_adds_stats(archives, tmp_path):
    import csv
    import io
    import subprocess
    import sys

    files, made = archives
    cut = tmp_path / "cut.tar.gz"
    cut.write_bytes(made["tar.gz"].read_bytes()[:3_000])
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "kadenzo",
            "summary",
            "--stats",
            str(SAMPLES[0]),
            str(made["zip"]),
            str(cut),
            str(made["tar"]),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    rows = list(csv.DictReader(io.StringIO(run.stdout)))
    assert run.returncode == 1
    paths = [row["path"] for row in rows]
    members = [f"::{name}" for name in files if name.endswith(".kvr")]
    assert paths[0] == str(SAMPLES[0]) and paths[1:6] == [f"{made['zip']}{m}" for m in members]
    assert paths[-6] == str(cut) and rows[-6]["error"].startswith("the archive is damaged")
    assert paths[-5:] == [f"{made['tar']}{m}" for m in members]
    figures = kc.stats(kc.frames(files["std.kvr"]))
    std = next(row for row in rows if row["path"].endswith("zip::std.kvr"))
    assert int(std["presses"]) == figures["presses"] and float(std["mean_speed"]) == figures["mean_speed"]
    assert std["presses_by_key"] == " ".join(f"{k}={n}" for k, n in figures["presses_by_key"].items())
