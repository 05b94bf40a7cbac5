"""Salvage of damaged files: the header fields before a cut, the frames of the
text decompressed so far, the frames before a bad item; in decode_one, bulk
decoding and `kadenzo summary --salvage`. Without salvage nothing changes."""

import csv
import io
import lzma
import pickle
import subprocess
import sys
import zipfile

import kadenzo
import pytest
from kadenzo import bulk
from kadenzo.errors import ReplayDecodeError
from replay_builder import MODE_STD, ReplayFile, realistic_replay

HEADER = [
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
    "life_bar_graph",
    "timestamp",
]
DEFAULTS = {
    "mode": kadenzo.GameMode.STD,
    "beatmap_hash": None,
    "username": None,
    "replay_hash": None,
    "perfect": False,
    "life_bar_graph": None,
    "mods": kadenzo.Mod(0),
}


@pytest.fixture(scope="module")
def play():
    built = realistic_replay(MODE_STD, 3000, seed=5)
    return built, built.to_bytes(), kadenzo.parse_replay_from_bytes(built.to_bytes())


def salvaged_of(data):
    with pytest.raises(ReplayDecodeError) as caught:
        bulk.decode_one(data, salvage=True)
    assert caught.value.message  # the error still says what went wrong
    return caught.value.salvaged


def plain(value):
    """A field's value, life-bar samples as (time, life) pairs (the samples have no equality)."""
    return [(sample.time, sample.life) for sample in value] if isinstance(value, list) else value


def frames_of(container):
    return list(container.kivo_replay_data)


def whole_items_frames(text):
    """The frames of a frame text's whole items, as a decoder of that text gives them."""
    text = text[: text.rfind(b",") + 1]
    return frames_of(kadenzo.parse_replay_data(text, kadenzo.GameMode.STD)) if text else []


@pytest.mark.parametrize("field", HEADER)
def test_cut_inside_the_header_keeps_the_fields_before_it(play, field):
    built, data, whole = play
    salvaged = salvaged_of(data[: built.offset(field) + len(dict(built.fields())[field]) - 1])  # its last byte gone
    before = HEADER[: HEADER.index(field)]
    assert salvaged.fields_read == tuple(before)
    assert salvaged.fields_not_read[:2] == (
        field,
        HEADER[HEADER.index(field) + 1] if field != HEADER[-1] else "replay_data",
    )
    assert not salvaged.frames_partial
    for name in HEADER:
        expected = getattr(whole, name) if name in before else DEFAULTS.get(name, 0)
        assert plain(getattr(salvaged.replay, name)) == plain(expected), name


@pytest.mark.parametrize("fraction", [0.0, 0.3, 0.9])
def test_cut_block_gives_the_frames_of_the_text_so_far(play, fraction):
    built, data, whole = play
    block_start = built.offset("block")
    kept = 13 + int((len(built.block_bytes()) - 13) * fraction)
    salvaged = salvaged_of(data[: block_start + kept])
    assert salvaged.fields_read == tuple(HEADER)
    assert salvaged.frames_partial and salvaged.replay.rng_seed is None
    so_far = lzma.LZMADecompressor(lzma.FORMAT_ALONE).decompress(built.block_bytes()[:kept])
    assert built.frame_bytes().startswith(so_far)
    expected = whole_items_frames(so_far)
    assert frames_of(salvaged.replay.replay_data) == expected
    assert len(expected) < len(frames_of(whole.replay_data)) and (fraction == 0.0 or expected)


def test_bad_frame_item_keeps_the_frames_before_it():
    good = b"16|1.5|2|0,17|3|4|1,"
    salvaged = salvaged_of(ReplayFile(text=good + b"18|x|5|0,19|6|7|0,").to_bytes())
    assert salvaged.frames_partial and "replay_data" in salvaged.fields_not_read
    assert frames_of(salvaged.replay.replay_data) == whole_items_frames(good)


def test_without_salvage_nothing_is_attached_and_bulk_keeps_order(play, tmp_path):
    built, data, whole = play
    with pytest.raises(ReplayDecodeError) as plain:
        bulk.decode_one(data[:400])
    assert plain.value.salvaged is None
    assert [r.replay for r in bulk.decode([tmp_path / "missing.kvr"])] == [None]

    archive = tmp_path / "plays.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        zipped.writestr("whole.kvr", data)
        zipped.writestr("cut.kvr", data[: built.offset("block") + 500])
    (tmp_path / "cut.kvr").write_bytes(data[: built.offset("username") + 2])
    (tmp_path / "whole.kvr").write_bytes(data)
    paths = [tmp_path / "whole.kvr", tmp_path / "cut.kvr", tmp_path / "missing.kvr"]
    for results in (
        list(bulk.decode(paths, salvage=True, threads=2)),
        list(bulk.decode_archive(archive, salvage=True)),
    ):
        assert [r.ok for r in results[:2]] == [True, False]
        assert results[0].replay.replay_id == whole.replay_id and results[0].error is None
        cut = results[1]
        assert cut.replay is cut.error.salvaged.replay
        assert cut.replay.mode == whole.mode and cut.replay.game_version == whole.game_version
    assert results[1].error.salvaged.frames_partial  # the archive's member is cut inside the block
    missing = list(bulk.decode(paths, salvage=True))[2]
    assert missing.replay is None and missing.error.salvaged is None
    copy = pickle.loads(pickle.dumps(cut.error))  # still crosses process pools, without the replay
    assert (copy.message, copy.salvaged) == (cut.error.message, None)


def test_summary_salvage_fills_the_columns_read(play, tmp_path):
    built, data, whole = play
    (tmp_path / "cut.kvr").write_bytes(data[: built.offset("block") + 600])
    (tmp_path / "header.kvr").write_bytes(data[: built.offset("score") + 1])
    run = subprocess.run(
        [sys.executable, "-m", "kadenzo", "summary", "--salvage", str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 1
    cut, header = sorted(csv.DictReader(io.StringIO(run.stdout)), key=lambda row: row["path"])
    assert cut["error"].startswith("file ends inside the frame block")
    assert (cut["mode"], cut["username"], cut["timestamp"], cut["replay_id"], cut["rng_seed"]) == (
        "STD",
        whole.username,
        str(whole.timestamp),
        "",
        "",
    )
    assert 0 < int(cut["frame_count"]) < len(frames_of(whole.replay_data))
    assert header["count_miss"] == str(whole.count_miss) and header["score"] == header["mods"] == ""
    assert header["error"] and header["frame_count"] == ""
