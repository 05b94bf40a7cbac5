"""Decodes a large set of replays on a Dask cluster with `kadenzo.dask`: the
summary table (one row per replay) and, computed on the workers, the length of
every play from its frames.

    python examples/cluster_decode.py FOLDER [--workers N] [--scheduler ADDRESS] [--csv OUT]

Without --scheduler, a cluster of N worker processes (default: one per core)
is started on this machine. On a real cluster the paths must name the same
files on every worker (a shared file system), and the workers need kadenzo
installed (`pip install "kadenzo[dask]"`): the tasks run kadenzo's own code,
so nothing else has to be shipped. A damaged file costs only its own row:
its `error` column says why.

Threads: kadenzo decodes on one pool per process, of RAYON_NUM_THREADS threads
(read when the process decodes its first file). P worker processes on a
machine of C cores should each get C / P; `kadenzo.dask.local_cluster` sets
this, and on a real cluster set it where the workers start, e.g.

    RAYON_NUM_THREADS=4 dask worker SCHEDULER --nworkers 4 --nthreads 1
"""

from __future__ import annotations

import argparse
import contextlib
import sys
from collections.abc import Sequence

import kadenzo.dask
import pandas as pd
from distributed import Client


def summarise_on_cluster(paths: Sequence[str], files_per_partition: int | None = None) -> pd.DataFrame:
    """One row per replay (kadenzo.dataset's summary table), computed on the active Dask client."""
    return kadenzo.dask.read(paths, files_per_partition=files_per_partition).compute()


def play_lengths(paths: Sequence[str], files_per_partition: int | None = None) -> pd.Series:
    """Seconds from the first to the last frame of each play, by path: the
    frames stay on the workers, only one number per play comes back."""
    frames = kadenzo.dask.read(paths, frames=True, files_per_partition=files_per_partition)[["path", "time"]]
    return (frames.dropna().groupby("path", observed=True)["time"].max() / 1000).compute()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", help="folder searched for .kvr files")
    parser.add_argument("--workers", type=int, help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--scheduler", help="address of a running cluster's scheduler, e.g. tcp://host:8786")
    parser.add_argument("--csv", help="also write the table to this CSV file")
    parser.add_argument(
        "--files-per-partition", type=int, help="replays per task (default: several tasks per worker thread)"
    )
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as stack:
        if args.scheduler:
            stack.enter_context(Client(args.scheduler))
        else:
            cluster = stack.enter_context(kadenzo.dask.local_cluster(args.workers))
            stack.enter_context(Client(cluster))
        table = summarise_on_cluster([args.folder], args.files_per_partition)
        lengths = play_lengths([args.folder], args.files_per_partition)

    if args.csv:
        table.to_csv(args.csv, index=False)
    decoded = table[table["error"].isna()]
    print(
        decoded.groupby("mode", observed=True).agg(replays=("path", "size"), frames=("frame_count", "sum")).to_string()
    )
    if len(lengths):
        print(f"longest play: {lengths.max():.1f} s ({lengths.idxmax()})")
    print(f"{len(table)} replays, {len(table) - len(decoded)} failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
