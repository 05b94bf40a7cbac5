"""Writes the seed corpus of the fuzz targets, made with the project's replay generator.

    python3 fuzz/make_corpus.py OUT_DIR

OUT_DIR/<target>/ gets one file per seed; the first byte of each selects what
the target does with the rest (see fuzz/targets.hpp):
  replay      header_only bit + a replay file: valid plays of every mode, edge
              layouts, and truncations of a valid file at every field
  frame_text  mode byte + a frame text: generated plays and edge texts
  life_bar    form bit (0 encoded string, 1 bare text) + a life-bar text
  debug_text  arbitrary bytes: texts with escapes, combining marks, bad UTF-8
  block       mode bits + base64 bit + a frame block alone (raw or base64):
              compressed plays of every mode, edge texts, bad base64
  encode      4 + a replay file, or a mode byte (0-3) + a frame text: decoded,
              written again and decoded again
  windows     mode, window and form bits + a frame text to compress, or a
              block: read in windows of a few bytes against the whole text
The seeds are small so that the fuzzer's mutations stay fast.
"""

import base64
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))

from replay_builder import (  # noqa: E402
    MODE_CTB,
    MODE_MANIA,
    MODE_STD,
    MODE_TAIKO,
    MODES,
    ReplayFile,
    compress,
    frame_text,
    generate_play,
    life_bar_text,
    minimal_file,
    raw_string,
    realistic_replay,
    string,
)

EDGE_TEXTS = [
    b"",
    b",",
    b",,,",
    b"-12345|0|0|7",
    b"16|1|2|3,-12345|0|0|5,,",
    b"0|256|-500|0,-1|256|-500|0,16|100.5|200|1,-12345|0|0|777,",
    b"16|1|2|3,-12345|0|0|x,",
    b"|1|2|3,16|1|2|3",
    b"16|1|2|3|9|9",
    b"16x|1|2|3",
    b"-|1|2|3",
    b" 16|1|2|3",
    b"16|256.75|0|1",
    b"16| 1.5|2|3",
    b"16|1e3|-.5|0",
    b"16|NaN|Infinity|0",
    b"16|1|2|2147483648",
    b"9223372036854775808|1|2|3",
    b"16|1|2",
    b"16",
    b"16|1|2|-2147483648",
    b"16|+inf|-infinity|1,17|1E-400|1e400|0",
]

EDGE_LIFE_TEXTS = [
    "",
    ",",
    "abc,def",
    "0|1,250|0.5,",
    "100|1,,200|0.9",
    "100|1|7",
    " 100|1",
    "1.5|1",
    "|1",
    "4294967296|1",
    "4294967295|1",
    "+5|1",
    "-5|1",
    "0|1e-1",
    "0|NaN",
    "0|-inf",
    "0|1e39",
    "x|1,5|1",
    "5|",
]


def write(directory: pathlib.Path, name: str, data: bytes) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def replay_seeds() -> dict[str, bytes]:
    files = {}
    for mode in MODES:
        files[f"play_{mode}"] = realistic_replay(mode, 24, seed=mode).to_bytes()
    files["minimal"] = minimal_file().to_bytes()
    files["id4_trailing"] = ReplayFile(id_width=4, replay_id=-1).to_bytes()
    files["trailing"] = ReplayFile(trailing=b"\x01\x02\x03").to_bytes()
    files["no_seed"] = ReplayFile(mode=MODE_TAIKO, frames=[(16, 320, 1)], seed=None).to_bytes()
    files["declared_size"] = ReplayFile(
        mode=MODE_MANIA, frames=[(16, 5), (3, 0)], declared_size=len(frame_text(MODE_MANIA, [(16, 5), (3, 0)], 7))
    ).to_bytes()
    files["bad_mode"] = ReplayFile(mode=4).to_bytes()
    files["odd_strings"] = ReplayFile(
        username='\u00e9\u0301 \u4e2d\u6587\n"q"', beatmap_hash="", replay_hash=raw_string(b"", length=b"\x80\x00")
    ).to_bytes()
    files["bad_utf8"] = ReplayFile(username=raw_string(b"\xc3\x28")).to_bytes()
    files["bad_block"] = ReplayFile(block=b"\xe1" + bytes(20)).to_bytes()
    files["big_dict"] = ReplayFile(dict_size=8 << 20, frames=[(1, 2.0, 3.0, 4)]).to_bytes()
    files["raw_text_block"] = ReplayFile(mode=MODE_CTB, block=compress(b"16|1|0|1,-12345|0|0|9")).to_bytes()
    files["life_bar_odd"] = ReplayFile(life_bar="0|NaN,5|1e39,+7|-0,").to_bytes()
    # Truncations of one valid file: at every field boundary and inside the block.
    valid = realistic_replay(MODE_STD, 12, seed=9)
    data = valid.to_bytes()
    cut_points = set()
    position = 0
    for _, field in valid.fields():
        cut_points.update((position, position + 1))
        position += len(field)
    block_at = valid.offset("block")
    cut_points.update(block_at + n for n in (5, 13, 14, 20, 40))
    for at in sorted(p for p in cut_points if p < len(data)):
        files[f"cut_{at:04d}"] = data[:at]
    seeds = {}
    for name, body in files.items():
        seeds[f"{name}_full"] = b"\x00" + body
        seeds[f"{name}_header"] = b"\x01" + body
    return seeds


# The number shapes plays are written in, behind the two opening items: cursor
# coordinates in single precision (some negative), 9999 in field 2 of drums
# and catch, a decimal of the play in the key mode's field 2, a drum x with
# decimals; each item twice, so the second comes from the repeat cache.
REAL_SHAPE_TEXTS = [
    (b"0|256|-500|0,-1|256|-500|0," + b"".join(item * 2 for item in items) + b"-12345|0|0|7,")
    for items in (
        [b"-1523|68.26667|-3.733333|0,", b"16|255.7333|191.2|1,"],
        [b"-1523|320|9999|0,", b"16|320|9999|10,", b"17|368.3333|9999|1,"],
        [b"-1523|256.2667|9999|0,", b"16|263.7333|9999|1,"],
        [b"-1523|0|15.35354|0,", b"17|128|15.35354|0,", b"16|3|15.35354|0,"],
    )
]


def frame_text_seeds() -> dict[str, bytes]:
    seeds = {}
    for mode in MODES:
        frames, seed = generate_play(mode, 16, seed=mode)
        seeds[f"play_{mode}"] = bytes([mode]) + frame_text(mode, frames, seed)
        for i, text in enumerate(EDGE_TEXTS):
            seeds[f"edge_{mode}_{i:02d}"] = bytes([mode]) + text
        for i, text in enumerate(REAL_SHAPE_TEXTS):
            seeds[f"shape_{mode}_{i}"] = bytes([mode]) + text
    return seeds


def life_bar_seeds() -> dict[str, bytes]:
    seeds = {}
    texts = EDGE_LIFE_TEXTS + [life_bar_text([(t * 2000, 1 - t / 20) for t in range(8)])]
    for i, text in enumerate(texts):
        seeds[f"string_{i:02d}"] = b"\x00" + string(text)
        seeds[f"text_{i:02d}"] = b"\x01" + text.encode()
    seeds["absent"] = b"\x00\x00"
    seeds["bad_marker"] = b"\x00\x05"
    seeds["long_length"] = b"\x00\x0b" + b"\x80" * 9 + b"\x02"
    seeds["too_large"] = b"\x00\x0b" + b"\xff" * 19
    return seeds


def debug_text_seeds() -> dict[str, bytes]:
    texts = [
        "plain",
        'tab\tnew\nline\r"quote"\\',
        "\u00e9\u0301\u200d\U0001f600",
        "\x00\x7f\u0085\u2028",
        "\ufeff\ue000\U0010ffff",
    ]
    seeds = {f"text_{i}": t.encode() for i, t in enumerate(texts)}
    seeds["bad_utf8"] = b"\xc3\x28\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80\xf0\x9f\x98"
    floats = [0.0, -0.0, 0.1, 1e16, 1e-5, 5e-324, 1.7976931348623157e308, float("inf"), float("nan")]
    seeds["doubles"] = b"".join(struct.pack("<d", f) for f in floats)
    seeds["floats"] = b"".join(struct.pack("<f", f) for f in (0.1, 3.4e38, 1e-45, -2.5, 16777216.0))
    return seeds


def block_seeds() -> dict[str, bytes]:
    seeds = {}
    for mode in MODES:
        frames, seed = generate_play(mode, 40, seed=mode)
        block = compress(frame_text(mode, frames, seed))
        seeds[f"raw_{mode}"] = bytes([mode]) + block
        seeds[f"base64_{mode}"] = bytes([mode | 4]) + base64.encodebytes(block)
    for index, text in enumerate(EDGE_TEXTS[:8]):
        seeds[f"edge_{index}"] = bytes([index % 4]) + compress(text)
    seeds["presses"] = bytes([3]) + compress(b"1|1,1|3,1|2,9223372036854775807|0,1|1,")
    seeds["bad_base64"] = bytes([4]) + b"QUJD!QQ==Q"
    return seeds


def encode_seeds() -> dict[str, bytes]:
    seeds = {name[:-5]: b"\x04" + body[1:] for name, body in replay_seeds().items() if name.endswith("_full")}
    seeds.update((name, body) for name, body in frame_text_seeds().items())
    return seeds


def windows_seeds() -> dict[str, bytes]:
    seeds = {}
    for mode in MODES:
        frames, seed = generate_play(mode, 12, seed=mode)
        text = frame_text(mode, frames, seed)
        seeds[f"text_{mode}"] = bytes([0x20 | mode | (mode << 2)]) + text
        seeds[f"declared_{mode}"] = bytes([0x60 | mode | 4]) + text
        seeds[f"block_{mode}"] = bytes([mode | 8]) + compress(text)
    for index, text in enumerate(EDGE_TEXTS):
        seeds[f"edge_{index:02d}"] = bytes([0x20 | (index % 4) | ((index % 8) << 2)]) + text
    return seeds


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = pathlib.Path(argv[1])
    targets = {
        "replay": replay_seeds(),
        "frame_text": frame_text_seeds(),
        "life_bar": life_bar_seeds(),
        "debug_text": debug_text_seeds(),
        "block": block_seeds(),
        "encode": encode_seeds(),
        "windows": windows_seeds(),
    }
    for target, seeds in targets.items():
        for name, data in seeds.items():
            write(out / target, name, data)
        print(f"{target}: {len(seeds)} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
