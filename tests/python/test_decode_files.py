"""Decoding whole replay files built by replay_builder, from bytes and from a path."""

import dataclasses
import lzma
import math
import struct

import kadenzo
import pytest
from helpers import NO_VALUE, SLOTS, TRY_FROM_INT, UNWRAP, is_panic
from kadenzo import GameMode
from replay_builder import (
    MODE_CTB,
    MODE_MANIA,
    MODE_STD,
    MODE_TAIKO,
    MODES,
    ReplayFile,
    compress,
    minimal_file,
    raw_string,
    realistic_replay,
    uleb128,
)

FLOAT_ERROR = UNWRAP + "Error"


def eof(rest: bytes) -> str:
    return UNWRAP + "Error(Error { input: [" + ", ".join(map(str, rest)) + "], code: Eof })"


def index_error(length: int, index: int) -> str:
    return f"index out of bounds: the len is {length} but the index is {index}"


def f32(value: float) -> float:
    return struct.unpack("<f", struct.pack("<f", value))[0]


def nan_safe(value):
    return "NaN" if isinstance(value, float) and math.isnan(value) else value


def frame_tuples(mode: int, frames) -> list[tuple]:
    """Decoded frame objects as the tuples the builder takes."""
    if mode == MODE_STD:
        rows = [(f.time_delta, f.x, f.y, f.keys.value) for f in frames]
    elif mode == MODE_TAIKO:
        rows = [(f.time_delta, f.x, f.keys.value) for f in frames]
    elif mode == MODE_CTB:
        rows = [(f.time_delta, f.x, f.dashing) for f in frames]
    else:
        rows = [(f.time_delta, f.keys.value) for f in frames]
    return [tuple(nan_safe(v) for v in row) for row in rows]


def life_tuples(replay):
    graph = replay.life_bar_graph
    return None if graph is None else [(s.time, nan_safe(s.life)) for s in graph]


def header(replay) -> dict:
    names = (
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
        "timestamp",
        "replay_id",
    )
    values = {name: getattr(replay, name) for name in names}
    values.update(mode=replay.mode.value, mods=replay.mods.value, life_bar_graph=life_tuples(replay))
    return values


def expected_header(spec: ReplayFile) -> dict:
    life = None
    if spec.life_bar:
        life = [(int(t), f32(float(v))) for t, v in (p.split("|") for p in spec.life_bar.split(",") if p)]
    return dict(
        mode=spec.mode,
        game_version=spec.game_version,
        beatmap_hash=spec.beatmap_hash,
        username=spec.username,
        replay_hash=spec.replay_hash,
        count_300=spec.count_300,
        count_100=spec.count_100,
        count_50=spec.count_50,
        count_geki=spec.count_geki,
        count_katu=spec.count_katu,
        count_miss=spec.count_miss,
        score=spec.score,
        max_combo=spec.max_combo,
        perfect=spec.perfect == 1,
        mods=spec.mods,
        life_bar_graph=life,
        timestamp=spec.timestamp,
        replay_id=spec.replay_id,
    )


def slots(replay) -> dict:
    container = replay.replay_data
    return {name: getattr(container, name) for name in SLOTS}


@pytest.fixture(params=["bytes", "path"])
def decode(request, tmp_path):
    """decode(data, header_only=False): through parse_replay_from_bytes or from a file."""

    def run(data: bytes, header_only: bool = False):
        if request.param == "bytes":
            return kadenzo.parse_replay_from_bytes(data, header_only)
        path = tmp_path / "replay.kvr"
        path.write_bytes(data)
        return kadenzo.parse_replay_from_path(str(path), header_only)

    return run


@pytest.fixture
def decode_panic(decode, panic):
    return lambda data, header_only=False: panic(decode, data, header_only)


def decoded_frames(replay, mode: int):
    """(frame tuples, seed) of the replay's own slot; the other three must be None."""
    lists = slots(replay)
    assert [name for name, value in lists.items() if value is not None] == [SLOTS[mode]]
    return frame_tuples(mode, lists[SLOTS[mode]]), replay.rng_seed


# --- valid files --------------------------------------------------------------


@pytest.mark.parametrize("mode", MODES)
def test_realistic_replay_decodes_every_field(decode, mode):
    spec = realistic_replay(mode, 300, seed=mode + 10)
    replay = decode(spec.to_bytes())
    assert header(replay) == expected_header(spec)
    assert decoded_frames(replay, mode) == (spec.frames, spec.seed)


@pytest.mark.parametrize("mode", MODES)
def test_header_only_skips_frames_and_seed(decode, mode):
    spec = realistic_replay(mode, 50, seed=3)
    replay = decode(spec.to_bytes(), True)
    assert header(replay) == expected_header(spec)
    assert slots(replay) == dict.fromkeys(SLOTS)
    assert replay.rng_seed is None


@pytest.mark.parametrize(
    "fields, expected",
    [
        (
            dict(count_300=0xFFFF, count_miss=40000, max_combo=0x8000),
            dict(count_300=-1, count_miss=-25536, max_combo=-32768),
        ),
        (dict(score=0x80000000, game_version=0xFFFFFFFF), dict(score=-(2**31), game_version=-1)),
        (dict(perfect=1), dict(perfect=True)),
        (dict(perfect=2), dict(perfect=False)),
        (dict(perfect=255), dict(perfect=False)),
        (dict(mods=2**31 - 1), dict(mods=2**31 - 1)),
        (dict(timestamp=-5), dict(timestamp=-5)),
        (
            dict(beatmap_hash="", username="Bø 鳥 🎵", replay_hash=None),
            dict(beatmap_hash="", username="Bø 鳥 🎵", replay_hash=None),
        ),
        (
            dict(beatmap_hash=None, username=None, replay_hash=None, life_bar=None),
            dict(beatmap_hash=None, username=None, replay_hash=None, life_bar_graph=None),
        ),
        (dict(username=raw_string(b"", length=b"\x80\x00")), dict(username="")),
        (dict(username="\x00\t\"'\\"), dict(username="\x00\t\"'\\")),
    ],
)
def test_header_values(decode, fields, expected):
    replay = decode(ReplayFile(**fields).to_bytes())
    assert {name: header(replay)[name] for name in expected} == expected


def test_minimal_file_is_48_bytes_and_decodes_header_only(decode):
    data = minimal_file(mode=MODE_TAIKO).to_bytes()
    assert len(data) == 48
    replay = decode(data, True)
    assert (replay.mode, replay.username, replay.life_bar_graph, replay.replay_id) == (GameMode.TAIKO, None, None, 42)
    assert slots(replay) == dict.fromkeys(SLOTS)


def test_minimal_file_has_no_frames(decode_panic):
    assert decode_panic(minimal_file().to_bytes()) == NO_VALUE


@pytest.mark.parametrize(
    "id_width, replay_id, trailing, expected",
    [
        (8, 2**64 - 1, b"", 2**64 - 1),
        (8, 5, b"\x01\x02\x03", 5),
        (8, 5, bytes(range(200)), 5),
        (4, 42, b"", 42),
        (4, 0xFFFFFFFF, b"", 2**64 - 1),
        (4, 0x80000000, b"", 2**64 - 2**31),
        (4, 7, b"\x09\x09\x09", 7),
        (4, 7, b"\x09\x09\x09\x09", 0x0909090900000007),
    ],
)
def test_online_id_forms(decode, id_width, replay_id, trailing, expected):
    spec = ReplayFile(replay_id=replay_id, id_width=id_width, trailing=trailing)
    for header_only in (False, True):
        replay = decode(spec.to_bytes(), header_only)
        assert replay.replay_id == expected


@pytest.mark.parametrize("rest", [b"", b"\x01", b"\x01\x02", b"\xff\xfe\xfd"])
def test_online_id_shorter_than_4_bytes(decode_panic, rest):
    data = ReplayFile(id_width=0, trailing=rest).to_bytes()
    assert decode_panic(data) == eof(rest)
    assert decode_panic(data, True) == eof(rest)


# --- truncation ----------------------------------------------------------------

STRING_FIELDS = {"beatmap_hash", "username", "replay_hash", "life_bar_graph"}
SWEEP_FILE = ReplayFile(replay_hash="r" * 130, frames=[(16, 1.5, 2.0, 1)], seed=3)


def truncation_message(spec: ReplayFile, size: int) -> str | None:
    """The message of decoding the first `size` bytes of `spec`, None if it decodes."""
    data = spec.to_bytes()
    start = 0
    for name, piece in spec.fields():
        end = start + len(piece)
        if name == "replay_id":
            return None if size - start >= 4 else eof(data[start:size])
        if size < end:
            if name not in STRING_FIELDS or size == start or piece[0] == 0:
                return eof(data[start:size])
            length_end = start + 1 + next(i for i, b in enumerate(piece[1:], 1) if b < 0x80)
            return UNWRAP + "Incomplete(Size(1))" if size < length_end else eof(data[length_end:size])
        start = end
    raise AssertionError("unreachable")


def test_every_prefix_fails_with_the_error_of_its_cut_field(panic):
    data = SWEEP_FILE.to_bytes()
    for size in range(len(data)):
        expected = truncation_message(SWEEP_FILE, size)
        if expected is None:  # 4 to 7 id bytes left: read as the 4-byte form
            id_start = SWEEP_FILE.offset("replay_id")
            short_id = int.from_bytes(data[id_start : id_start + 4], "little", signed=True)
            assert kadenzo.parse_replay_from_bytes(data[:size]).replay_id == short_id % 2**64
        else:
            assert (size, panic(kadenzo.parse_replay_from_bytes, data[:size])) == (size, expected)
    assert kadenzo.parse_replay_from_bytes(data).rng_seed == 3


STOP_PREFIXES = (
    UNWRAP,
    NO_VALUE,
    "index out of bounds: ",
    "Unknown GameMode",
    "Expected the first byte of a string to be 0x00 or 0x0b, but got, ",
)


@pytest.mark.parametrize("value", [0x00, 0x0B, 0x2C, 0x7C, 0x80, 0xFF])
def test_every_single_byte_corruption_decodes_or_stops(value):
    data = SWEEP_FILE.to_bytes()
    for position in range(len(data)):
        corrupt = data[:position] + bytes([value]) + data[position + 1 :]
        try:
            kadenzo.parse_replay_from_bytes(corrupt)
        except BaseException as error:  # PanicException derives from BaseException
            assert is_panic(error), (position, error)
            assert str(error).startswith(STOP_PREFIXES), (position, str(error))


# --- strings -------------------------------------------------------------------


@pytest.mark.parametrize(
    "field, name",
    [
        ("beatmap_hash", "beatmap_hash"),
        ("username", "username"),
        ("replay_hash", "replay_hash"),
        ("life_bar", "parse_life_bar_graph"),
    ],
)
@pytest.mark.parametrize("marker", [0x01, 0x0C, 0xFF])
def test_bad_string_marker(decode_panic, field, name, marker):
    data = ReplayFile(**{field: raw_string(b"abc", marker=marker)}).to_bytes()
    assert (
        decode_panic(data, True) == f"Expected the first byte of a string to be 0x00 or 0x0b, but got, {marker}, {name}"
    )


@pytest.mark.parametrize(
    "payload, valid_up_to, error_len",
    [
        (b"\xc3\x28", 0, "Some(1)"),
        (b"\xc3", 0, "None"),
        (b"ab\xff", 2, "Some(1)"),
        (b"\xed\xa0\x80", 0, "Some(1)"),  # surrogate
        (b"\xf4\x90\x80\x80", 0, "Some(1)"),  # above U+10FFFF
        (b"\xc0\xaf", 0, "Some(1)"),  # overlong
        (b"x\xe2\x82y", 1, "Some(2)"),
        (b"\xf0\x9f\x8e", 0, "None"),
    ],
)
@pytest.mark.parametrize("field", ["username", "life_bar"])
def test_invalid_utf8(decode_panic, field, payload, valid_up_to, error_len):
    data = ReplayFile(**{field: raw_string(payload)}).to_bytes()
    assert decode_panic(data) == (
        UNWRAP + "FromUtf8Error { bytes: [" + ", ".join(map(str, payload)) + "], error: Utf8Error { "
        f"valid_up_to: {valid_up_to}, error_len: {error_len} }} }}"
    )


def test_string_length_too_large(decode_panic):
    spec = ReplayFile(replay_hash=b"\x0b" + b"\xff" * 19)
    rest = spec.to_bytes()[spec.offset("replay_hash") + 1 :]
    assert (
        decode_panic(spec.to_bytes())
        == UNWRAP + "Error(Error { input: [" + ", ".join(map(str, rest)) + "], code: TooLarge })"
    )


@pytest.mark.parametrize("length", [2**64 - 1, 10_000])
def test_string_length_past_the_end(decode_panic, length):
    spec = ReplayFile(beatmap_hash=raw_string(b"abc", length=length))
    data = spec.to_bytes()
    assert decode_panic(data, True) == eof(data[spec.offset("beatmap_hash") + 1 + len(uleb128(length)) :])


def test_string_length_beyond_64_bits(decode_panic):
    data = ReplayFile(username=raw_string(b"abc", length=2**64)).to_bytes()
    assert decode_panic(data, True) == TRY_FROM_INT


# --- life-bar graph --------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", None),
        (",", None),
        ("abc,def", None),
        ("0|1,250|0.5,", [(0, 1.0), (250, 0.5)]),
        ("100|1,,200|0.9", [(100, 1.0), (200, f32(0.9))]),
        ("4294967295|1,2147483648|+.5", [(4294967295, 1.0), (2147483648, 0.5)]),
        ("+5|1.", [(5, 1.0)]),
        (
            "0|1e-1,1|-inf,2|1e39,3|NaN,4|INFINITY,5|-2E2,6|1e-50",
            [(0, f32(0.1)), (1, -math.inf), (2, math.inf), (3, "NaN"), (4, math.inf), (5, -200.0), (6, 0.0)],
        ),
    ],
)
def test_life_bar_graph(decode, text, expected):
    assert life_tuples(decode(ReplayFile(life_bar=text).to_bytes(), True)) == expected


@pytest.mark.parametrize(
    "text, kind",
    [
        (" 100|1", "InvalidDigit"),
        ("1.5|1", "InvalidDigit"),
        ("-5|1", "InvalidDigit"),
        ("-0|1", "InvalidDigit"),
        ("+|1", "InvalidDigit"),
        ("x|1,5|1", "InvalidDigit"),
        ("|1", "Empty"),
        ("4294967296|1", "PosOverflow"),
    ],
)
def test_bad_life_bar_time(decode_panic, text, kind):
    data = ReplayFile(life_bar=text).to_bytes()
    assert decode_panic(data, True) == UNWRAP + f"ParseIntError {{ kind: {kind} }}"


@pytest.mark.parametrize("text", ["100|1|7", "5|", "5|1e", "5| 1", "5|0x10", "5|1.2.3", "0|1,5|--1"])
def test_bad_life_bar_life(decode_panic, text):
    assert decode_panic(ReplayFile(life_bar=text).to_bytes(), True) == FLOAT_ERROR


# --- frame text --------------------------------------------------------------------


@pytest.mark.parametrize(
    "mode, text, frames, seed",
    [
        (
            MODE_STD,
            "0|256|-500|0,-1|256|-500|0,16|100.5|200|1,-12345|0|0|777,",
            [(0, 256.0, -500.0, 0), (-1, 256.0, -500.0, 0), (16, 100.5, 200.0, 1)],
            777,
        ),
        (
            MODE_STD,
            "0|256|-500|0,-1|256|-500|0,16|100.5|200|1,",
            [(0, 256.0, -500.0, 0), (-1, 256.0, -500.0, 0), (16, 100.5, 200.0, 1)],
            None,
        ),
        (MODE_STD, "-12345|0|0|7", [], 7),
        (MODE_STD, "16|1|2|3,-12345|0|0|5,,", [(16, 1.0, 2.0, 3), (-12345, 0.0, 0.0, 5)], None),
        (
            MODE_STD,
            "16|1|2|3,-12345|0|0|5,20|1|2|3",
            [(16, 1.0, 2.0, 3), (-12345, 0.0, 0.0, 5), (20, 1.0, 2.0, 3)],
            None,
        ),
        (MODE_STD, "16|1|2|3,-12345|0|0|-5x,", [(16, 1.0, 2.0, 3)], -5),
        (
            MODE_STD,
            "|1|2|3,16|1|2|3|9|9,16x|1e3|-.5|-2147483648,-|NaN|Infinity|0",
            [(16, 1.0, 2.0, 3), (16, 1000.0, -0.5, -2147483648), (0, "NaN", math.inf, 0)],
            None,
        ),
        (MODE_TAIKO, "16|256.75|0|1,-12345|0|0|9", [(16, 256, 1)], 9),
        (
            MODE_CTB,
            "16|1.5|0|1,16|1|0|01,16|1|0|1abc,16|1|0|0,16|1|0|2,16|1|0|3",
            [(16, 1.5, True), (16, 1.0, True), (16, 1.0, True), (16, 1.0, False), (16, 1.0, False), (16, 1.0, False)],
            None,
        ),
        (MODE_MANIA, "16|1|2|3,-12345|0|0|x,", [(16, 1), (-12345, 0)], None),
        (MODE_MANIA, "16|1|2", [(16, 1)], None),
        (MODE_MANIA, "16|-1,-12345|0|0|2147483647", [(16, -1)], 2147483647),
    ],
)
def test_frame_text(decode, mode, text, frames, seed):
    replay = decode(ReplayFile(mode=mode, text=text.encode()).to_bytes())
    assert decoded_frames(replay, mode) == (frames, seed)


@pytest.mark.parametrize(
    "modes, text, expected",
    [
        (MODES, "", NO_VALUE),
        (MODES, ",,,", NO_VALUE),
        (MODES, "16", index_error(1, 1)),
        (MODES, " 16|1|2|3", NO_VALUE),
        (MODES, "9223372036854775808|1|2|3", NO_VALUE),
        ((MODE_STD, MODE_TAIKO, MODE_CTB), "16|1|2", index_error(3, 3)),
        ((MODE_STD,), "16|abc", FLOAT_ERROR),
        ((MODE_STD,), "16| 1.5|2|3", FLOAT_ERROR),
        ((MODE_STD,), "16|1|1e|3", FLOAT_ERROR),
        ((MODE_STD,), "16|1|2", index_error(3, 3)),
        ((MODE_STD,), "16|1|2|x", NO_VALUE),
        ((MODE_STD,), "16|1|2|2147483648", NO_VALUE),
        ((MODE_STD,), "16|1|2|3,-12345|0|0|x,", NO_VALUE),
        ((MODE_TAIKO,), "16|x|0|1", NO_VALUE),
        ((MODE_TAIKO,), "16|1", index_error(2, 3)),
        ((MODE_CTB,), "16|1|0|y", NO_VALUE),
        ((MODE_CTB,), "16|x|0|1", FLOAT_ERROR),
        ((MODE_MANIA,), "16|k", NO_VALUE),
    ],
)
def test_bad_frame_text(decode_panic, modes, text, expected):
    for mode in modes:
        assert (mode, decode_panic(ReplayFile(mode=mode, text=text.encode()).to_bytes())) == (mode, expected)


@pytest.fixture(scope="module")
def big_replay():
    spec = realistic_replay(MODE_STD, 200_000, seed=5)
    return spec, spec.to_bytes()


def test_text_past_one_mib_decodes_every_frame_and_the_seed(decode, big_replay):
    spec, data = big_replay
    assert len(spec.frame_bytes()) > 3 * 2**20
    assert decoded_frames(decode(data), MODE_STD) == (spec.frames, spec.seed)


# --- compressed block ------------------------------------------------------------------


def corrupted(offset: int, value: int) -> bytes:
    block = bytearray(compress(ReplayFile().frame_bytes()))
    block[offset] = value
    return bytes(block)


@pytest.mark.parametrize(
    "fields, expected",
    [
        (dict(block=corrupted(0, 225)), "Format"),
        (dict(dict_size=8 << 20), "MemLimit"),
        (dict(block=corrupted(13, 0xFF)), "Data"),
    ],
)
def test_lzma_errors(decode_panic, decode, fields, expected):
    data = ReplayFile(**fields).to_bytes()
    assert decode_panic(data) == UNWRAP + expected
    assert decode(data, True).replay_id == ReplayFile().replay_id


def test_four_mib_dictionary_is_accepted(decode):
    replay = decode(ReplayFile(dict_size=4 << 20).to_bytes())
    assert decoded_frames(replay, MODE_STD) == (ReplayFile().frames, ReplayFile().seed)


@pytest.mark.parametrize("header_only", [False, True])
def test_negative_block_length(decode_panic, header_only):
    assert decode_panic(ReplayFile(block_length=-1).to_bytes(), header_only) == TRY_FROM_INT


@pytest.mark.parametrize("header_only", [False, True])
def test_block_length_past_the_end(decode_panic, header_only):
    spec = ReplayFile()
    spec.block_length = len(spec.block_bytes()) + 9  # the 8 id bytes are not enough
    data = spec.to_bytes()
    assert decode_panic(data, header_only) == eof(data[spec.offset("block") :])


def test_empty_block(decode, decode_panic):
    data = ReplayFile(block=b"").to_bytes()
    assert decode(data, True).replay_id == ReplayFile().replay_id
    assert decode_panic(data) == NO_VALUE


def test_stream_declaring_zero_bytes_has_no_frames(decode_panic):
    assert decode_panic(ReplayFile(block=compress(b"", declared_size=0)).to_bytes()) == NO_VALUE


def test_bytes_after_the_stream_are_ignored(decode):
    spec = ReplayFile()
    replay = decode(ReplayFile(block=spec.block_bytes() + b"\x00garbage|1,").to_bytes())
    assert decoded_frames(replay, MODE_STD) == (spec.frames, spec.seed)


def test_truncated_stream_gives_the_frames_decoded_so_far(decode):
    spec = realistic_replay(MODE_STD, 2000, seed=8)
    block = spec.block_bytes()
    # Cut where the decompressed prefix ends on an item boundary, so it holds
    # whole frames only (liblzma decodes the same prefix for the module).
    for cut in range(len(block) // 2, len(block)):
        prefix = lzma.LZMADecompressor(format=lzma.FORMAT_ALONE).decompress(block[:cut])
        if prefix.endswith(b","):
            break
    replay = decode(ReplayFile(block=block[:cut]).to_bytes())
    assert decoded_frames(replay, MODE_STD) == (spec.frames[: prefix.count(b",")], None)


# --- play mode --------------------------------------------------------------------------


@pytest.mark.parametrize("mode", [4, 255])
def test_unknown_mode_after_the_time_stamp(decode_panic, mode):
    spec = ReplayFile(mode=mode)
    data = spec.to_bytes()
    assert decode_panic(data) == "Unknown GameMode"
    assert decode_panic(data, True) == "Unknown GameMode"
    assert decode_panic(data[: spec.offset("block_length")]) == "Unknown GameMode"
    assert decode_panic(data[: spec.offset("count_300")]) == eof(b"")
    timestamp = spec.offset("timestamp")
    assert decode_panic(data[: timestamp + 7]) == eof(data[timestamp : timestamp + 7])


# --- files ---------------------------------------------------------------------------------


def test_missing_file(panic, tmp_path):
    message = panic(kadenzo.parse_replay_from_path, str(tmp_path / "missing.kvr"))
    assert message == UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'


def test_directory(panic, tmp_path):
    message = panic(kadenzo.parse_replay_from_path, str(tmp_path))
    assert message == UNWRAP + 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'


def test_repr_of_a_small_replay(decode):
    spec = ReplayFile(
        username='Bo "Rin"\n',
        replay_hash=None,
        perfect=1,
        mods=72,
        life_bar="0|1,250|0.1,",
        timestamp=-42,
        frames=[(16, 256.5, 100.0, 1), (-1, 0.0001, 1e16, -1)],
        seed=777,
        replay_id=9,
    )
    assert repr(decode(spec.to_bytes())) == (
        'Replay { mode: STD, game_version: 20230326, beatmap_hash: Some("9fd8c8dbc7dfb66b2ac58ee0e5e0bf34"), '
        'username: Some("Bo \\"Rin\\"\\n"), replay_hash: None, count_300: 300, count_100: 12, count_50: 3, '
        "count_geki: 61, count_katu: 7, count_miss: 1, score: 4213370, max_combo: 512, perfect: true, "
        "mods: Mod(72), life_bar_graph: Some([LifeBarState { time: 0, life: 1.0 }, "
        "LifeBarState { time: 250, life: 0.1 }]), timestamp: -42, replay_data: ReplayDataContainer { "
        "kivo_replay_data: Some([ReplayEventKivo { time_delta: 16, x: 256.5, y: 100.0, keys: Key(1) }, "
        "ReplayEventKivo { time_delta: -1, x: 0.0001, y: 1e16, keys: Key(-1) }]), taiko_replay_data: None, "
        "catch_replay_data: None, mania_replay_data: None }, rng_seed: Some(777), replay_id: 9 }"
    )


def test_repr_of_a_header_only_replay(decode):
    data = minimal_file(mode=MODE_MANIA, mods=2**31 | 1, game_version=7, count_300=0xFFFF).to_bytes()
    assert repr(decode(data, True)) == (
        "Replay { mode: MANIA, game_version: 7, beatmap_hash: None, username: None, replay_hash: None, "
        "count_300: -1, count_100: 12, count_50: 3, count_geki: 61, count_katu: 7, count_miss: 1, "
        "score: 4213370, max_combo: 512, perfect: false, mods: Mod(2147483649), life_bar_graph: None, "
        "timestamp: 638400000000000000, replay_data: ReplayDataContainer { kivo_replay_data: None, "
        "taiko_replay_data: None, catch_replay_data: None, mania_replay_data: None }, rng_seed: None, "
        "replay_id: 42 }"
    )


@pytest.mark.parametrize("client", ["older", "newer"])
@pytest.mark.parametrize("mode", MODES)
def test_plays_in_the_shapes_clients_write_decode_as_their_plain_frames(mode, client):
    """The markers and the lead-in item (or the newer client's first item) are
    frames like any other; the key mode's decimal field 2 is read past; the
    newer client's score block after the online id is ignored; a file cut by
    1 to 4 bytes reads its online id from the 4 bytes left."""
    shaped = realistic_replay(mode, 300, seed=5, client=client)
    plain = dataclasses.replace(shaped, opening=(), field_2=None, score_info=None)
    opening = ReplayFile(mode=mode, text=",".join(shaped.opening).encode() + b",", seed=None)
    data = shaped.to_bytes()
    got, want = kadenzo.parse_replay_from_bytes(data), kadenzo.parse_replay_from_bytes(plain.to_bytes())
    first = getattr(kadenzo.parse_replay_from_bytes(opening.to_bytes()).replay_data, SLOTS[mode])
    for name in ("replay_id", "rng_seed", "score", "timestamp"):
        assert getattr(got, name) == getattr(want, name), name
    frames = getattr(got.replay_data, SLOTS[mode])
    assert frames == first + getattr(want.replay_data, SLOTS[mode])
    assert [f.time_delta for f in first] == [int(item.split("|")[0]) for item in shaped.opening]
    if client == "older":
        end = shaped.offset("trailing")
        for cut in range(1, 5):
            short_id = int.from_bytes(data[end - 8 : end - 4], "little", signed=True)
            assert kadenzo.parse_replay_from_bytes(data[:-cut]).replay_id == short_id % 2**64
