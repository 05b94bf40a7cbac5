"""Decodes every replay in samples/ and prints a summary line per file.

    .venv/bin/python scripts/show_samples.py [samples_dir]

Each file is decoded on its own with parse_replay_from_path, then the whole
folder once more in one batch call.
"""

import pathlib
import sys

import kadenzo

# The frame list that holds the frames of each mode.
FRAME_SLOT = {
    "STD": "kivo_replay_data",
    "TAIKO": "taiko_replay_data",
    "CTB": "catch_replay_data",
    "MANIA": "mania_replay_data",
}


def mode_name(mode) -> str:
    return repr(mode).removeprefix("GameMode.")


def summary(path: pathlib.Path, replay) -> str:
    mode = mode_name(replay.mode)
    frames = getattr(replay.replay_data, FRAME_SLOT[mode], None)
    counts = (
        f"300={replay.count_300} 100={replay.count_100} 50={replay.count_50} "
        f"geki={replay.count_geki} katu={replay.count_katu} miss={replay.count_miss}"
    )
    return (
        f"{path.name}: mode={mode} player={replay.username!r} score={replay.score} "
        f"mods={replay.mods!r} {counts} max_combo={replay.max_combo} "
        f"frames={len(frames) if frames is not None else 0} seed={replay.rng_seed}"
    )


def decode_all(paths: list[str]) -> list:
    batch = getattr(kadenzo, "parse_replays_from_paths", None)
    if batch is None:
        return [kadenzo.parse_replay_from_path(p) for p in paths]
    return batch(paths)


def main(argv: list[str]) -> int:
    folder = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[1] / "samples"
    paths = sorted(p for p in folder.iterdir() if p.is_file() and p.suffix == ".kvr")
    for path in paths:
        print(summary(path, kadenzo.parse_replay_from_path(str(path))))
    replays = decode_all([str(p) for p in paths])
    print(f"batch: {len(replays)} of {len(paths)} replays decoded")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
