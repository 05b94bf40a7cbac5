"""Builds synthetic Kivo replay files: the fixtures of the tests, the samples and the benchmark.

A replay file is one little-endian byte string, in this order:

    mode u8 | game_version i32 | beatmap_hash str | username str | replay_hash str
    | count_300, count_100, count_50, count_geki, count_katu, count_miss i16
    | score i32 | max_combo i16 | perfect u8 | mods u32 | life-bar graph str
    | timestamp i64 | block length i32 | block | online id (u64, or i32 when
    fewer than 8 bytes remain) | ignored trailing bytes

The newer client writes a score block after the 8-byte online id: a length
(i32) and a legacy-format LZMA block of JSON text (mods with settings,
statistics). The decoder ignores it like any trailing bytes.

A string is 0x00 (absent) or 0x0B, a ULEB128 byte count and that many UTF-8
bytes. The block is a legacy-format (.lzma "alone") LZMA stream of the frame
text: items "time_delta|x|y|keys" joined by ",", closed by the seed item
"-12345|0|0|<seed>".

Every piece can also be built wrong on purpose: strings with any marker,
length or payload; a lying block length; any dictionary size or declared
uncompressed size in the LZMA header; a 4-byte online id; trailing bytes.

    from replay_builder import ReplayFile, MODE_TAIKO
    data = ReplayFile(mode=MODE_TAIKO, frames=[(16, 320, 1)], seed=7).to_bytes()
    ReplayFile(username=raw_string(b"\\xc3\\x28")).to_bytes()   # invalid UTF-8
    realistic_replay(MODE_STD, 500, seed=1).to_bytes()          # a plausible play

Frames are tuples holding the decoded values, one layout per mode:

    STD   (time_delta, x: float, y: float, keys)
    TAIKO (time_delta, x: int, keys)
    CTB   (time_delta, x: float, dashing: bool)
    MANIA (time_delta, keys)

Any tuple element may be a str instead, written into the text verbatim.

The game writes items of its own before a play's input (opening_items):
two markers, "0|256|-500|0" and one more (delta -1, or larger in a catch
play), then an item whose delta goes back by the lead-in before the music
starts, the clock then below zero. The newer client writes no markers and
opens with "-2|x|y|0" (newer_client_opening). The key mode writes a decimal
of the play in field 2 of every item (`field_2`).
"""

from __future__ import annotations

import dataclasses
import json
import lzma
import random
from collections.abc import Iterable, Sequence

MODE_STD, MODE_TAIKO, MODE_CTB, MODE_MANIA = 0, 1, 2, 3
MODES = (MODE_STD, MODE_TAIKO, MODE_CTB, MODE_MANIA)
SEED_MARKER = -12345

ABSENT = 0x00
PRESENT = 0x0B

# Big enough for every fixture, well below what the decoder's memory limit allows.
DEFAULT_DICT_SIZE = 1 << 20


# --- numbers and strings -------------------------------------------------


def int_le(value: int, width: int) -> bytes:
    """`value` in `width` little-endian bytes; negative values in two's complement.

    Masks instead of range-checking, so out-of-range values (a count of 40000,
    a block length of -1) can be written on purpose.
    """
    return (value & ((1 << (8 * width)) - 1)).to_bytes(width, "little")


def uleb128(value: int) -> bytes:
    """The shortest ULEB128 form of a non-negative integer (any size)."""
    out = bytearray()
    while True:
        low, value = value & 0x7F, value >> 7
        if value:
            out.append(low | 0x80)
        else:
            out.append(low)
            return bytes(out)


def raw_string(payload: bytes, *, marker: int = PRESENT, length: bytes | int | None = None) -> bytes:
    """An encoded string from raw parts, for corrupt cases.

    `length` defaults to the payload's true length; an int is written as
    ULEB128, bytes are written verbatim (redundant or unterminated forms).
    """
    if length is None:
        length = len(payload)
    if isinstance(length, int):
        length = uleb128(length)
    return bytes([marker]) + length + payload


def string(value: str | bytes | None) -> bytes:
    """Encodes a string field: None is absent, a str is present.

    bytes are taken as an already encoded field (see raw_string) and returned
    unchanged, so every string field of ReplayFile accepts corrupt encodings.
    """
    if value is None:
        return bytes([ABSENT])
    if isinstance(value, bytes):
        return value
    return raw_string(value.encode("utf-8"))


# --- texts ----------------------------------------------------------------


def number_text(value: int | float | bool | str) -> str:
    """The text of one field: ints in decimal, floats in their shortest form
    ("256" for whole values, as the game writes them), str verbatim."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def life_bar_text(samples: Iterable[tuple[int | str, float | str]], *, trailing_comma: bool = True) -> str:
    """Life-bar graph text from (time, life) samples: "0|1,2000|0.95,"."""
    text = ",".join(f"{number_text(t)}|{number_text(life)}" for t, life in samples)
    return text + "," if trailing_comma and text else text


def frame_fields(mode: int, frame: Sequence, field_2: int | float | str | None = None) -> list:
    """The four text fields of one frame tuple of `mode` (layouts in the module doc).

    Field 2 holds no value of the drum, catch and key modes; `field_2`
    replaces what is written there (by default 9999, 9999 and 0; the game
    writes a decimal of the play in the key mode's, such as "15.35354").
    Modes outside the four use the standard layout, so files with a bad mode
    byte can still carry frames."""
    if mode == MODE_TAIKO:
        time_delta, x, keys = frame
        return [time_delta, x, 9999 if field_2 is None else field_2, keys]
    if mode == MODE_CTB:
        time_delta, x, dashing = frame
        return [time_delta, x, 9999 if field_2 is None else field_2, dashing]
    if mode == MODE_MANIA:
        time_delta, keys = frame
        # The key mode keeps its columns in the x field; y is unused.
        return [time_delta, keys, 0 if field_2 is None else field_2, 0]
    time_delta, x, y, keys = frame
    return [time_delta, x, y, keys]


# The two items every play of the older client opens with; the second's delta
# is -1 in most plays, but not in all (a catch play may hold 4039 there).
MARKER = "0|256|-500|0"


def opening_items(
    mode: int,
    lead_in: int,
    *,
    second_delta: int = -1,
    position: tuple[str, str] = ("14301.78", "14645.78"),
    field_2: str | None = None,
) -> list[str]:
    """The items the older client writes before a play's input: the two
    markers, then one whose delta goes back by `lead_in` milliseconds (the
    clock is then at second_delta - lead_in). A cursor play's is far off the
    512 x 384 playfield (`position`); a drum play's "-425|320|9999|0", a key
    play's "-1381|0|<field 2>|0"."""
    fields = {
        MODE_TAIKO: ["320", "9999"],
        MODE_CTB: ["256", "9999"],
        MODE_MANIA: ["0", field_2 or "0"],
    }.get(mode, list(position))
    return [MARKER, f"{second_delta}|256|-500|0", "|".join([str(-lead_in), *fields, "0"])]


def newer_client_opening(
    mode: int, position: tuple[str, str] = ("-171.2764", "-55.99997"), field_2: str | None = None
) -> list[str]:
    """The first item of a play of the newer client, which writes no markers:
    delta -2, a cursor play's position off the playfield."""
    fields = {
        MODE_TAIKO: ["320", "9999"],
        MODE_CTB: ["256", "9999"],
        MODE_MANIA: ["0", field_2 or "0"],
    }.get(mode, list(position))
    return ["|".join(["-2", *fields, "0"])]


def frame_text(
    mode: int,
    frames: Iterable[Sequence],
    seed: int | None = None,
    *,
    trailing_comma: bool = True,
    opening: Sequence[str] = (),
    field_2: int | float | str | None = None,
) -> bytes:
    """Frame text of `mode`: the `opening` items verbatim (opening_items,
    newer_client_opening), the items of `frames` (`field_2` as in
    frame_fields), then the seed item if a seed is given."""
    items = [*opening, *("|".join(number_text(f) for f in frame_fields(mode, frame, field_2)) for frame in frames)]
    if seed is not None:
        items.append(f"{SEED_MARKER}|0|0|{seed}")
    text = ",".join(items)
    if trailing_comma and items:
        text += ","
    return text.encode("ascii")


# --- compressed block -----------------------------------------------------


def compress(
    text: bytes, *, dict_size: int = DEFAULT_DICT_SIZE, declared_size: int | None = None, preset: int = 1
) -> bytes:
    """`text` as a legacy-format LZMA stream.

    The 13-byte header is: properties byte, dictionary size (u32), uncompressed
    size (u64, all ones = unknown, then the stream ends with an end marker).
    `dict_size` is used by the encoder and so declared in the header (the
    encoder refuses values below 4096). `declared_size` overwrites the
    uncompressed size; a value other than the true size makes the stream
    corrupt, except 0 for an empty text. `preset` is the encoder's effort
    (0-9): low values keep fixtures of several MiB quick to build.
    """
    block = lzma.compress(
        text, format=lzma.FORMAT_ALONE, filters=[{"id": lzma.FILTER_LZMA1, "preset": preset, "dict_size": dict_size}]
    )
    if declared_size is not None:
        block = block[:5] + int_le(declared_size, 8) + block[13:]
    return block


# --- whole file -----------------------------------------------------------


@dataclasses.dataclass
class ReplayFile:
    """One replay file, field by field. Defaults give a small valid STD replay.

    String fields (the hashes, username, life_bar) take None (absent), a str
    (present) or bytes (an already encoded field, written verbatim).
    The block comes from the first of: `block`, `text`, `frames` + `seed`.
    """

    mode: int = MODE_STD
    game_version: int = 20230326
    beatmap_hash: str | bytes | None = "9fd8c8dbc7dfb66b2ac58ee0e5e0bf34"
    username: str | bytes | None = "tester"
    replay_hash: str | bytes | None = "4c1dd8e7fd4bd4e23e6f1aa7de9ac0a1"
    count_300: int = 300
    count_100: int = 12
    count_50: int = 3
    count_geki: int = 61
    count_katu: int = 7
    count_miss: int = 1
    score: int = 4_213_370
    max_combo: int = 512
    perfect: int = 0
    mods: int = 0
    life_bar: str | bytes | None = "0|1,2000|0.95,"
    timestamp: int = 638_400_000_000_000_000
    frames: list = dataclasses.field(default_factory=lambda: [(16, 256.5, 192.25, 1), (17, 260.0, 190.0, 0)])
    seed: int | None = 7_777
    text: bytes | None = None
    block: bytes | None = None
    dict_size: int = DEFAULT_DICT_SIZE
    declared_size: int | None = None
    block_length: int | None = None
    replay_id: int = 4_000_000_001
    id_width: int = 8
    score_info: dict | str | None = None
    trailing: bytes = b""
    opening: Sequence[str] = ()
    field_2: int | float | str | None = None

    def frame_bytes(self) -> bytes:
        """The uncompressed frame text."""
        if self.text is not None:
            return self.text
        return frame_text(self.mode, self.frames, self.seed, opening=self.opening, field_2=self.field_2)

    def score_block(self) -> bytes:
        """The newer client's score block (a dict is written as JSON), or nothing."""
        if self.score_info is None:
            return b""
        info = self.score_info if isinstance(self.score_info, str) else json.dumps(self.score_info)
        block = compress(info.encode("utf-8"))
        return int_le(len(block), 4) + block

    def block_bytes(self) -> bytes:
        if self.block is not None:
            return self.block
        return compress(self.frame_bytes(), dict_size=self.dict_size, declared_size=self.declared_size)

    def fields(self) -> list[tuple[str, bytes]]:
        """(name, encoded bytes) of every field, in file order; joined they are the file."""
        block = self.block_bytes()
        length = len(block) if self.block_length is None else self.block_length
        return [
            ("mode", int_le(self.mode, 1)),
            ("game_version", int_le(self.game_version, 4)),
            ("beatmap_hash", string(self.beatmap_hash)),
            ("username", string(self.username)),
            ("replay_hash", string(self.replay_hash)),
            ("count_300", int_le(self.count_300, 2)),
            ("count_100", int_le(self.count_100, 2)),
            ("count_50", int_le(self.count_50, 2)),
            ("count_geki", int_le(self.count_geki, 2)),
            ("count_katu", int_le(self.count_katu, 2)),
            ("count_miss", int_le(self.count_miss, 2)),
            ("score", int_le(self.score, 4)),
            ("max_combo", int_le(self.max_combo, 2)),
            ("perfect", int_le(self.perfect, 1)),
            ("mods", int_le(self.mods, 4)),
            ("life_bar_graph", string(self.life_bar)),
            ("timestamp", int_le(self.timestamp, 8)),
            ("block_length", int_le(length, 4)),
            ("block", block),
            ("replay_id", int_le(self.replay_id, self.id_width)),
            ("trailing", self.score_block() + self.trailing),  # bytes the decoder ignores
        ]

    def to_bytes(self) -> bytes:
        return b"".join(data for _, data in self.fields())

    def offset(self, name: str) -> int:
        """Byte offset at which field `name` starts."""
        position = 0
        for field_name, data in self.fields():
            if field_name == name:
                return position
            position += len(data)
        raise KeyError(name)


def minimal_file(**overrides) -> ReplayFile:
    """The smallest file that decodes (header only): 48 bytes, all strings absent,
    an empty block and a 4-byte online id. Keyword arguments override fields."""
    fields = dict(
        beatmap_hash=None, username=None, replay_hash=None, life_bar=None, block=b"", replay_id=42, id_width=4
    )
    fields.update(overrides)
    return ReplayFile(**fields)


# --- realistic plays --------------------------------------------------------


def _time_delta(rng: random.Random) -> int:
    # The game samples input at about 60-70 Hz; a few frames come late or at once.
    roll = rng.random()
    if roll < 0.92:
        return rng.choice((15, 16, 16, 16, 17))
    if roll < 0.97:
        return rng.randint(1, 14)
    return rng.randint(18, 60)


def _coordinate(rng: random.Random, value: float) -> float:
    # Positions are stored with zero to four fraction digits.
    return round(value, rng.choice((0, 1, 2, 3, 4, 4, 4)))


def _held(rng: random.Random, choices: Sequence[int], count: int) -> list[int]:
    """`count` key states: idle stretches and presses held for a few frames."""
    states: list[int] = []
    while len(states) < count:
        states += [0] * rng.randint(2, 12)
        states += [rng.choice(choices)] * rng.randint(2, 8)
    return states[:count]


def _play_std(rng: random.Random, count: int) -> list[tuple]:
    # Two lead-in frames as the game writes them, then a cursor that eases
    # towards random targets on the 512 x 384 field, with hand jitter.
    frames: list[tuple] = [(0, 256.0, -500.0, 0), (-1, 256.0, -500.0, 0)]
    keys = _held(rng, (1, 2, 5, 10, 5, 10, 16), count)
    x, y = 256.0, 192.0
    tx, ty = x, y
    for i in range(count - 2):
        if rng.random() < 0.04:
            tx, ty = rng.uniform(-20, 532), rng.uniform(-20, 404)
        x += (tx - x) * rng.uniform(0.1, 0.4) + rng.gauss(0, 0.8)
        y += (ty - y) * rng.uniform(0.1, 0.4) + rng.gauss(0, 0.8)
        frames.append((_time_delta(rng), _coordinate(rng, x), _coordinate(rng, y), keys[i]))
    return frames


def _play_taiko(rng: random.Random, count: int) -> list[tuple]:
    keys = _held(rng, (1, 2, 4, 8, 5, 10), count)
    return [(_time_delta(rng), 320, k) for k in keys]


def _play_catch(rng: random.Random, count: int) -> list[tuple]:
    frames: list[tuple] = []
    x, target, dashing = 256.0, 256.0, False
    for _ in range(count):
        if rng.random() < 0.05:
            target, dashing = rng.uniform(0, 512), rng.random() < 0.3
        step = (14.0 if dashing else 7.0) * rng.uniform(0.8, 1.2)
        x = min(x + step, target) if x < target else max(x - step, target)
        frames.append((_time_delta(rng), _coordinate(rng, x), dashing and x != target))
    return frames


def _play_mania(rng: random.Random, count: int) -> list[tuple]:
    # Seven columns; chords of one to three columns.
    chords = [sum(1 << c for c in rng.sample(range(7), rng.randint(1, 3))) for _ in range(24)]
    keys = _held(rng, chords, count)
    return [(_time_delta(rng), k) for k in keys]


_PLAYS = {MODE_STD: _play_std, MODE_TAIKO: _play_taiko, MODE_CTB: _play_catch, MODE_MANIA: _play_mania}


def generate_play(mode: int, frame_count: int, seed: int = 0) -> tuple[list[tuple], int]:
    """`frame_count` plausible frames of `mode` (see the module doc for the
    tuple layouts) and a random rng seed; the same arguments give the same play."""
    rng = random.Random(seed * 4 + mode)
    return _PLAYS[mode](rng, frame_count), rng.randint(0, 2**31 - 1)


def score_info(rng: random.Random, hits: int, misses: int) -> dict:
    """What the newer client's score block holds: mods (some with settings)
    and the counts of each judgement."""
    mods = [{"acronym": a} for a in rng.sample(("DT", "HD", "HR", "EZ"), rng.randint(0, 2))]
    if rng.random() < 0.5:
        mods.append({"acronym": "XY", "settings": {"some_setting": rng.random() < 0.5}})
    ok = rng.randint(0, hits // 8)
    return {
        "mods": mods,
        "statistics": {"miss": misses, "ok": ok, "great": hits - misses - ok},
        "maximum_statistics": {"great": hits},
    }


def realistic_replay(
    mode: int, frame_count: int, seed: int = 0, *, client: str | None = None, **overrides
) -> ReplayFile:
    """A whole plausible replay of `mode`: header, life-bar graph every ~2 s,
    frames and seed. Keyword arguments override ReplayFile fields.

    `client` gives the play the shapes a game client writes: "older" opens
    with the markers and the lead-in item (opening_items), "newer" with its
    one item and ends in a score block after the online id; both write the
    key mode's decimal field 2. None keeps the plain play of earlier
    fixtures."""
    rng = random.Random(f"header-{seed}-{mode}")
    frames, rng_seed = generate_play(mode, frame_count, seed)
    duration = sum(f[0] for f in frames if f[0] > 0)
    life, samples = 1.0, []
    for t in range(0, duration + 1, 2000):
        samples.append((t, round(life, 2)))
        life = min(1.0, max(0.0, life + rng.uniform(-0.15, 0.1)))
    hits = max(frame_count // 4, 1)
    misses = rng.randint(0, hits // 20)
    count_100 = rng.randint(0, hits // 8)
    fields = dict(
        mode=mode,
        game_version=rng.choice((20221218, 20230326, 20240123)),
        beatmap_hash=f"{rng.getrandbits(128):032x}",
        username=rng.choice(("amber", "Bo Rin", "kestrel_7", "Mara")),
        replay_hash=f"{rng.getrandbits(128):032x}",
        count_300=hits - misses - count_100,
        count_100=count_100,
        count_50=rng.randint(0, 5),
        count_geki=rng.randint(0, hits // 4),
        count_katu=rng.randint(0, hits // 10),
        count_miss=misses,
        score=rng.randint(100_000, 90_000_000),
        max_combo=rng.randint(1, hits),
        perfect=int(misses == 0),
        mods=rng.choice((0, 8, 16, 24, 64, 72, 1 << 14 | 32)),
        life_bar=life_bar_text(samples),
        timestamp=638_000_000_000_000_000 + rng.getrandbits(50),
        frames=frames,
        seed=rng_seed,
        replay_id=rng.getrandbits(33),
    )
    if client is not None:
        if mode == MODE_STD:
            frames[:2] = []  # the plain play's own two opening frames
        if mode == MODE_MANIA:
            fields["field_2"] = f"{rng.uniform(10, 40):.5f}"
        if client == "older":
            second = rng.randint(1000, 5000) if mode == MODE_CTB and rng.random() < 0.5 else -1
            fields["opening"] = opening_items(
                mode, rng.randint(400, 3000), second_delta=second, field_2=fields.get("field_2")
            )
        elif client == "newer":
            fields["opening"] = newer_client_opening(mode, field_2=fields.get("field_2"))
            fields["score_info"] = score_info(rng, hits, misses)
        else:
            raise ValueError(f"client must be 'older', 'newer' or None, not {client!r}")
    fields.update(overrides)
    return ReplayFile(**fields)
