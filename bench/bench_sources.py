"""The cost of the front door: the same inputs decoded by this build and by a
baseline build (another checkout's build tree) side by side, per game mode:
a list of paths and a folder through kadenzo.bulk.decode and
kadenzo.dataset.read, a zip and a tar.gz of the same files through
decode_archive, header-only and whole. Each figure is the median of
--repeat runs, each run in a fresh interpreter of its build, the builds
taking turns; CPU time (the process's, all threads) beside wall time.

    PYTHONPATH=build/dev python3 bench/bench_sources.py --baseline ../main/build/release [--files 300] [--repeat 5]
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import io
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tarfile
import tempfile
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from replay_builder import realistic_replay  # noqa: E402

MODES = {"STD": 0, "TAIKO": 1, "CTB": 2, "MANIA": 3}

# One measurement in a fresh interpreter: (wall s, CPU s) of the call named.
CHILD = r"""
import json, os, sys, time
import bz2, lzma, tarfile, zipfile  # what the archive readers import, before the clock starts
import pyarrow, kadenzo.bulk, kadenzo.dataset
kind, source, header_only = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
paths = sorted(os.path.join(source, name) for name in os.listdir(source)) if kind == "list" else None
wall, cpu = time.perf_counter(), time.process_time()
if kind == "list":
    count = sum(1 for _ in kadenzo.bulk.decode(paths, header_only=header_only))
elif kind == "archive":
    count = sum(1 for _ in kadenzo.bulk.decode_archive(source, header_only=header_only))
else:
    count = kadenzo.dataset.read(source, header_only=header_only).read_all().num_rows
print(json.dumps([time.perf_counter() - wall, time.process_time() - cpu, count]))
"""


def corpus(root: pathlib.Path, files: int) -> dict[str, dict[str, pathlib.Path]]:
    """Per mode: a folder of `files` plays, and a zip and a tar.gz of them."""
    made: dict[str, dict[str, pathlib.Path]] = {}
    for name, mode in MODES.items():
        folder = root / name
        folder.mkdir()
        for index in range(files):
            (folder / f"{index:05}.kvr").write_bytes(realistic_replay(mode, 3_000, seed=index).to_bytes())
        with zipfile.ZipFile(root / f"{name}.zip", "w", zipfile.ZIP_STORED) as zipped:
            for path in sorted(folder.iterdir()):
                zipped.write(path, path.name)
        with tarfile.open(root / f"{name}.tar.gz", "w:gz", compresslevel=1) as tarred:
            for path in sorted(folder.iterdir()):
                info = tarfile.TarInfo(path.name)
                info.size = path.stat().st_size
                tarred.addfile(info, io.BytesIO(path.read_bytes()))
        made[name] = {"folder": folder, "zip": root / f"{name}.zip", "tar.gz": root / f"{name}.tar.gz"}
    return made


def measure(build: str, kind: str, source: pathlib.Path, header_only: bool) -> tuple[float, float, int]:
    env = dict(os.environ, PYTHONPATH=build)
    out = subprocess.run(
        [sys.executable, "-c", CHILD, kind, str(source), "1" if header_only else "0"],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    wall, cpu, count = json.loads(out.stdout)
    return wall, cpu, count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", required=True, help="the other build tree (its PYTHONPATH)")
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    this = os.environ.get("PYTHONPATH", "")
    liblzma = ctypes.CDLL(ctypes.util.find_library("lzma") or "liblzma.so.5")
    liblzma.lzma_version_string.restype = ctypes.c_char_p
    print(f"liblzma {liblzma.lzma_version_string().decode()}, load {os.getloadavg()}, {args.files} files per mode")
    print("mode   input          read    |  this: wall  cpu  |  baseline: wall  cpu  |  wall ratio")
    with tempfile.TemporaryDirectory() as temporary:
        made = corpus(pathlib.Path(temporary), args.files)
        for name, inputs in made.items():
            for label, kind, source in (
                ("paths", "list", inputs["folder"]),
                ("folder", "dataset", inputs["folder"]),
                ("zip", "archive", inputs["zip"]),
                ("tar.gz", "archive", inputs["tar.gz"]),
            ):
                for header_only in (True, False):
                    runs: dict[str, list[tuple[float, float, int]]] = {"this": [], "baseline": []}
                    for _ in range(args.repeat):
                        runs["this"].append(measure(this, kind, source, header_only))
                        runs["baseline"].append(measure(args.baseline, kind, source, header_only))
                    this_wall, this_cpu = (statistics.median(r[i] for r in runs["this"]) for i in (0, 1))
                    base_wall, base_cpu = (statistics.median(r[i] for r in runs["baseline"]) for i in (0, 1))
                    read = "header" if header_only else "whole"
                    print(
                        f"{name:<6} {label:<14} {read:<7} | {this_wall:8.3f} {this_cpu:6.3f} | "
                        f"{base_wall:12.3f} {base_cpu:6.3f}   | {this_wall / base_wall:8.2f}",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
