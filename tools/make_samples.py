"""Writes the sample replays in samples/: one small, deterministic play per mode.

    python3 tools/make_samples.py [output_dir]

The same builder and seeds always give the same plays, so rerunning only
changes the files if the builder or the compressor changes.
"""

import pathlib
import sys

from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, realistic_replay

# (file name, mode, frame count, seed of the play)
SAMPLES = (
    ("std.kvr", MODE_STD, 600, 1),
    ("taiko.kvr", MODE_TAIKO, 400, 2),
    ("catch.kvr", MODE_CTB, 450, 3),
    ("mania.kvr", MODE_MANIA, 500, 4),
)


def main(argv: list[str]) -> int:
    out_dir = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[1] / "samples"
    out_dir.mkdir(parents=True, exist_ok=True)
    for name, mode, frame_count, seed in SAMPLES:
        data = realistic_replay(mode, frame_count, seed).to_bytes()
        (out_dir / name).write_bytes(data)
        print(f"{out_dir / name}: {len(data)} bytes, {frame_count} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
