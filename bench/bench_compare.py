"""Speed of kadenzo.compare, per kernel, against NumPy and a Numba loop.

    .venv/bin/pip install "numba>=0.59"     # or: pip install ".[bench]"
    .venv/bin/python bench/bench_compare.py [--quick] [--plays N] [--big N]

Cursor plays of 10,800 frames (three minutes at 60 Hz) are generated as
bench_decode.py makes them: paths easing towards targets on the device's
raster with hand jitter and rests, the game's lead-in frames first. Only
cursor-mode plays are compared, so there is one game mode here.

The references, on paths prepared once per play (clock summed, the lead-in
frames that step back and all but the last of equal times left out, grid
resampled), so their per-pair time holds only the pair's own work:
- NumPy: `numpy.interp` + `numpy.hypot` + `mean`;
- Numba: an `@njit` loop as an analyst writes it (walk b's segments, divide
  for the fraction, `math.sqrt(dx*dx + dy*dy)`), plain and with fastmath;
- for one `similarity` call, which makes both plays' paths on every call,
  also a Numba function that does the same from the frame columns.

Measured, as process CPU time beside wall time (the machine may be shared;
CPU time is what a pair costs), for every kernel this processor runs
(KADENZO_KERNEL forces each, in a process of its own): one `similarity`
call, and per pair `matrix(threads=1)` of the plays repeated (paths made
once per play, included) in the exact form and on the 16 ms grid
(resampling included). Then, with the kernel kadenzo picks: `matrix` on 1
and on 2 threads, and `matrix(grid_ms=16)` of --big plays (2,000 by
default), all pairs, all threads. It checks first that every value agrees
with the NumPy reference within 1e-9 relative, that `matrix` equals
`similarity` on every kernel, and how far the kernels are apart.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import pathlib
import subprocess
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
from kadenzo import _native  # noqa: E402
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


# --- the Numba loops ---------------------------------------------------------------


def numba_loops(fastmath: bool) -> dict:
    """The exact and grid forms as @njit loops, and one call from the frame
    columns (both paths made as kadenzo makes them, then the exact form)."""
    from numba import njit

    @njit(fastmath=fastmath)
    def exact(ta, xa, ya, tb, xb, yb):
        n = len(tb)
        total, count, k = 0.0, 0, 0
        for i in range(len(ta)):
            t = ta[i]
            if t < tb[0]:
                continue
            if t > tb[n - 1]:
                break
            if t == tb[n - 1]:
                bx, by = xb[n - 1], yb[n - 1]
            else:
                while tb[k + 1] <= t:
                    k += 1
                f = (t - tb[k]) / (tb[k + 1] - tb[k])
                bx = xb[k] + (xb[k + 1] - xb[k]) * f
                by = yb[k] + (yb[k + 1] - yb[k]) * f
            dx, dy = xa[i] - bx, ya[i] - by
            total += math.sqrt(dx * dx + dy * dy)
            count += 1
        return total / count if count else math.nan

    @njit(fastmath=fastmath)
    def grid(fa, xa, ya, fb, xb, yb):
        lo, hi = max(fa, fb), min(fa + len(xa), fb + len(xb))
        total = 0.0
        for k in range(lo, hi):
            dx, dy = xa[k - fa] - xb[k - fb], ya[k - fa] - yb[k - fb]
            total += math.sqrt(dx * dx + dy * dy)
        return total / (hi - lo) if hi > lo else math.nan

    @njit(fastmath=fastmath)
    def path(delta, x, y):
        t_out, x_out, y_out = np.empty(len(x)), np.empty(len(x)), np.empty(len(x))
        kept, clock, last = 0, 0, -math.inf
        for i in range(len(x)):
            clock += delta[i]
            t = float(clock)
            if not (math.isfinite(x[i]) and math.isfinite(y[i])) or t < last:
                continue
            if t == last:
                kept -= 1
            t_out[kept], x_out[kept], y_out[kept] = t, x[i], y[i]
            kept += 1
            last = t
        return t_out[:kept], x_out[:kept], y_out[:kept]

    @njit(fastmath=fastmath)
    def similarity(delta_a, xa, ya, delta_b, xb, yb):
        ta, pxa, pya = path(delta_a, xa, ya)
        tb, pxb, pyb = path(delta_b, xb, yb)
        return exact(ta, pxa, pya, tb, pxb, pyb)

    return {"exact": exact, "grid": grid, "similarity": similarity}


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


def processor() -> str:
    """The processor's model and its widest vector level."""
    model, flags = "unknown", set()
    with open("/proc/cpuinfo") as info:
        for line in info:
            key, _, value = line.partition(":")
            if key.strip() == "model name":
                model = value.strip()
            elif key.strip() == "flags":
                flags = set(value.split())
                break
    level = "AVX-512" if "avx512f" in flags else "AVX2+FMA" if {"avx2", "fma"} <= flags else "SSE2"
    return f"{model}, vector level {level}"


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


def kernel_row(count: int, quick: bool) -> dict:
    """What one kernel measures (run in a process whose KADENZO_KERNEL forces it)."""
    plays = generated_plays(count)
    repeat = 3 if quick else 5
    check(plays, [numpy_path(p) for p in plays], [numpy_grid_path(numpy_path(p)) for p in plays])
    pairs = [(i, j) for i in range(count) for j in range(count) if i != j]
    similarity = best_of(repeat, lambda: [kadenzo.compare.similarity(plays[i], plays[j]) for i, j in pairs])
    scaled = [plays[index % count] for index in range(6 * count if quick else 10 * count)]
    exact = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, threads=1))
    grid = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, grid_ms=GRID_MS, threads=1))
    grid_pairs = len(scaled) * (len(scaled) + 1) // 2
    return {
        "kernel": _native.distance_kernels()[0],
        # per pair, µs: (CPU, wall)
        "similarity": [1e6 * value / len(pairs) for value in similarity],
        "exact": [1e6 * value / len(scaled) ** 2 for value in exact],  # the matrix computes the diagonal too
        "grid": [1e6 * value / grid_pairs for value in grid],
        "plays": len(scaled),
        "values": [float(v) for v in np.asarray(kadenzo.compare.matrix(plays)).ravel()]
        + [float(v) for v in np.asarray(kadenzo.compare.matrix(plays, grid_ms=GRID_MS)).ravel()],
    }


def run_kernel(kernel: str, count: int, quick: bool) -> dict:
    environment = dict(os.environ, KADENZO_KERNEL=kernel)
    command = [sys.executable, __file__, "--kernel-row", "--plays", str(count)] + (["--quick"] if quick else [])
    done = subprocess.run(command, env=environment, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer plays and repetitions")
    parser.add_argument("--plays", type=int, help="distinct generated plays (default 24, quick 10)")
    parser.add_argument("--big", type=int, default=2000, help="plays in the large grid run (0 to skip)")
    parser.add_argument("--kernel-row", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    count = args.plays or (10 if args.quick else 24)
    repeat = 3 if args.quick else 5
    if args.kernel_row:
        print(json.dumps(kernel_row(count, args.quick)))
        return

    import numba

    started = time.perf_counter()
    plays = generated_plays(count)
    paths = [numpy_path(p) for p in plays]
    grids = [numpy_grid_path(p) for p in paths]
    columns = [tuple(np.asarray(c) for c in (p.time_delta, p.x, p.y)) for p in plays]
    chosen, kernels = _native.distance_kernels()
    print(f"{processor()}; kadenzo picks {chosen} (runs {', '.join(kernels)})")
    print(
        f"liblzma {bench_decode.Liblzma().version}, NumPy {np.__version__}, Numba {numba.__version__}; "
        f"{count} plays of {FRAMES:,} frames generated in {time.perf_counter() - started:.1f} s; {load()}"
    )
    check(plays, paths, grids)

    pairs = [(i, j) for i in range(count) for j in range(count) if i != j]
    grid_pairs = [(i, j) for i in range(count) for j in range(i, count)]

    def per_pair(call, of) -> tuple[float, float]:
        cpu, wall = best_of(repeat, call)
        return 1e6 * cpu / len(of), 1e6 * wall / len(of)

    references = {
        ("numpy", "exact"): per_pair(lambda: [numpy_exact(paths[i], paths[j]) for i, j in pairs], pairs),
        ("numpy", "grid"): per_pair(lambda: [numpy_grid(grids[i], grids[j]) for i, j in grid_pairs], grid_pairs),
    }
    worst = 0.0
    for name, fastmath in (("numba", False), ("numba fastmath", True)):
        loops = numba_loops(fastmath)
        for i, j in pairs[:3] + grid_pairs[:3]:  # compiled, and checked against NumPy
            for got, want in (
                (loops["exact"](*paths[i], *paths[j]), numpy_exact(paths[i], paths[j])),
                (loops["grid"](*grids[i], *grids[j]), numpy_grid(grids[i], grids[j])),
                (loops["similarity"](*columns[i], *columns[j]), numpy_exact(paths[i], paths[j])),
            ):
                worst = max(worst, abs(got - want) / max(want, 1e-300))
        references[(name, "exact")] = per_pair(lambda: [loops["exact"](*paths[i], *paths[j]) for i, j in pairs], pairs)
        references[(name, "grid")] = per_pair(
            lambda: [loops["grid"](*grids[i], *grids[j]) for i, j in grid_pairs], grid_pairs
        )
        references[(name, "similarity")] = per_pair(
            lambda: [loops["similarity"](*columns[i], *columns[j]) for i, j in pairs], pairs
        )
    assert worst < 1e-9, worst
    print(f"Numba loops agree with NumPy within {worst:.1e} relative")

    rows = [run_kernel(kernel, count, args.quick) for kernel in kernels]
    best_values = np.asarray(rows[-1]["values"])
    apart = max(
        float(np.nanmax(np.abs(np.asarray(row["values"]) - best_values) / np.maximum(best_values, 1e-300)))
        for row in rows
    )
    print(f"every kernel: matrix equals similarity, NumPy within 1e-9; kernels apart by at most {apart:.1e} relative")

    print(
        f"\nper pair, one thread, µs of CPU (wall in brackets); {FRAMES:,} frames; {load()}; CPU pressure {cpu_pressure()}"
    )
    print(f"  {'':24}{'exact, matrix':>22}{'grid 16 ms, matrix':>22}{'one similarity call':>22}")
    for name in ("numpy", "numba", "numba fastmath"):
        cells = []
        for form in ("exact", "grid", "similarity"):
            cpu, wall = references.get((name, form), (math.nan, math.nan))
            cells.append(f"{cpu:9.1f} ({wall:6.1f})")
        print(f"  {name:24}" + "".join(f"{cell:>22}" for cell in cells))
    print("  (Numba's similarity makes both paths from the frame columns in the call, as similarity does)")
    for row in rows:
        cells = [f"{row[form][0]:9.2f} ({row[form][1]:6.2f})" for form in ("exact", "grid", "similarity")]
        print(f"  kadenzo {row['kernel']:16}" + "".join(f"{cell:>22}" for cell in cells))
    print("\nratios per kernel (reference CPU time / kadenzo's):")
    print(
        f"  {'':12}{'exact: NumPy':>14}{'Numba':>8}{'fastmath':>10}{'grid: NumPy':>14}{'Numba':>8}{'fastmath':>10}"
        f"{'similarity: Numba':>19}{'(pair only)':>13}"
    )
    for row in rows:
        exact, grid, single = row["exact"][0], row["grid"][0], row["similarity"][0]
        print(
            f"  {row['kernel']:12}"
            f"{references[('numpy', 'exact')][0] / exact:13.1f}x{references[('numba', 'exact')][0] / exact:7.1f}x"
            f"{references[('numba fastmath', 'exact')][0] / exact:9.1f}x"
            f"{references[('numpy', 'grid')][0] / grid:13.1f}x{references[('numba', 'grid')][0] / grid:7.1f}x"
            f"{references[('numba fastmath', 'grid')][0] / grid:9.1f}x"
            f"{references[('numba', 'similarity')][0] / single:18.1f}x{references[('numba', 'exact')][0] / single:12.1f}x"
        )
    print(f"  matrix of {rows[0]['plays']} plays (the {count} generated ones repeated), paths and resampling included")

    # The thread comparison needs some seconds of work: the plays repeated.
    scaled = [plays[index % count] for index in range(6 * count if args.quick else 10 * count)]
    one_cpu, one_wall = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, threads=1))
    two_cpu, two_wall = best_of(repeat, lambda: kadenzo.compare.matrix(scaled, threads=2))
    print(
        f"\nmatrix ({chosen}), exact form, {len(scaled)} x {len(scaled)}: 1 thread {one_wall:.2f} s wall "
        f"({one_cpu:.2f} s CPU), 2 threads {two_wall:.2f} s wall ({two_cpu:.2f} s CPU, {two_cpu / two_wall:.2f} CPUs busy)"
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
            f"\n{args.big:,} plays, all {n_pairs:,} pairs, grid {GRID_MS:g} ms, all threads ({chosen}): "
            f"{wall:.1f} s wall, {cpu:.1f} s CPU; {load()}"
        )
        top = kadenzo.compare.matrix(big, grid_ms=GRID_MS, top=10)
        print(f"  with top=10: closest pair {top[0]}")


if __name__ == "__main__":
    main()
