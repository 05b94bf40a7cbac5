"""kadenzo.columns: the frames of a play as typed buffers and Arrow data, equal
to the frame objects, sharing one memory, alive as long as any reader."""

import gc
import math
import pathlib

import kadenzo
import pytest
from kadenzo import GameMode
from kadenzo import columns as kc
from kadenzo._native import frame_count
from replay_builder import MODE_CTB, MODE_MANIA, MODE_STD, MODE_TAIKO, ReplayFile, realistic_replay

ROOT = pathlib.Path(__file__).resolve().parents[2]
LISTS = {
    GameMode.STD: "kivo_replay_data",
    GameMode.TAIKO: "taiko_replay_data",
    GameMode.CTB: "catch_replay_data",
    GameMode.MANIA: "mania_replay_data",
}
FORMATS = {  # the mode's fields and their buffer format codes
    GameMode.STD: {"time_delta": "q", "x": "d", "y": "d", "keys": "i"},
    GameMode.TAIKO: {"time_delta": "q", "x": "q", "keys": "i"},
    GameMode.CTB: {"time_delta": "q", "x": "d", "dashing": "?"},
    GameMode.MANIA: {"time_delta": "q", "keys": "i"},
}
# Extremes of every field type: 64-bit deltas, NaN and infinite positions,
# keys with bit 31 set, and both dash states.
EDGE_FRAMES = {
    MODE_STD: [(-(2**63), math.nan, -math.inf, -1), (2**63 - 1, 1e300, -0.0, 2**31 - 1), (16, 0.5, 2.25, 21)],
    MODE_TAIKO: [(-5, -(2**63), -(2**31)), (7, 2**63 - 1, 15)],
    MODE_CTB: [(16, 511.5, True), (-1, math.inf, False), (0, -0.0, True)],
    MODE_MANIA: [(16, -1), (0, 2**18 - 1)],
}


def replays():
    """Sample files, realistic plays and edge frames of every mode."""
    made = [kadenzo.parse_replay_from_path(str(p)) for p in sorted((ROOT / "samples").glob("*.kvr"))]
    for mode in (MODE_STD, MODE_TAIKO, MODE_CTB, MODE_MANIA):
        made.append(kadenzo.parse_replay_from_bytes(realistic_replay(mode, 3_000, seed=mode).to_bytes()))
        made.append(kadenzo.parse_replay_from_bytes(ReplayFile(mode=mode, frames=EDGE_FRAMES[mode]).to_bytes()))
    return made


def as_values(frame):
    return [
        int(value) if field == "keys" else value
        for field, value in ((f, getattr(frame, f)) for f in FORMATS[mode_of(frame)])
    ]


def mode_of(frame):
    return {
        "ReplayEventKivo": GameMode.STD,
        "ReplayEventTaiko": GameMode.TAIKO,
        "ReplayEventCatch": GameMode.CTB,
        "ReplayEventMania": GameMode.MANIA,
    }[type(frame).__name__]


def same(a, b):
    """Equal values, NaN equal to NaN, and -0.0 apart from 0.0."""
    return all(x == y or (x != x and y != y) for x, y in zip(a, b)) and [
        math.copysign(1, v) for v in a if isinstance(v, float)
    ] == [math.copysign(1, v) for v in b if isinstance(v, float)]


@pytest.mark.parametrize("replay", replays(), ids=lambda r: f"{r.mode!r}-{r.username}")
def test_columns_hold_the_values_of_the_frame_objects(replay):
    columns = kc.frames(replay)
    objects = getattr(replay.replay_data, LISTS[replay.mode])
    assert (columns.mode, columns.rng_seed, len(columns)) == (replay.mode, replay.rng_seed, len(objects))
    assert columns.names == tuple(FORMATS[replay.mode])
    for name, code in FORMATS[replay.mode].items():
        view = getattr(columns, name)
        assert (view.format, view.readonly, view.ndim, len(view)) == (code, True, 1, len(objects))
    rows = list(zip(*(columns[name].tolist() for name in columns.names)))
    assert len(rows) == len(objects)
    for row, frame in zip(rows, objects):
        assert same(row, as_values(frame)), (row, frame)


def test_sources_path_pathlike_and_contents_give_the_same_columns():
    path = ROOT / "samples" / "catch.kvr"
    data = path.read_bytes()
    replay = kadenzo.parse_replay_from_path(str(path))
    expected = kc.frames(replay)
    figures, presses = kc.stats(expected), kc.key_presses(expected).press_time.tolist()
    for source in (str(path), path, data, bytearray(data), memoryview(data)):
        got = kc.frames(source)
        assert (got.mode, got.rng_seed, got.names) == (expected.mode, expected.rng_seed, expected.names)
        assert all(got[n].tolist() == expected[n].tolist() for n in got.names), type(source)
    # stats and key_presses take the same sources as frames, and a Replay too.
    for source in (replay, str(path), path, data):
        assert kc.stats(source) == figures and kc.key_presses(source).press_time.tolist() == presses
    with pytest.raises(TypeError):
        kc.stats(5)  # type: ignore[arg-type]


def test_header_only_replay_gives_empty_columns():
    header = kadenzo.parse_replay_from_path(str(ROOT / "samples" / "std.kvr"), header_only=True)
    columns = kc.frames(header)
    assert len(columns) == 0 and columns.rng_seed is None and columns.x.tolist() == []
    assert frame_count(header) is None


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.dashing, AttributeError),  # a field of another mode
        (lambda c: c["dashing"], KeyError),
        (lambda c: memoryview(c.x).cast("B").__setitem__(0, 1), TypeError),  # read-only
        (lambda c: kc.frames(42), TypeError),
    ],
)
def test_misuse_raises(call, error):
    with pytest.raises(error):
        call(kc.frames(str(ROOT / "samples" / "std.kvr")))


def test_columns_are_read_in_place_and_outlive_their_object():
    np = pytest.importorskip("numpy")
    columns = kc.frames(str(ROOT / "samples" / "std.kvr"))
    first, second = np.asarray(columns.x), np.asarray(columns["x"])
    assert np.shares_memory(first, second)
    assert type(first.base.obj).__name__ == "ColumnBuffer"  # the buffer's owner, no copy in between
    assert not first.flags.writeable
    expected = first.copy()
    del columns, second
    gc.collect()
    assert (first == expected).all()


def test_to_numpy_and_to_pandas():
    np = pytest.importorskip("numpy")
    pd = pytest.importorskip("pandas")
    columns = kc.frames(str(ROOT / "samples" / "catch.kvr"))
    arrays = columns.to_numpy()
    assert {n: a.dtype for n, a in arrays.items()} == {"time_delta": np.int64, "x": np.float64, "dashing": bool}
    assert np.shares_memory(arrays["x"], np.asarray(columns.x))
    structured = columns.to_numpy(structured=True)
    assert structured.dtype.names == columns.names and structured["x"].tolist() == columns.x.tolist()
    frame = columns.to_pandas()
    assert list(frame.columns) == list(columns.names) and frame["dashing"].tolist() == columns.dashing.tolist()
    assert isinstance(frame, pd.DataFrame)


@pytest.mark.parametrize("sample", ["std", "taiko", "catch", "mania"])
def test_arrow_round_trip_without_copy(sample):
    pa = pytest.importorskip("pyarrow")
    np = pytest.importorskip("numpy")
    columns = kc.frames(str(ROOT / "samples" / f"{sample}.kvr"))
    table = pa.table(columns)
    assert table.column_names == list(columns.names)
    assert table.schema.metadata == {
        b"kadenzo.mode": repr(columns.mode).split(".")[1].encode(),
        b"kadenzo.rng_seed": str(columns.rng_seed).encode(),
    }
    for name in columns.names:
        assert table[name].to_pylist() == columns[name].tolist(), name
        if columns[name].format != "?":  # booleans travel packed, one bit each
            assert table[name].chunks[0].buffers()[1].address == np.asarray(columns[name]).ctypes.data
    batch = pa.record_batch(columns)
    schema = pa.schema(columns)
    expected = table.to_pydict()
    del columns, table
    gc.collect()  # the exported arrays keep the memory alive
    assert batch.schema == schema and batch.to_pydict() == expected


def test_polars_takes_the_columns():
    pl = pytest.importorskip("polars")
    columns = kc.frames(str(ROOT / "samples" / "mania.kvr"))
    frame = pl.DataFrame(columns)
    assert frame.columns == list(columns.names) and frame["keys"].to_list() == columns.keys.tolist()
    assert pl.from_arrow(columns).struct.unnest().equals(frame)


@pytest.mark.parametrize("header_only", [False, True])
def test_bulk_decode_yields_columns_made_on_the_pool(header_only, tmp_path):
    from kadenzo import bulk

    damaged = tmp_path / "damaged.kvr"
    damaged.write_bytes((ROOT / "samples" / "std.kvr").read_bytes()[:300])
    paths = [*sorted((ROOT / "samples").glob("*.kvr")), damaged]
    results = list(bulk.decode(paths, frames="columns", header_only=header_only, threads=2))
    assert [r.ok for r in results] == [True] * 4 + [False] and results[-1].columns is None
    for result in results[:-1]:
        expected = kc.frames(kadenzo.parse_replay_from_path(str(result.path), header_only=header_only))
        columns = result.columns
        assert (columns.mode, columns.rng_seed, len(columns)) == (expected.mode, expected.rng_seed, len(expected))
        assert all(columns[n].tolist() == expected[n].tolist() for n in columns.names)
        assert result.replay.rng_seed == expected.rng_seed and result.replay.mode == expected.mode
        data = result.replay.replay_data  # the frames went into the columns
        assert [data.kivo_replay_data, data.taiko_replay_data, data.catch_replay_data, data.mania_replay_data] == [
            None
        ] * 4
    assert all(r.columns is None for r in bulk.decode(paths[:2]))
