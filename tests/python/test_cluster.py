"""kadenzo.dask and examples/cluster_decode.py on a two-process LocalCluster
standing in for a real cluster: the tables equal the local ones row for row,
column selections reach the workers, and a damaged file costs one row, not a
task."""

import os
import pathlib
import subprocess
import sys

import pytest
from helpers import ROOT
from replay_builder import MODES, realistic_replay

pytestmark = pytest.mark.tooling
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

import kadenzo.dask  # noqa: E402
import kadenzo.dataset  # noqa: E402

EXAMPLES = ROOT / "examples"
TIMEOUT = 120  # seconds; generous for a loaded machine
FILES_PER_PARTITION = 8  # several partitions, one of them holding the damaged file
DAMAGED = "play21.kvr"


@pytest.fixture(scope="module")
def client():
    with (
        kadenzo.dask.local_cluster(2, dashboard_address=None) as cluster,
        distributed.Client(cluster, timeout=TIMEOUT) as client,
    ):
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
            data = data[: len(data) // 2]  # cut inside the compressed frames
        else:
            built[str(path)] = replay
        path.write_bytes(data)
    return folder, built


def local(folder, **options):
    return kadenzo.dataset.read(folder, **options).read_all().to_pandas()


def test_workers_share_the_cores_between_their_decoding_pools(client):
    sizes = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert list(sizes.values()) == [str(max(1, (os.cpu_count() or 1) // 2))] * 2


@pytest.mark.parametrize("frames", [False, True], ids=["summary", "frames"])
def test_tables_equal_the_local_ones(client, corpus, frames):
    folder, built = corpus
    table = computed(client, kadenzo.dask.read(folder, frames=frames, files_per_partition=FILES_PER_PARTITION))
    table = table.reset_index(drop=True)
    # Dask keeps text as Arrow-backed strings; the values are the same.
    pd.testing.assert_frame_equal(table, local(folder, frames=frames), check_dtype=False, check_categorical=False)
    failed = table[table["error"].notna()]
    assert set(pathlib.Path(p).name for p in failed["path"]) == {DAMAGED}
    if not frames:
        decoded = table[table["error"].isna()]  # exact 64-bit values beside the failed row's gaps
        assert decoded["replay_id"].tolist() == [built[p].replay_id for p in decoded["path"]]


def test_default_partitions_follow_the_cluster_and_hold_equal_bytes(client, corpus):
    # Several tasks per worker thread, cut in path order where the bytes reach
    # each share, so that no task runs long after the others.
    folder, _ = corpus
    plays = kadenzo.dask.read(folder)
    assert plays.npartitions == kadenzo.dask.PARTITIONS_PER_WORKER * sum(client.nthreads().values())
    parts = computed(client, plays[["path"]].map_partitions(lambda part: pd.Series([part["path"].tolist()])))
    assert [path for part in parts for path in part] == local(folder, columns=["path"])["path"].tolist()
    sizes = [sum(os.path.getsize(path) for path in part) for part in parts]
    largest = max(path.stat().st_size for path in folder.iterdir())
    assert max(sizes) - min(sizes) <= 2 * largest, sizes


def test_a_column_selection_reaches_the_workers(client, corpus):
    folder, _ = corpus
    selected = kadenzo.dask.read(folder, files_per_partition=FILES_PER_PARTITION)[["path", "username"]]
    table = computed(client, selected).reset_index(drop=True)
    pd.testing.assert_frame_equal(table, local(folder, columns=["path", "username"]), check_categorical=False)
    assert "FromMapProjectable" in repr(selected.expr)


def test_command_line_on_a_running_cluster(client, corpus, tmp_path):
    # A second client, in a fresh interpreter as a user runs it.
    csv = tmp_path / "table.csv"
    result = subprocess.run(
        [
            sys.executable,
            str(EXAMPLES / "cluster_decode.py"),
            str(corpus[0]),
            "--scheduler",
            client.scheduler.address,
            "--csv",
            str(csv),
            "--files-per-partition",
            str(FILES_PER_PARTITION),
        ],
        capture_output=True,
        text=True,
        timeout=180,
    )
    assert result.returncode == 0, result.stderr
    assert pd.read_csv(csv)["path"].tolist() == local(corpus[0])["path"].tolist()
    assert "41 replays, 1 failed" in result.stdout and "longest play:" in result.stdout
