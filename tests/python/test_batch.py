"""parse_replays_from_paths: argument rules, result order, the reported failure, and the worker pool's size."""

import json
import os
import pathlib
import subprocess
import sys

import kadenzo
import pytest
from helpers import NOT_FOUND, SLOTS, UNWRAP
from kadenzo import parse_replay_from_path, parse_replays_from_paths
from replay_builder import MODES, ReplayFile, realistic_replay


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Named test files: six distinct good plays, a file that does not decode,
    and one that fails only after a large block has been decoded."""
    folder = tmp_path_factory.mktemp("batch")
    contents = {f"good{i}": realistic_replay(MODES[i % 4], 40 + i, seed=i).to_bytes() for i in range(6)}
    contents["bad"] = contents["good0"][:-30]  # the block runs past the end of the file
    # The online id is cut to 2 bytes, so the failure comes after 40,000 frames were decoded.
    contents["slow_bad"] = ReplayFile(frames=[(16, 256.1234, 192.5678, 1)] * 40_000).to_bytes()[:-6]
    contents["garbage_block"] = ReplayFile(block=b"\xff" * 64).to_bytes()
    paths = {"missing": str(folder / "missing.kvr")}
    for name, data in contents.items():
        (folder / f"{name}.kvr").write_bytes(data)
        paths[name] = str(folder / f"{name}.kvr")
    return paths


def reprs(replays):
    return [repr(replay) for replay in replays]


@pytest.mark.parametrize(
    "args, error, message",
    [
        # paths is converted before header_only, and nothing is read before both are.
        (("a.kvr", 1), ValueError, "Can't extract `str` to `Vec`"),
        (((p for p in ["a"]), 1), TypeError, "argument 'paths': 'generator' object cannot be converted to 'Sequence'"),
        (({"a": 1},), TypeError, "argument 'paths': 'dict' object cannot be converted to 'Sequence'"),
        ((["a", b"b"], 1), TypeError, "argument 'paths': 'bytes' object cannot be converted to 'PyString'"),
        ((["/nonexistent"], 1), TypeError, "argument 'header_only': 'int' object cannot be converted to 'PyBool'"),
        (
            (("/nonexistent",), None),
            TypeError,
            "argument 'header_only': 'NoneType' object cannot be converted to 'PyBool'",
        ),
    ],
)
def test_argument_errors_in_order(args, error, message):
    with pytest.raises(BaseException) as info:
        parse_replays_from_paths(*args)
    assert type(info.value) is error and str(info.value) == message


def test_results_follow_path_order(files):
    names = ["good3", "good0", "good5", "good1", "good4", "good2", "good0"]
    paths = [files[name] for name in names]
    expected = reprs(parse_replay_from_path(path) for path in paths)
    assert reprs(parse_replays_from_paths(paths)) == expected
    assert reprs(parse_replays_from_paths(tuple(paths), False)) == expected
    assert reprs(parse_replays_from_paths(paths=paths[:1])) == expected[:1]
    assert parse_replays_from_paths([]) == [] and parse_replays_from_paths((), True) == []


def test_relative_paths_start_in_the_working_directory(files, monkeypatch):
    monkeypatch.chdir(pathlib.Path(files["good1"]).parent)
    assert reprs(parse_replays_from_paths(["good1.kvr", "./good2.kvr"])) == reprs(
        [parse_replay_from_path(files["good1"]), parse_replay_from_path(files["good2"])]
    )


def test_header_only(files):
    paths = [files[name] for name in ("good0", "good1", "good2", "good3", "garbage_block")]
    replays = parse_replays_from_paths(paths, header_only=True)
    # The block is not looked at, so a block that is no LZMA stream does not matter.
    assert reprs(replays) == reprs(parse_replay_from_path(path, True) for path in paths)
    for replay, full in zip(replays[:4], parse_replays_from_paths(paths[:4])):
        assert [getattr(replay.replay_data, slot) for slot in SLOTS] == [None] * 4 and replay.rng_seed is None
        assert (replay.username, replay.score, replay.mods, replay.replay_id) == (
            full.username,
            full.score,
            full.mods,
            full.replay_id,
        )


def test_duplicate_paths_give_independent_objects(files):
    first, second = parse_replays_from_paths([files["good2"], files["good2"]])
    assert first is not second and repr(first) == repr(second)
    first.username = "changed"
    assert second.username == parse_replay_from_path(files["good2"]).username


@pytest.mark.parametrize(
    "names, failing",
    [
        (["missing"], "missing"),
        (["bad"], "bad"),
        (["good0", "missing", "bad"], "missing"),
        (["good0", "bad", "missing"], "bad"),
        (["good0"] * 5 + ["bad"], "bad"),
        (["garbage_block", "missing"], "garbage_block"),
        # The missing file fails first in time; the lower index is still the one reported.
        (["slow_bad", "missing", "good1", "missing"], "slow_bad"),
    ],
)
def test_lowest_index_failure_is_reported(files, panic, names, failing):
    expected = panic(parse_replay_from_path, files[failing])
    assert panic(parse_replays_from_paths, [files[name] for name in names]) == expected


def test_reported_messages(files, panic):
    assert panic(parse_replays_from_paths, [files["good0"], files["missing"]]) == NOT_FOUND
    assert panic(parse_replays_from_paths, [files["good0"], files["garbage_block"]]) == UNWRAP + "Format"


# Runs in a fresh interpreter limited to one processor, so "one thread per
# processor" is 1 and every explicit size is told apart from it.
POOL_CHILD = """
import json, os, sys
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import kadenzo

def threads():
    return len(os.listdir("/proc/self/task"))

before = threads()
kadenzo.parse_replays_from_paths([])
created = threads() - before
os.environ["RAYON_NUM_THREADS"] = "5"
os.environ["RAYON_RS_NUM_CPUS"] = "6"
results = kadenzo.parse_replays_from_paths(sys.argv[1:])
print(json.dumps({"created": created, "later": threads() - before, "reprs": [repr(r) for r in results]}))
"""


@pytest.mark.parametrize(
    "num_threads, num_cpus, expected",
    [
        (None, None, 1),
        ("2", None, 2),
        ("+3", "4", 3),
        ("0", "4", 1),  # 0 means one per processor; the second variable is not read
        ("abc", "4", 4),
        (" 2", "+3", 3),
        ("-2", "0", 1),
        ("18446744073709551617", "3", 3),
        (b"\xff2", "2", 2),  # not valid Unicode
        ("x", "y", 1),
    ],
)
def test_pool_size_is_fixed_by_the_environment_at_creation(files, num_threads, num_cpus, expected):
    env = {key: value for key, value in os.environb.items() if not key.startswith(b"RAYON_")}
    env[b"PYTHONPATH"] = os.fsencode(os.path.dirname(kadenzo.__file__))
    for name, value in ((b"RAYON_NUM_THREADS", num_threads), (b"RAYON_RS_NUM_CPUS", num_cpus)):
        if value is not None:
            env[name] = os.fsencode(value)
    paths = [files[f"good{i}"] for i in range(6)]
    done = subprocess.run(
        [sys.executable, "-c", POOL_CHILD, *paths], env=env, capture_output=True, check=True, timeout=60
    )
    result = json.loads(done.stdout)
    # Created by the first call, even for an empty list; later changes of the variables do nothing.
    assert (result["created"], result["later"]) == (expected, expected)
    # Order holds for any pool size, smaller or larger than the number of paths.
    assert result["reprs"] == reprs(parse_replay_from_path(path) for path in paths)
