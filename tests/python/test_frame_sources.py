"""Frames from anywhere: a frame block alone (raw and base64), binary file
objects, and the members of zip and tar archives, each decoding to what the
same replay file gives."""
import base64
import struct

import pytest

import kadenzo
import kadenzo.frames
from kadenzo import columns as kc
from kadenzo.errors import ReplayDecodeError
from helpers import SAMPLES
from replay_builder import ReplayFile, realistic_replay

SLOTS = ("kivo_replay_data", "taiko_replay_data", "catch_replay_data", "mania_replay_data")


def block_of(data: bytes) -> bytes:
    """The frame block of a whole file: the one spot whose length field reaches the 8-byte id at the end."""
    for start in range(len(data) - 12, 0, -1):
        (length,) = struct.unpack_from("<i", data, start)
        if length == len(data) - start - 12:
            return data[start + 4:start + 4 + length]
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
    columns = kadenzo.frames.decode_block(source, int(replay.mode.value), frames="columns",
                                          base64=form == "base64 bytes")
    assert repr(columns) == repr(kc.frames(replay))
    assert columns.time.tolist() == kc.frames(replay).time.tolist()


@pytest.mark.parametrize("text, message", [
    ("QUJD!EFG", "the base64 text is not valid at offset 4: not a base64 digit"),
    ("QUJDé", "the base64 text is not valid at offset 4: not a base64 digit"),
    ("QUJDR", "the base64 text is not valid at offset 5: the text ends inside a group"),
    ("QQ==QQ", "the base64 text is not valid at offset 4: a digit after the padding"),
])
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


@pytest.mark.parametrize("call, error", [
    (lambda: kadenzo.frames.decode_block(b"", kadenzo.GameMode.UNKNOWN), ValueError),
    (lambda: kadenzo.frames.decode_block(b"", 4), ValueError),
    (lambda: kadenzo.frames.decode_block(b"", "STD"), TypeError),
    (lambda: kadenzo.frames.decode_block(12, 0), TypeError),
    (lambda: kadenzo.frames.decode_block(b"", 0, frames="rows"), ValueError),
])
def test_arguments_are_checked(call, error):
    with pytest.raises(error):
        call()
