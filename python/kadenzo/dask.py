"""Replays as a Dask DataFrame: the tables of `kadenzo.dataset`, one
partition per group of files, decoded by the workers of a cluster.

    import kadenzo.dask
    plays = kadenzo.dask.read(paths)                    # one row per replay
    frames = kadenzo.dask.read(paths, frames=True)      # one row per frame
    frames[frames["mode"] == "STD"]["x"].mean().compute()

The paths (files, folders, glob patterns) are expanded here, on the client,
and must name the same files on every worker (a shared file system). Column
selections after `read` reach the workers, which then build only those
columns. Needs `pip install "kadenzo[dask]"`.

Threads: each worker process decodes on kadenzo's pool, of RAYON_NUM_THREADS
threads (read at its first decode); with P worker processes on C cores give
each C / P (`local_cluster` does).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import dask.dataframe
from kadenzo import _dataset_sources, dataset

__all__ = ["read", "local_cluster", "FILES_PER_PARTITION"]

# Enough files that a task's overhead (a few ms) is small beside its decoding,
# few enough that every worker gets several tasks of a large set.
FILES_PER_PARTITION = 128


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


def read(
    paths: Any,
    *,
    frames: bool = False,
    header_only: bool = False,
    files_per_partition: int = FILES_PER_PARTITION,
    glob: str = "*.kvr",
) -> Any:
    """A `dask.dataframe.DataFrame` of the replays at `paths` (files, folders
    searched for `glob`, glob patterns): the table of
    `kadenzo.dataset.read(paths, frames=frames, header_only=header_only)`,
    `files_per_partition` files per partition, in path order."""
    if isinstance(files_per_partition, bool) or not isinstance(files_per_partition, int):
        raise TypeError(f"files_per_partition must be an int, not {type(files_per_partition).__name__}")
    if files_per_partition < 1:
        raise ValueError(f"files_per_partition must be 1 or more, not {files_per_partition}")
    if frames and header_only:
        raise ValueError("frames=True needs the frames decoded: header_only must be False")
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    files = [os.fspath(path) for path in _dataset_sources.find_replays(paths, glob)]
    parts = [(start, files[start : start + files_per_partition]) for start in range(0, len(files), files_per_partition)]
    meta = dataset.schema(frames=frames).empty_table().to_pandas()
    return dask.dataframe.from_map(  # type: ignore[no-untyped-call]
        _ReadPartition(bool(frames), bool(header_only)),
        parts or [(0, [])],
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
