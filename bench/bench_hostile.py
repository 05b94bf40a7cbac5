"""Time and peak memory of kadenzo on hostile files and processes, one fresh
interpreter per case (resource.getrusage of the child), for the figures of
docs/reliability.md.

    PYTHONPATH=build/dev python bench/bench_hostile.py [--big] [CASE ...]

Cases: fifo, dev_zero, sparse_header (a 4 GiB sparse file with a small replay
at its start, header_only), sparse_full (the same, full decode), long_string
(a file whose username is 100 MiB of invalid UTF-8), pickle. A case that does
not end within its time limit is killed and reported as such. Without --big
the large files are 1/8 of the size (the figures scale with it).
"""

import argparse
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
import replay_builder as rb  # noqa: E402

CHILD = {
    "fifo": "import kadenzo, sys\nkadenzo.parse_replay_from_path(sys.argv[1])",
    "dev_zero": "import kadenzo\nkadenzo.parse_replay_from_path('/dev/zero', header_only=True)",
    "sparse_header": "import kadenzo, sys\nkadenzo.parse_replay_from_path(sys.argv[1], header_only=True)",
    "sparse_full": "import kadenzo, sys\nkadenzo.parse_replay_from_path(sys.argv[1])",
    "long_string": "import kadenzo, sys\n"
    "try:\n    kadenzo.parse_replay_from_path(sys.argv[1])\n"
    "except BaseException as e:\n    print('message bytes', len(str(e)))",
    "pickle": "import kadenzo, pickle\n"
    "try:\n    kadenzo.parse_replay_from_bytes(b'')\n"
    "except BaseException as e:\n    back = pickle.loads(pickle.dumps(e))\n"
    "    print('round trip', type(back).__name__, str(back) == str(e))",
}


def measure(case: str, arguments: list[str], limit: float) -> str:
    """Runs one case in a child and describes it; called in a process of its own."""
    started = time.monotonic()
    try:
        done = subprocess.run([sys.executable, "-c", CHILD[case], *arguments], capture_output=True, timeout=limit)
        lines = (done.stdout.decode().strip() or done.stderr.decode().strip() or "returned").splitlines()
        outcome = lines[-1][:120]
    except subprocess.TimeoutExpired:
        outcome = f"still running after {limit:.0f} s, killed"
    wall = time.monotonic() - started
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
    return f"{case:<14} {wall:7.2f} s  peak RSS {peak:8.1f} MiB  {outcome}"


def run(case: str, arguments: list[str], limit: float) -> str:
    # A process of its own per case: the children's high-water mark is the
    # largest child's, so it must have just one.
    done = subprocess.run(
        [sys.executable, __file__, "--one", case, str(limit), *arguments], capture_output=True, text=True
    )
    return done.stdout.strip()


def main() -> None:
    if sys.argv[1:2] == ["--one"]:
        print(measure(sys.argv[2], sys.argv[4:], float(sys.argv[3])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("cases", nargs="*", default=list(CHILD))
    parser.add_argument("--big", action="store_true", help="the 4 GiB and 100 MiB files of the figures")
    options = parser.parse_args()
    scale = 1 if options.big else 8
    replay = rb.realistic_replay(rb.MODE_STD, 500, seed=1).to_bytes()
    with tempfile.TemporaryDirectory() as folder:
        fifo = os.path.join(folder, "pipe")
        os.mkfifo(fifo)
        sparse = os.path.join(folder, "sparse.kvr")
        with open(sparse, "wb") as file:
            file.write(replay)
            file.truncate((4 << 30) // scale)
        long_string = os.path.join(folder, "string.kvr")
        with open(long_string, "wb") as file:
            file.write(rb.ReplayFile(username=rb.raw_string(b"\xff" * ((100 << 20) // scale))).to_bytes())
        arguments = {"fifo": [fifo], "sparse_header": [sparse], "sparse_full": [sparse], "long_string": [long_string]}
        for case in options.cases:
            print(run(case, arguments.get(case, []), 5 if case in ("fifo", "dev_zero") else 120), flush=True)


if __name__ == "__main__":
    main()
