"""Replays as a Dask DataFrame: the tables of `kadenzo.dataset`, one
partition per group of files, decoded by the workers of a cluster.

    import kadenzo.dask
    plays = kadenzo.dask.read(paths)                    # one row per replay
    frames = kadenzo.dask.read(paths, frames=True)      # one row per frame
    frames[frames["mode"] == "STD"]["x"].mean().compute()

The paths (files, folders, glob patterns, archives: see kadenzo.sources) are
expanded here, on the client, into the names of files and archive members
("plays.zip::week1/std.kvr"), which must name the same files on every
worker (a shared file system); contents and file objects are not taken. Column
selections after `read` reach the workers, which then build only those
columns. Needs `pip install "kadenzo[dask]"`.

Threads: each worker process decodes on kadenzo's pool, of RAYON_NUM_THREADS
threads (read at its first decode); with P worker processes on C cores give
each C / P (`local_cluster` does).
"""

from __future__ import annotations

import bisect
import math
import os
from collections.abc import Sequence
from typing import Any

import dask.dataframe
from kadenzo import dataset
from kadenzo import sources as _rule

__all__ = ["read", "local_cluster", "FILES_PER_PARTITION", "PARTITIONS_PER_WORKER"]

# The most files a partition gets by default: enough that a task's overhead
# (a few ms) is small beside its decoding, few enough that every worker gets
# several tasks of a large set.
FILES_PER_PARTITION = 128
"""The most files a partition of `read` gets by default."""
# Partitions per worker thread at least, by default: a worker that finishes
# early takes another task instead of waiting for the last one of the others.
PARTITIONS_PER_WORKER = 4
"""How many partitions `read` makes per worker thread at least, by default."""


def _partition(
    paths: Sequence[Any], frames: bool, header_only: bool, columns: Sequence[str] | None = None, file_offset: int = 0
) -> Any:
    """One partition: the table of `paths`, as pandas, with nullable dtypes.
    `file_offset` makes `file_index` count over all files, not per partition."""
    table = dataset.read(list(paths), frames=frames, header_only=header_only, columns=columns, threads=None).read_all()
    if frames and file_offset and "file_index" in table.column_names:
        import pyarrow.compute  # type: ignore[import-untyped]

        position = table.column_names.index("file_index")
        table = table.set_column(position, "file_index", pyarrow.compute.add(table["file_index"], file_offset))
    return table.to_pandas()


class _ReadPartition:
    """The function `from_map` calls per partition; its `columns` keyword is
    how Dask's optimiser pushes a column selection down to it."""

    def __init__(self, frames: bool, header_only: bool):
        self.frames, self.header_only = frames, header_only

    def __call__(self, part: tuple[int, Sequence[Any]], columns: Sequence[str] | None = None) -> Any:
        offset, paths = part
        return _partition(paths, self.frames, self.header_only, columns, offset)


def _worker_threads() -> int:
    """The threads of the cluster the default client talks to, or this
    machine's cores when there is none: what the partitions are spread over."""
    try:
        from distributed import default_client

        return max(1, sum(default_client().nthreads().values()))  # type: ignore[no-untyped-call]
    except (ImportError, ValueError):  # no distributed, or no client yet
        from dask.system import CPU_COUNT

        return max(1, CPU_COUNT)


def _file_size(path: str) -> int:
    try:
        return max(1, os.stat(path).st_size)
    except OSError:  # gone or unreadable: the worker reports it, in its row
        return 1


def _balanced_parts(files: list[str], count: int) -> list[tuple[int, list[str]]]:
    """`files` cut into at most `count` runs, in order, of about the same bytes
    each: a task's decoding time follows its bytes, so the tasks end together.
    Each run is (the index of its first file, its files)."""
    if not files:
        return [(0, [])]
    ends = list(_cumulative_sizes(files))
    total = ends[-1]
    cuts = {0, len(files)}
    for part in range(1, count):
        share = total * part / count
        # The cut nearest the share: after the file whose end reaches it, or before that file.
        at = bisect.bisect_left(ends, share)
        before = ends[at - 1] if at else 0
        cuts.add(at + 1 if ends[at] - share <= share - before else at)
    bounds = sorted(cuts)
    return [(start, files[start:end]) for start, end in zip(bounds, bounds[1:]) if end > start]


def _cumulative_sizes(files: list[str]) -> list[int]:
    total, ends = 0, []
    for path in files:
        total += _file_size(path)
        ends.append(total)
    return ends


def read(
    paths: Any,
    *,
    frames: bool = False,
    header_only: bool = False,
    files_per_partition: int | None = None,
    glob: str = "*.kvr",
) -> Any:
    """A `dask.dataframe.DataFrame` of the replays at `paths` (files, folders
    searched for `glob`, glob patterns): the table of
    `kadenzo.dataset.read(paths, frames=frames, header_only=header_only)`, in
    path order. The files are cut into partitions of about the same bytes,
    in order: about `files_per_partition` files each, or by default
    PARTITIONS_PER_WORKER per worker thread of the default client's cluster
    (this machine's cores without one), with at most FILES_PER_PARTITION
    files each. A column selection reaches the partitions, which then build
    only those columns (and read only headers when no column needs the
    frames)."""
    if files_per_partition is not None:
        if isinstance(files_per_partition, bool) or not isinstance(files_per_partition, int):
            raise TypeError(f"files_per_partition must be an int or None, not {type(files_per_partition).__name__}")
        if files_per_partition < 1:
            raise ValueError(f"files_per_partition must be 1 or more, not {files_per_partition}")
    if frames and header_only:
        raise ValueError("frames=True needs the frames decoded: header_only must be False")
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    paths = list(paths)
    for path in paths:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"kadenzo.dask reads files every worker opens: give paths, not {type(path).__name__}")
    # Names only: folders walked, archives' members listed, nothing decoded
    # here; a folder or archive that cannot be read is named, for a worker to report.
    files = [os.fsdecode(source.path) for source, _ in _rule.expand(paths, glob, read=False)]
    if files_per_partition is None:
        count = max(math.ceil(len(files) / FILES_PER_PARTITION), PARTITIONS_PER_WORKER * _worker_threads())
    else:
        count = math.ceil(len(files) / files_per_partition)
    meta = dataset.schema(frames=frames).empty_table().to_pandas()
    return dask.dataframe.from_map(  # type: ignore[no-untyped-call]
        _ReadPartition(bool(frames), bool(header_only)),
        _balanced_parts(files, min(count, len(files))),
        meta=meta,
        label="kadenzo-read",
        enforce_metadata=False,
    )


def local_cluster(n_workers: int | None = None, kadenzo_threads: int | None = None, **options: Any) -> Any:
    """A `distributed.LocalCluster` of single-threaded worker processes on
    this machine whose kadenzo pools together fill the cores once."""
    from dask.system import CPU_COUNT  # the cores this process may use (affinity, cgroup quota)
    from distributed import LocalCluster

    n_workers = n_workers or CPU_COUNT
    kadenzo_threads = kadenzo_threads or max(1, CPU_COUNT // n_workers)
    return LocalCluster(  # type: ignore[no-untyped-call]
        n_workers=n_workers,
        threads_per_worker=1,
        processes=True,
        env={"RAYON_NUM_THREADS": str(kadenzo_threads)},
        **options,
    )
