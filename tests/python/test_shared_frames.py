"""Frame lists read from a replay share the decoded frames underneath but
behave as copies: a change on either side never shows on the other."""

import pathlib

import kadenzo
import pytest
from kadenzo import GameMode, Key, ReplayEventKivo

SAMPLES_DIR = pathlib.Path(__file__).resolve().parents[2] / "samples"
SAMPLES = {
    "std.kvr": "kivo_replay_data",
    "taiko.kvr": "taiko_replay_data",
    "catch.kvr": "catch_replay_data",
    "mania.kvr": "mania_replay_data",
}


@pytest.mark.parametrize("name, slot", SAMPLES.items())
def test_changing_what_was_read_leaves_the_replay(name, slot):
    replay = kadenzo.parse_replay_from_path(str(SAMPLES_DIR / name))
    before = getattr(replay.replay_data, slot)
    container = replay.replay_data
    frames = getattr(container, slot)
    assert frames == before and frames is not before and frames[0] is not before[0]
    assert container is not replay.replay_data

    frames[0].time_delta += 1000  # a frame read is a copy
    del frames[1:]  # so is the list
    setattr(container, slot, frames[:1])
    setattr(container, slot, None)
    assert getattr(replay.replay_data, slot) == before


def test_changing_the_replay_leaves_what_was_read():
    replay = kadenzo.parse_replay_from_path(str(SAMPLES_DIR / "std.kvr"))
    container = replay.replay_data
    kept = container.kivo_replay_data

    replacement = kadenzo.parse_replay_data(b"1|2|3|4,", GameMode.STD)
    replay.replay_data = replacement
    replacement.kivo_replay_data = [ReplayEventKivo(9, 9.0, 9.0, Key(0))]  # stored as a copy
    assert replay.replay_data.kivo_replay_data == [ReplayEventKivo(1, 2.0, 3.0, Key(4))]
    assert container.kivo_replay_data == kept and len(kept) == 600

    # A container stored back shares nothing it can change with its source.
    replay.replay_data = container
    container.kivo_replay_data = container.kivo_replay_data[:10]
    assert replay.replay_data.kivo_replay_data == kept
