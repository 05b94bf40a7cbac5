"""Decodes a large set of replays on a Dask cluster: the table of replay_table.py
(one row per replay) and, for numeric analysis on the workers, the frames of
each replay as a NumPy array.

    python examples/cluster_decode.py FOLDER [--workers N] [--scheduler ADDRESS] [--csv OUT]

Without --scheduler, a cluster of N worker processes (default: one per core)
is started on this machine.

The paths are split into partitions; a task decodes one partition with
`kadenzo.bulk.decode` in a worker process and returns plain data (Replay
objects cannot leave the process that made them). On a real cluster the paths
must name the same files on every worker, e.g. on a shared file system. A
damaged file costs only its own row: its `error` column says why. Failures
come back as values; raised, they are `kadenzo.errors.ReplayError`, ordinary
picklable exceptions that a task may let through.

Code on the workers: tasks call functions of this file and of replay_table.py,
which are not part of the installed package. `ship_code(client)` uploads both
to every worker, including workers that join later, so a real cluster needs
only kadenzo, pandas and NumPy installed.

Threads: kadenzo decodes on one pool per process, of RAYON_NUM_THREADS threads
(read when the process decodes its first batch), shared by all Dask threads of
the worker. P worker processes on a machine of C cores should each get C / P
pool threads. `local_cluster` sets this; on a real cluster set it where the
workers start, e.g. on a 16-core machine

    RAYON_NUM_THREADS=4 dask worker SCHEDULER --nworkers 4 --nthreads 1

or as `distributed.nanny.pre-spawn-environ` in the workers' Dask config.
"""
from __future__ import annotations

import argparse
import contextlib
import pathlib
import sys
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import dask.bag as db
import kadenzo
import kadenzo.bulk
import kadenzo.columns
import numpy as np
import pandas as pd
from dask.system import CPU_COUNT  # the cores this process may use (affinity, cgroup quota)
from distributed import Client, LocalCluster

import replay_table

# Large enough that a task's overhead (a few ms) is small next to its decoding,
# small enough that every worker gets several tasks of a large set.
PARTITION_SIZE = 128

HERE = pathlib.Path(__file__).resolve().parent

# --- the cluster ----------------------------------------------------------------

def ship_code(client: Client) -> None:
    """Makes this file and replay_table.py importable on the scheduler (which
    loads the tasks it is sent) and every worker, also workers that join later.

    Not imported on arrival (load=False), but when a task first needs them: a
    scheduler running in this process would otherwise re-import this module
    from its copy, in a folder that is deleted with the cluster."""
    for name in ("replay_table.py", "cluster_decode.py"):
        client.upload_file(str(HERE / name), load=False)


def local_cluster(n_workers: int | None = None, kadenzo_threads: int | None = None,
                  **options: Any) -> LocalCluster:
    """A cluster of single-threaded worker processes on this machine whose
    kadenzo pools together fill the cores once (at least one thread each)."""
    n_workers = n_workers or CPU_COUNT
    kadenzo_threads = kadenzo_threads or max(1, CPU_COUNT // n_workers)
    return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                        env={"RAYON_NUM_THREADS": str(kadenzo_threads)}, **options)


# --- summary table --------------------------------------------------------------

def table_bag(paths: Sequence[str], partition_size: int = PARTITION_SIZE) -> db.Bag:
    """The summary rows of `paths` (plain dicts), in path order, not yet computed."""
    return db.from_sequence(paths, partition_size=partition_size).map_partitions(replay_table.decode_rows)


def summarise_on_cluster(paths: Sequence[str], partition_size: int = PARTITION_SIZE) -> pd.DataFrame:
    """The table of replay_table.summarise, computed on the active Dask client."""
    return replay_table.to_table(table_bag(paths, partition_size).compute())


# --- frames as arrays ------------------------------------------------------------

def frame_array(replay: kadenzo.Replay) -> np.ndarray:
    """The frames of the replay's own mode as a structured array: "time", the
    cumulative time in ms (the running sum of the time deltas), then the
    mode's own fields in the types kadenzo keeps them (key sets as their
    signed 32-bit patterns). Read from the decoded record as columns: no
    frame object is built."""
    arrays = kadenzo.columns.frames(replay).to_numpy()
    fields = {"time": np.cumsum(arrays.pop("time_delta")), **arrays}
    array = np.empty(len(fields["time"]), [(name, values.dtype) for name, values in fields.items()])
    for name, values in fields.items():
        array[name] = values
    return array


T = TypeVar("T")


def decode_each(paths: Sequence[str], convert: Callable[[kadenzo.Replay], T]) -> list[T | None]:
    """convert(replay) per path in order; None for each file that does not decode."""
    return [convert(result.replay) if result.replay is not None else None for result in kadenzo.bulk.decode(paths)]


def frame_arrays(paths: Sequence[str]) -> list[tuple[str, np.ndarray | None]]:
    """(path, frame array) per path in order; None for a file that does not decode."""
    return list(zip(paths, decode_each(paths, frame_array)))


def frame_bag(paths: Sequence[str], partition_size: int = PARTITION_SIZE) -> db.Bag:
    """(path, frame array or None) per path, not yet computed. Map an analysis
    over it so that only its results leave the workers, e.g. the frame counts:
    `frame_bag(paths).filter(lambda item: item[1] is not None).map(lambda item: len(item[1])).compute()`."""
    return db.from_sequence(paths, partition_size=partition_size).map_partitions(frame_arrays)


# --- command line ----------------------------------------------------------------

def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="folder searched for .kvr files")
    parser.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", help="address of a running cluster's scheduler, e.g. tcp://host:8786")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument("--partition-size", type=int, default=PARTITION_SIZE, help="replays per task")
    args = parser.parse_args(argv)

    paths = replay_table.replay_paths(args.folder)
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(local_cluster(args.workers))
            client = stack.enter_context(Client(cluster))
        ship_code(client)
        table = summarise_on_cluster(paths, args.partition_size)

    if args.csv:
        table.to_csv(args.csv, index=False)
    decoded = table[table["error"].isna()]
    print(decoded.groupby("mode").agg(replays=("path", "size"), frames=("frame_count", "sum")).to_string())
    print(f"{len(table)} replays, {len(table) - len(decoded)} failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
