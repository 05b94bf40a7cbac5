"""The play's clock and its key presses as columns: equal to what a reader
would work out from the frames, one press per run of held frames, with the
cursor mode's keyboard keys reported as themselves."""

import itertools
import pickle

import pyarrow as pa
import pytest
from kadenzo import columns as kc
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, ReplayFile, realistic_replay
from test_columns import replays

KEYS_OF = {
    0: ("M1", "M2", "K1", "K2", "SMOKE"),
    1: ("LEFT_DON", "LEFT_KAT", "RIGHT_DON", "RIGHT_KAT"),
    2: ("dashing",),
    3: tuple(f"K{n}" for n in range(1, 19)),
}


def reference_presses(columns):
    """Presses as a reader of the frames would find them, frame by frame."""
    mode = columns.mode.value
    keys = columns.keys.tolist() if "keys" in columns.names else [int(d) for d in columns.dashing.tolist()]
    time = list(itertools.accumulate(columns.time_delta.tolist()))
    rows, open_rows, held = [], {}, 0
    for index, pattern in enumerate(keys):
        if mode == 0:  # a keyboard key hides the mouse bit it sets
            pattern &= ~(1 if pattern & 4 else 0) & ~(2 if pattern & 8 else 0)
        for bit in range(32):
            if held >> bit & 1 and not pattern >> bit & 1:
                open_rows.pop(bit)[2] = time[index]
        for bit in range(32):
            if pattern >> bit & 1 and not held >> bit & 1:
                open_rows[bit] = row = [(1 << bit) - (bit == 31) * 2**32, time[index], time[index], index, False]
                rows.append(row)
        held = pattern
    for row in open_rows.values():
        row[2], row[4] = time[-1], True
    names = dict(enumerate(KEYS_OF[mode]))
    place = [(row[0] & 0xFFFFFFFF).bit_length() - 1 for row in rows]
    return [
        (names.get(bit, f"bit {bit}"), row[0], row[1], row[2], row[2] - row[1], row[3], row[4])
        for bit, row in zip(place, rows)
    ]


def table_rows(presses):
    return list(zip(presses.key_names(), *(presses[name].tolist() for name in presses.names)))


@pytest.mark.parametrize("replay", replays())
def test_time_and_presses_equal_what_the_frames_say(replay):
    columns = kc.frames(replay)
    assert columns.time.tolist() == list(itertools.accumulate(columns.time_delta.tolist()))
    assert pa.table(columns.with_time()).column_names == ["time", *columns.names]
    assert columns.names == columns.with_time().names[1:]
    expected = reference_presses(columns)
    if all(-(2**63) <= row[4] < 2**63 for row in expected):
        assert table_rows(kc.key_presses(columns)) == expected
    else:
        with pytest.raises(OverflowError, match="^a press lasts longer than 64 bits of milliseconds$"):
            kc.key_presses(columns)


def test_the_cursor_modes_keyboard_keys_are_reported_as_themselves():
    # K1 arrives as M1|K1 and K2 as M2|K2; the mouse button counts when alone.
    keys = [0, 5, 5, 1, 11, 10, 10]
    replay = ReplayFile(frames=[(10, 0.0, 0.0, k) for k in keys]).to_bytes()
    presses = kc.key_presses(kc.frames(replay))
    assert table_rows(presses) == [
        ("K1", 4, 20, 40, 20, 1, False),
        ("M1", 1, 40, 60, 20, 3, False),
        ("K2", 8, 50, 70, 20, 4, True),
    ]
    assert pa.table(presses).schema.metadata[b"kadenzo.keys"] == b"M1=1,M2=2,K1=4,K2=8,SMOKE=16"


def test_a_clock_leaving_64_bits_is_an_error_naming_the_frame():
    contents = ReplayFile(frames=[(1, 0.0, 0.0, 0), (2**63 - 1, 0.0, 0.0, 1)]).to_bytes()
    columns = kc.frames(contents)
    assert columns.time_delta.tolist() == [1, 2**63 - 1]  # the fields stay readable
    unpickled = pickle.loads(pickle.dumps(columns))  # the clock is rebuilt, overflow and all
    for read in (
        lambda: columns.time,
        lambda: columns["time"],
        columns.with_time,
        lambda: kc.key_presses(columns),
        lambda: unpickled.time,
    ):
        with pytest.raises(OverflowError, match="^the sum of time_delta leaves 64 bits at frame 1$"):
            read()
    # The frames table leaves such a play's time null, never wrapped.
    from kadenzo import dataset

    assert dataset.read([contents], frames=True).read_all()["time"].null_count == 2


@pytest.mark.parametrize("mode", [MODE_STD, MODE_TAIKO, MODE_CTB, MODE_MANIA])
def test_stats(mode):
    columns = kc.frames(realistic_replay(mode, 2_000, seed=mode).to_bytes())
    figures = kc.stats(columns)
    presses = kc.key_presses(columns)
    positive = sorted(d for d in columns.time_delta.tolist() if d > 0)
    assert figures["frame_count"] == 2_000 and figures["play_length"] == columns.time[-1]
    assert figures["frame_time_median"] == positive[len(positive) // 2] or len(positive) % 2 == 0
    assert sum(figures["presses_by_key"].values()) == figures["presses"] == len(presses)
    assert (figures["path_length"] is None) == (mode in (MODE_TAIKO, MODE_MANIA))
    if mode == MODE_CTB:
        xs = columns.x.tolist()
        assert figures["path_length"] == pytest.approx(sum(abs(b - a) for a, b in zip(xs, xs[1:])))
