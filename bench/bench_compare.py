"""Speed of kadenzo.compare against the NumPy form of the same comparison.

    .venv/bin/python bench/bench_compare.py [--quick] [--plays N] [--big N]

Cursor plays of 10,800 frames (three minutes at 60 Hz) are generated as
bench_decode.py makes them: paths easing towards targets on the device's
raster with hand jitter and rests. The NumPy reference is `numpy.interp` +
`numpy.hypot` + `mean`, on paths prepared once per play (clock summed, the
lead-in frames that step back and all but the last of equal times left out,
grid resampled), so its per-pair time holds only the pair's own work.

Measured, as process CPU time (the machine may be shared; CPU time is what a
pair costs, wall time what the matrix takes):
- per pair on one thread: NumPy exact vs `similarity` (which also builds both
  plays' paths on every call) vs `matrix(threads=1)` per pair (paths made
  once per play, included), and NumPy on the grid vs
  `matrix(grid_ms=16, threads=1)` per pair (resampling included);
- `matrix` on 1 and on 2 threads;
- `matrix(grid_ms=16)` of --big plays (2,000 by default), all pairs, all threads.
It checks first that every value agrees with the reference within 1e-9 relative.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

# NumPy's BLAS threads spin for a while after each call and count as this
# process's CPU time; nothing measured here uses them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tools"))
import bench_decode  # noqa: E402
import kadenzo.columns  # noqa: E402
import kadenzo.compare  # noqa: E402
from replay_builder import MODE_STD, ReplayFile, compress  # noqa: E402

FRAMES = 10_800
GRID_MS = 16.0


def generated_plays(count: int) -> list:
    plays = []
    for seed in range(count):
        text = bench_decode.frame_text(MODE_STD, FRAMES, seed)
        data = ReplayFile(mode=MODE_STD, block=compress(text, preset=0)).to_bytes()
        plays.append(kadenzo.columns.frames(data))
    return plays


# --- the NumPy reference ---------------------------------------------------------


def numpy_path(columns) -> tuple:
    """Time, x, y of the frames that count (every generated position is
    finite): a frame earlier than the latest time so far is left out (the
    lead-in goes back), and of frames with equal times the later one counts."""
    time_ms = np.cumsum(np.asarray(columns.time_delta)).astype(np.float64)
    forward = np.flatnonzero(time_ms == np.maximum.accumulate(time_ms))
    kept = forward[np.append(time_ms[forward[:-1]] != time_ms[forward[1:]], True)]
    return time_ms[kept], np.asarray(columns.x)[kept], np.asarray(columns.y)[kept]


def numpy_exact(a: tuple, b: tuple) -> float:
    ta, xa, ya = a
    tb, xb, yb = b
    inside = (ta >= tb[0]) & (ta <= tb[-1])
    t = ta[inside]
    return float(np.hypot(xa[inside] - np.interp(t, tb, xb), ya[inside] - np.interp(t, tb, yb)).mean())


def numpy_grid_path(path: tuple) -> tuple:
    t, x, y = path
    first, last = int(np.ceil(t[0] / GRID_MS)), int(np.floor(t[-1] / GRID_MS))
    times = np.arange(first, last + 1) * GRID_MS
    return first, np.interp(times, t, x), np.interp(times, t, y)


def numpy_grid(a: tuple, b: tuple) -> float:
    (fa, xa, ya), (fb, xb, yb) = a, b
    lo, hi = max(fa, fb), min(fa + len(xa), fb + len(xb))
    sa, sb = slice(lo - fa, hi - fa), slice(lo - fb, hi - fb)
    return float(np.hypot(xa[sa] - xb[sb], ya[sa] - yb[sb]).mean())


# --- measuring -------------------------------------------------------------------


def cpu_and_wall(call) -> tuple[float, float]:
    cpu, wall = time.process_time(), time.perf_counter()
    call()
    return time.process_time() - cpu, time.perf_counter() - wall


def best_of(repeat: int, call) -> tuple[float, float]:
    """The least CPU time of `repeat` runs, and the wall time of that run."""
    return min((cpu_and_wall(call) for _ in range(repeat)), key=lambda pair: pair[0])


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load average {one:.2f} (1 min), {five:.2f} (5 min) on {os.cpu_count()} processors"


def cpu_pressure() -> str:
    """The kernel's share of time in which runnable tasks waited for a processor."""
    try:
        with open("/proc/pressure/cpu") as pressure:
            return pressure.readline().split()[1]  # "avg10=..."
    except OSError:
        return "unknown"


def check(plays: list, paths: list, grids: list) -> None:
    n = len(plays)
    exact = np.asarray(kadenzo.compare.matrix(plays))
    grid = np.asarray(kadenzo.compare.matrix(plays, grid_ms=GRID_MS))
    worst = 0.0
    for i in range(n):
        for j in range(n):
            single = kadenzo.compare.similarity(plays[i], plays[j])
            assert single == exact[i, j], (i, j, single, exact[i, j])
            for got, want in ((single, numpy_exact(paths[i], paths[j])), (grid[i, j], numpy_grid(grids[i], grids[j]))):
                worst = max(worst, abs(got - want) / max(want, 1e-300))
    assert worst < 1e-9, worst
    print(f"values: matrix equals similarity; largest difference from NumPy {worst:.1e} relative")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer plays and repetitions")
    parser.add_argument("--plays", type=int, help="distinct generated plays (default 24, quick 10)")
    parser.add_argument("--big", type=int, default=2000, help="plays in the large grid run (0 to skip)")
    args = parser.parse_args()
    count = args.plays or (10 if args.quick else 24)
    repeat = 3 if args.quick else 5

    started = time.perf_counter()
    plays = generated_plays(count)
    paths = [numpy_path(p) for p in plays]
    grids = [numpy_grid_path(p) for p in paths]
    print(f"{count} plays of {FRAMES:,} frames generated in {time.perf_counter() - started:.1f} s; {load()}")
    check(plays, paths, grids)

    pairs = [(i, j) for i in range(count) for j in range(count) if i != j]
    grid_pairs = [(i, j) for i in range(count) for j in range(i, count)]
    numpy_exact_cpu, _ = best_of(repeat, lambda: [numpy_exact(paths[i], paths[j]) for i, j in pairs])
    similarity_cpu, _ = best_of(repeat, lambda: [kadenzo.compare.similarity(plays[i], plays[j]) for i, j in pairs])
    numpy_grid_cpu, _ = best_of(repeat, lambda: [numpy_grid(grids[i], grids[j]) for i, j in grid_pairs])
    # The thread comparison needs some seconds of work: the plays repeated.
    scaled = [plays[index % count] for index in range(6 * count if args.quick else 10 * count)]
    one_cpu, one_wall = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, threads=1))
    two_cpu, two_wall = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, threads=2))
    grid_cpu, _ = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, grid_ms=GRID_MS, threads=1))
    scaled_grid_pairs = len(scaled) * (len(scaled) + 1) // 2

    per = 1e6 / len(pairs)
    grid_per = 1e6 / len(grid_pairs)
    exact_pair = one_cpu * 1e6 / len(scaled) ** 2  # the matrix computes the diagonal too
    print(f"\nper pair, one thread (CPU µs; {FRAMES:,} frames; {load()}; CPU pressure {cpu_pressure()}):")
    print(
        f"  exact form  NumPy {numpy_exact_cpu * per:8.1f}   similarity() {similarity_cpu * per:6.2f} "
        f"({numpy_exact_cpu / similarity_cpu:4.1f}x, both paths made in the call)   matrix {exact_pair:6.2f} "
        f"({numpy_exact_cpu * per / exact_pair:4.1f}x; {len(scaled)} plays, paths included)"
    )
    grid_pair = grid_cpu * 1e6 / scaled_grid_pairs
    print(
        f"  grid {GRID_MS:g} ms  NumPy {numpy_grid_cpu * grid_per:8.1f}   matrix {grid_pair:6.2f} "
        f"({numpy_grid_cpu * grid_per / grid_pair:4.1f}x; {len(scaled)} plays, resampling included)"
    )
    print(
        f"\nmatrix, exact form, {len(scaled)} x {len(scaled)}: 1 thread {one_wall:.2f} s wall ({one_cpu:.2f} s CPU), "
        f"2 threads {two_wall:.2f} s wall ({two_cpu:.2f} s CPU, {two_cpu / two_wall:.2f} CPUs busy)"
    )
    print(
        f"  work per CPU second on 2 threads: {one_cpu / two_cpu:.2f} of 1 thread's, so 2 free processors give "
        f"{2 * one_cpu / two_cpu:.2f}x; wall time here {one_wall / two_wall:.2f}x; {load()}; "
        f"CPU pressure {cpu_pressure()}"
    )

    if args.big:
        big = [plays[index % count] for index in range(args.big)]
        cpu, wall = cpu_and_wall(lambda: kadenzo.compare.matrix(big, grid_ms=GRID_MS))
        n_pairs = args.big * (args.big + 1) // 2
        print(
            f"\n{args.big:,} plays, all {n_pairs:,} pairs, grid {GRID_MS:g} ms, all threads: "
            f"{wall:.1f} s wall, {cpu:.1f} s CPU; {load()}"
        )
        top = kadenzo.compare.matrix(big, grid_ms=GRID_MS, top=10)
        print(f"  with top=10: closest pair {top[0]}")


if __name__ == "__main__":
    main()
