"""kadenzo.dataset: the summary and frames tables equal what the single-file
functions give, whatever form the sources take; projections do less work;
pandas dtypes do not depend on failures; Parquet datasets read back in
pyarrow, polars and DuckDB, and stay valid when interrupted."""

import contextlib
import datetime
import itertools
import os
import pickle
import subprocess
import sys

import kadenzo
import pytest
from kadenzo import _dataset_batches
from kadenzo import columns as kc
from kadenzo.errors import ReplayDecodeError, ReplayError, ReplayFileError
from replay_builder import MODE_TAIKO, MODES, realistic_replay

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pyarrow.compute")  # pa.compute, whatever else the run imported
pytest.importorskip("numpy")
import kadenzo.dataset as kd  # noqa: E402

BROKEN_FRAMES = "e_broken_frames.kvr"  # a whole file whose compressed frames are garbage
TRUNCATED = "f_truncated.kvr"
FRAME_COLUMNS = ("time_delta", "x", "x_int", "y", "keys", "dashing")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A play per mode (one drum play with an x beyond float precision and a
    time stamp outside the calendar), a file whose frames do not decode and a
    truncated file."""
    root = tmp_path_factory.mktemp("plays")
    for index, mode in enumerate(MODES):
        replay = realistic_replay(mode, 300 + 50 * index, seed=index, replay_id=2**64 - 1 - index)
        if mode == MODE_TAIKO:
            replay.frames[3] = (replay.frames[3][0], 2**60 + 1, replay.frames[3][2])
            replay.timestamp = -5
        (root / f"{'abcd'[index]}_{mode}.kvr").write_bytes(replay.to_bytes())
    (root / BROKEN_FRAMES).write_bytes(realistic_replay(0, 100, seed=9, block=b"\x5d" * 40).to_bytes())
    (root / TRUNCATED).write_bytes((root / "a_0.kvr").read_bytes()[:200])
    return root


@pytest.fixture(scope="module")
def paths(folder):
    return sorted(str(path) for path in folder.glob("*.kvr"))


@pytest.fixture(scope="module")
def good_paths(paths):
    return [path for path in paths if not path.endswith((BROKEN_FRAMES, TRUNCATED))]


def expected_frames(paths):
    """The long frames table built the slow way: one file at a time, value by
    value; a file that fails keeps one row, for its error."""
    rows = []
    for index, path in enumerate(paths):
        try:
            columns = kc.frames(path)
        except ReplayError as error:
            failed = dict.fromkeys(kd.schema(frames=True).names)
            rows.append(failed | {"file_index": index, "path": path, "error": error.message})
            continue
        values = {name: columns[name].tolist() for name in columns.names}
        mode = repr(columns.mode).removeprefix("GameMode.")
        times = list(itertools.accumulate(values["time_delta"]))
        for at in range(len(columns)):
            x = values.get("x", [None] * len(columns))[at]
            rows.append(
                {
                    "file_index": index,
                    "path": path,
                    "mode": mode,
                    "time": times[at],
                    "time_delta": values["time_delta"][at],
                    "x": float(x) if x is not None else None,
                    "x_int": x if columns.mode == kadenzo.GameMode.TAIKO else None,
                    "y": values.get("y", [None] * len(columns))[at],
                    "keys": values.get("keys", [None] * len(columns))[at],
                    "dashing": values.get("dashing", [None] * len(columns))[at],
                    "error": None,
                }
            )
    return rows


@pytest.fixture(params=["many files a batch", "a file a batch"])
def batching(request, monkeypatch):
    """Batches of many files copy their columns; a long play's batch (here
    every file's) points into its columns instead."""
    if request.param == "a file a batch":
        monkeypatch.setattr(_dataset_batches, "SHARED_BATCH_ROWS", 1)
        monkeypatch.setattr(_dataset_batches, "SUMMARY_BATCH_ROWS", 1)


def test_frames_table_equals_each_files_columns_concatenated(paths, batching):
    table = kd.read(paths, frames=True).read_all()
    table.validate(full=True)  # offsets, dictionary indices and bitmaps in bounds
    assert table.schema.equals(kd.schema(frames=True), check_metadata=True)
    assert table.to_pylist() == expected_frames(paths)
    drum = table.filter(pa.compute.equal(table["mode"].cast(pa.string()), "TAIKO"))
    assert 2**60 + 1 in drum["x_int"].to_pylist()  # exact, where float x is not


def test_summary_rows_equal_the_decoded_headers(paths, batching):
    table = kd.read(paths).read_all()
    table.validate(full=True)
    assert table.schema.equals(kd.schema(), check_metadata=True)
    rows = table.to_pylist()
    assert [row["path"] for row in rows] == paths
    for path, row in zip(paths, rows):
        if row["error"] is not None:
            assert all(value is None for name, value in row.items() if name not in ("path", "error"))
            continue
        replay = kadenzo.parse_replay_from_path(path)
        for name in (
            "game_version",
            "beatmap_hash",
            "username",
            "replay_hash",
            "count_300",
            "count_miss",
            "score",
            "max_combo",
            "perfect",
            "timestamp",
            "replay_id",
            "rng_seed",
        ):
            assert row[name] == getattr(replay, name), name
        assert row["mode"] == repr(replay.mode).removeprefix("GameMode.")
        assert (row["mods"], row["mods_names"]) == (int(replay.mods), kadenzo.mods.names(replay.mods))
        assert row["frame_count"] == len(kc.frames(replay))
        ticks = replay.timestamp
        assert row["played_at"] == (
            None
            if ticks < 0
            else datetime.datetime(1, 1, 1, tzinfo=datetime.UTC) + datetime.timedelta(microseconds=ticks // 10)
        )


WITHOUT_PYARROW = """
import sys
sys.modules["pyarrow"] = None  # import fails, as where it is not installed
import polars
import kadenzo.dataset as kd

paths = sys.argv[1:]
streams = {frames: kd.read(paths, frames=frames) for frames in (False, True)}
assert not hasattr(streams[True], "read_all")
capsules = {frames: (s.__arrow_c_schema__(), s.__arrow_c_stream__()) for frames, s in streams.items()}
try:
    streams[True].__arrow_c_stream__()
    raise AssertionError("a stream taken twice")
except ValueError:
    pass
frames_frame = polars.DataFrame(kd.read(paths, frames=True))
raising = kd.read(paths, errors="raise").__arrow_c_stream__()

del sys.modules["pyarrow"]
import pyarrow as pa

for frames, (schema, stream) in capsules.items():
    table = pa.RecordBatchReader._import_from_c_capsule(stream).read_all()
    expected = kd.read(paths, frames=frames).read_all()
    assert pa.Schema._import_from_c_capsule(schema) == table.schema == expected.schema
    assert table.equals(expected), frames
assert frames_frame.to_dict(as_series=False) == expected.to_pydict()
try:
    pa.RecordBatchReader._import_from_c_capsule(raising).read_all()
except Exception as error:
    print(error)
"""


def test_read_without_pyarrow_gives_an_arrow_c_stream(paths):
    pytest.importorskip("polars")
    run = subprocess.run(
        [sys.executable, "-c", WITHOUT_PYARROW, *paths],
        capture_output=True,
        text=True,
        env=os.environ | {"PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert run.returncode == 0, run.stderr
    # errors="raise" through a C stream: the first failure's type and message, as text.
    assert "ReplayDecodeError: " in run.stdout and BROKEN_FRAMES in run.stdout


@pytest.mark.parametrize("form", ["list of bytes", "binary array", "large binary chunks", "ray batch", "duckdb blobs"])
@pytest.mark.parametrize("frames", [False, True], ids=["summary", "frames"])
def test_contents_give_the_tables_of_paths(paths, form, frames):
    contents = [open(path, "rb").read() for path in paths]
    named = form in ("ray batch", "duckdb blobs")
    source = {
        "list of bytes": contents,
        "binary array": pa.array(contents, pa.binary()),
        "large binary chunks": pa.chunked_array([contents[:2], contents[2:]], pa.large_binary()),
        "ray batch": pa.table({"bytes": contents, "path": paths}),
        "duckdb blobs": pa.record_batch({"filename": paths, "content": contents, "size": map(len, contents)}),
    }[form]
    from_contents = kd.read(source, frames=frames).read_all()
    from_paths = kd.read(paths, frames=frames).read_all()
    if not named:
        assert from_contents["path"].null_count == len(from_contents)
        from_contents, from_paths = from_contents.drop_columns("path"), from_paths.drop_columns("path")
    # The failures read the same but for the file-reading ones, which need a path.
    assert from_contents.drop_columns("error").equals(from_paths.drop_columns("error"))


def test_projection_reads_only_what_it_needs(paths):
    # Without frame_count, rng_seed and error, only headers are read: the file
    # whose frames are damaged gives its header, where a full decode fails.
    broken = paths.index(next(path for path in paths if path.endswith(BROKEN_FRAMES)))
    scan = kd.read(paths, columns=["username", "path", "mods"]).read_all()
    assert scan.column_names == ["username", "path", "mods"]
    assert scan["username"][broken].is_valid
    full = kd.read(paths, columns=["username", "error"]).read_all()
    assert not full["username"][broken].is_valid and full["error"][broken].is_valid
    frames = kd.read(paths, frames=True, columns=["x", "file_index"]).read_all()
    whole = kd.read(paths, frames=True).read_all()
    assert frames.equals(whole.select(["x", "file_index"]).replace_schema_metadata(frames.schema.metadata))
    with pytest.raises(ValueError, match="unknown column 'speed'"):
        kd.read(paths, columns=["speed"])


@pytest.mark.parametrize("frames", [False, True], ids=["summary", "frames"])
def test_pandas_dtypes_do_not_depend_on_failures(paths, good_paths, frames):
    with_failures = kd.read(paths, frames=frames).read_all().to_pandas()
    without = kd.read(good_paths, frames=frames).read_all().to_pandas()
    assert with_failures.dtypes.astype(str).to_dict() == without.dtypes.astype(str).to_dict()
    assert "object" not in with_failures.dtypes.astype(str).tolist()
    if not frames:  # 64-bit values stay exact beside the failed rows' gaps
        assert with_failures["replay_id"].dropna().tolist() == without["replay_id"].tolist()


def test_one_schema_across_modes(good_paths):
    tables = [kd.read([path], frames=True).read_all() for path in good_paths]
    assert pa.concat_tables(tables).num_rows == sum(table.num_rows for table in tables)


@pytest.mark.parametrize("errors", ["column", "skip", "raise"])
def test_errors(paths, errors):
    reader = kd.read(paths, errors=errors)
    if errors == "raise":
        with pytest.raises(ReplayDecodeError) as info:
            reader.read_all()
        assert info.value.path.endswith(BROKEN_FRAMES)  # the first failure in input order
        return
    table = reader.read_all()
    failed = [os.path.basename(row["path"]) for row in table.to_pylist() if row["error"]]
    assert failed == ([BROKEN_FRAMES, TRUNCATED] if errors == "column" else [])
    assert table.num_rows == len(paths) - (2 if errors == "skip" else 0)


def test_missing_file_and_bad_arguments(tmp_path):
    table = kd.read([str(tmp_path / "absent.kvr")]).read_all()
    assert table["error"][0].as_py() == "cannot read the file: No such file or directory"
    with pytest.raises(ReplayFileError):
        kd.read([str(tmp_path / "absent.kvr")], errors="raise").read_all()
    for call, kind in [
        (lambda: kd.read([], errors="ignore"), ValueError),
        (lambda: kd.read([], threads=0), ValueError),
        (lambda: kd.read([], threads="2"), TypeError),
        (lambda: kd.read([1, 2]), TypeError),
        (lambda: kd.read([], frames=True, header_only=True), ValueError),
    ]:
        with pytest.raises(kind):
            call()


def test_folders_and_glob_patterns(folder, paths, tmp_path):
    by_folder = kd.read(str(folder), columns=["path"]).read_all()["path"].to_pylist()
    by_pattern = kd.read(str(folder / "**" / "*.kvr"), columns=["path"]).read_all()["path"].to_pylist()
    assert by_folder == by_pattern == paths
    # File names match ignoring case in a walk and a pattern alike; folder names as they are.
    for name in ("UPPER.KVR", "sub/lower.kvr", "sub/Mixed.Kvr", "sub/other.txt", "Sub2/x.kvr"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    found = [
        [os.path.relpath(path, tmp_path) for path in kd.read(source, columns=["path"]).read_all()["path"].to_pylist()]
        for source in (str(tmp_path), str(tmp_path / "**" / "*.kvr"), str(tmp_path / "sub" / "*.KVR"))
    ]
    assert found[0] == ["UPPER.KVR", "Sub2/x.kvr", "sub/Mixed.Kvr", "sub/lower.kvr"]
    assert sorted(found[1]) == sorted(found[0]) and found[2] == ["sub/Mixed.Kvr", "sub/lower.kvr"]
    for glob, kind in [(5, TypeError), (None, TypeError), ("a/b", ValueError), ("", ValueError)]:
        with pytest.raises(kind, match="glob"):
            kd.read(str(tmp_path), glob=glob)


@pytest.mark.parametrize("path", ["samples/std.kvr", "samples/taiko.kvr", "samples/catch.kvr", "samples/mania.kvr"])
def test_frame_columns_pickle(path):
    from helpers import ROOT

    columns = kc.frames(ROOT / path)
    copy = pickle.loads(pickle.dumps(columns))
    assert (copy.mode, copy.rng_seed, copy.names, len(copy)) == (
        columns.mode,
        columns.rng_seed,
        columns.names,
        len(columns),
    )
    assert all(copy[name].tolist() == columns[name].tolist() for name in columns.names)
    assert pa.table(copy).equals(pa.table(columns))
    rebuild, (mode, seed, length, values) = columns.__reduce__()
    with pytest.raises(ValueError):  # values that do not fit the length are refused, not read past
        rebuild(mode, seed, length + 1, values)


# --- Parquet datasets ------------------------------------------------------------------


def sort_by(table, *keys):
    return table.sort_by([(key, "ascending") for key in keys])


def test_parquet_dataset_reads_back_in_pyarrow_polars_and_duckdb(paths, tmp_path):
    import pyarrow.dataset

    out = tmp_path / "out"
    written = kd.write_parquet(paths, out, rows_per_file=500)
    assert all(path.endswith(".parquet") and "/mode=" in path for path in written)
    assert not [name for _, _, names in os.walk(out) for name in names if name.endswith(".partial")]
    for name, frames, keys in [("headers", False, ["path"]), ("frames", True, ["file_index", "time"])]:
        expected = kd.read(paths, frames=frames).read_all()
        plain = {
            field.name: (field.type.value_type if pa.types.is_dictionary(field.type) else field.type)
            for field in expected.schema
        }
        expected = sort_by(expected.cast(pa.schema(plain.items())), *keys)
        read = pyarrow.dataset.dataset(out / name, format="parquet", partitioning="hive").to_table()
        read = sort_by(read.select(expected.column_names).cast(expected.schema), *keys)
        assert read.equals(expected), name

        polars = pytest.importorskip("polars")
        frame = polars.scan_parquet(str(out / name / "**" / "*.parquet"), hive_partitioning=True).collect()
        assert frame.height == expected.num_rows
        duckdb = pytest.importorskip("duckdb")
        [(count,)] = duckdb.sql(
            f"SELECT count(*) FROM read_parquet('{out / name}/**/*.parquet', "
            f"hive_partitioning = true) WHERE mode = 'STD'"
        ).fetchall()
        assert count == pa.compute.sum(pa.compute.equal(expected["mode"], "STD")).as_py()
    with pytest.raises(FileExistsError):
        kd.write_parquet(paths, out)


def test_interrupted_parquet_dataset_keeps_only_whole_parts(good_paths, tmp_path):
    import pyarrow.parquet

    def sources():
        yield from good_paths * 3
        raise KeyboardInterrupt

    out = tmp_path / "out"
    with pytest.raises(KeyboardInterrupt):
        kd.write_parquet(sources(), out, rows_per_file=300)
    files = [os.path.join(root, name) for root, _, names in os.walk(out) for name in names]
    assert files and all(name.endswith(".parquet") for name in files)  # no unfinished part left
    assert all(pyarrow.parquet.read_table(name).num_rows <= 300 for name in files)


@pytest.mark.parametrize("ending", [None, RuntimeError])
def test_parquet_dataset_appears_under_its_name_only_when_whole(good_paths, tmp_path, ending):
    out = tmp_path / "out"
    out.mkdir()  # an empty folder is replaced; nothing in it is lost

    def sources():
        for path in good_paths:
            assert not any(out.iterdir())  # written beside, under a hidden name
            yield path
        if ending:
            raise ending()

    with pytest.raises(ending) if ending else contextlib.nullcontext():
        written = kd.write_parquet(sources(), out, rows_per_file=300)
    if ending:
        assert os.listdir(tmp_path) == ["out"] and not any(out.iterdir())  # the partial folder is gone too
    else:
        assert os.listdir(tmp_path) == ["out"] and all(os.path.isfile(path) for path in written)
        assert all(path.startswith(f"{out}/") for path in written)


# --- engines: the parts that run without them ---------------------------------------


def test_duckdb_recipe(paths):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    plays = kd.read(paths)  # noqa: F841 (DuckDB scans the reader by its variable name)
    modes = con.sql("SELECT mode, count(*) AS n FROM plays WHERE error IS NULL GROUP BY mode ORDER BY mode").fetchall()
    assert modes == [("CTB", 1), ("MANIA", 1), ("STD", 1), ("TAIKO", 1)]
    blobs = con.sql(f"SELECT filename, content FROM read_blob({[str(p) for p in paths]!r}) ORDER BY filename")
    blobs = blobs.to_arrow_table()  # whole: a stream still open would hold the connection
    frames = kd.read(blobs, frames=True)  # noqa: F841 (scanned by name)
    [(total,)] = con.sql("SELECT count(*) FROM frames WHERE error IS NULL").fetchall()
    assert total == sum(len(kc.frames(path)) for path in paths[:4])


def test_ray_and_spark_batch_functions(paths):
    contents = [open(path, "rb").read() for path in paths]
    ray_batch = pa.table({"bytes": contents, "path": paths})
    decoded = pa.Table.from_batches(kd.decode_batches([ray_batch.to_batches()[0]], frames=True, plain_types=True))
    assert not any(pa.types.is_dictionary(field.type) for field in decoded.schema)
    assert decoded.num_rows == kd.read(paths, frames=True).read_all().num_rows


@pytest.mark.parametrize("names", [[TRUNCATED, "missing.kvr"], []], ids=["every file failed", "no file"])
def test_parquet_dataset_without_one_good_play_still_reads(folder, tmp_path, names):
    import pyarrow.dataset

    kd.write_parquet([str(folder / name) for name in names], tmp_path / "out", rows_per_file=1)
    tables = {
        name: pyarrow.dataset.dataset(tmp_path / "out" / name, format="parquet", partitioning="hive").to_table()
        for name in ("headers", "frames")
    }
    for name, table in tables.items():  # a failed file has a row in each, every column kept, the mode null
        assert table.num_rows == len(names), name
        if names:
            assert table.schema.names == kd.schema(frames=name == "frames").names
            assert table["mode"].null_count == len(names) and table["error"].null_count == 0
