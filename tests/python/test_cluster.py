"""examples/cluster_decode.py on a two-process LocalCluster standing in for a
real cluster: the table equals the single-process one row for row, the frame
arrays hold the frames that were written, and a damaged file costs one row,
not a task."""
import itertools
import os
import pathlib
import subprocess
import sys

import pytest

from replay_builder import MODES, realistic_replay

from helpers import ROOT

pytestmark = pytest.mark.tooling
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

EXAMPLES = ROOT / "examples"

sys.path.insert(0, str(EXAMPLES))
import cluster_decode  # noqa: E402
import replay_table  # noqa: E402

MODE_NAMES = ("STD", "TAIKO", "CTB", "MANIA")  # by mode number
TIMEOUT = 120  # seconds; generous for a loaded machine
PARTITION_SIZE = 8  # several partitions, one of them holding the damaged file
DAMAGED = "play21.kvr"


@pytest.fixture(scope="module")
def client():
    # Spawned workers start with this process's sys.path. Those of a real
    # cluster have no copy of examples/, so ours must not see it either: the
    # modules must reach them through ship_code.
    saved = sys.path[:]
    sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != EXAMPLES]
    try:
        cluster = cluster_decode.local_cluster(2, dashboard_address=None)
    finally:
        sys.path[:] = saved
    with cluster, distributed.Client(cluster, timeout=TIMEOUT) as client:
        cluster_decode.ship_code(client)
        yield client


def computed(client, collection):
    # A task the workers cannot load, or one that raises a BaseException, is
    # never reported as failed: it is waited for. Bound the wait.
    return client.compute(collection).result(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """(folder, {path: ReplayFile}) of 40 plays in all modes, and a damaged
    file in the middle of the path order."""
    folder = tmp_path_factory.mktemp("plays")
    built = {}
    for i in range(41):
        path = folder / f"play{i:02}.kvr"
        # Online ids near 2**64 must come back exactly, whatever else is in the table.
        replay = realistic_replay(MODES[i % 4], 200 + 7 * i, seed=i, replay_id=2**64 - 1 - i)
        data = replay.to_bytes()
        if path.name == DAMAGED:
            data = data[:len(data) // 2]  # cut inside the compressed frames
        else:
            built[str(path)] = replay
        path.write_bytes(data)
    return folder, built


@pytest.fixture(scope="module")
def paths(corpus):
    return replay_table.replay_paths(corpus[0])


@pytest.fixture(scope="module")
def arrays(client, paths):
    return dict(computed(client, cluster_decode.frame_bag(paths, PARTITION_SIZE)))


def test_workers_share_the_cores_between_their_decoding_pools(client):
    sizes = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert list(sizes.values()) == [str(max(1, cluster_decode.CPU_COUNT // 2))] * 2


def test_table_equals_the_single_process_table(client, corpus, paths):
    _, built = corpus
    table = replay_table.to_table(computed(client, cluster_decode.table_bag(paths, PARTITION_SIZE)))

    pd.testing.assert_frame_equal(table, replay_table.summarise(paths))
    failed = table[table["error"].notna()]
    assert [pathlib.Path(p).name for p in failed["path"]] == [DAMAGED]
    # Exact 64-bit values, although the failed row leaves gaps in these columns.
    decoded = table[table["error"].isna()]
    assert decoded["timestamp"].tolist() == [built[p].timestamp for p in decoded["path"]]
    assert decoded["replay_id"].tolist() == [built[p].replay_id for p in decoded["path"]]


@pytest.mark.parametrize("mode", MODES, ids=MODE_NAMES)
def test_frame_arrays_hold_the_written_frames(corpus, arrays, mode):
    _, built = corpus
    for path in [p for p, replay in built.items() if replay.mode == mode][:3]:
        written = built[path].frames
        array = arrays[path]
        assert array.dtype == cluster_decode.FRAME_DTYPES[MODE_NAMES[mode]]
        times = itertools.accumulate(frame[0] for frame in written)
        assert array.tolist() == [(time, *frame[1:]) for time, frame in zip(times, written)]


def test_damaged_file_has_no_frame_array(corpus, arrays, paths):
    assert list(arrays) == paths
    assert [pathlib.Path(p).name for p, array in arrays.items() if array is None] == [DAMAGED]


def test_command_line_on_a_running_cluster(client, corpus, paths, tmp_path):
    # A second client, in a fresh interpreter as a user runs it: it ships the
    # code again, and the timeout bounds a wait for tasks that never end.
    csv = tmp_path / "table.csv"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "cluster_decode.py"), str(corpus[0]), "--scheduler",
         client.scheduler.address, "--csv", str(csv), "--partition-size", str(PARTITION_SIZE)],
        capture_output=True, text=True, timeout=180)
    assert result.returncode == 0, result.stderr
    assert csv.read_text() == replay_table.summarise(paths).to_csv(index=False)
    assert "41 replays, 1 failed" in result.stdout
