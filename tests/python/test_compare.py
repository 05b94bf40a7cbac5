"""kadenzo.compare: the exact and grid forms against a NumPy reference, the
edge cases to the bit, the matrix against single pairs, argument checks,
Ctrl-C, and the command line over a folder."""

import csv
import json
import math
import os
import signal
import subprocess
import sys
import threading
import time

import kadenzo
import numpy as np
import pytest
from kadenzo import _native, cli, compare
from kadenzo import columns as kc
from replay_builder import MODE_STD, MODE_TAIKO, ReplayFile, realistic_replay

NAN = math.nan


def play(frames):
    """FrameColumns of cursor frames given as (time_delta, x, y)."""
    return kc.frames(ReplayFile(frames=[(d, x, y, 0) for d, x, y in frames]).to_bytes())


@pytest.fixture(scope="module")
def plays():
    """Realistic cursor plays of different lengths (each opens with the game's
    lead-in frames, whose clock steps back), one starting later than the rest."""
    made = [kc.frames(realistic_replay(MODE_STD, 600 + 450 * seed, seed=seed).to_bytes()) for seed in range(6)]
    late = realistic_replay(MODE_STD, 800, seed=9)
    late.frames[0] = (7_000, *late.frames[0][1:])
    return made + [kc.frames(late.to_bytes())]


# --- the NumPy reference ------------------------------------------------------


def reference_path(columns):
    """Time, x, y of the frames that count: positions finite, the clock never
    going back, the later of equal times."""
    t = np.cumsum(np.asarray(columns.time_delta)).astype(float)
    x, y = np.asarray(columns.x), np.asarray(columns.y)
    keep = []
    for k in np.flatnonzero(np.isfinite(x) & np.isfinite(y)):
        if keep and t[k] < t[keep[-1]]:
            continue
        if keep and t[k] == t[keep[-1]]:
            keep.pop()
        keep.append(k)
    return t[keep], x[keep], y[keep]


def reference_similarity(a, b, mirror_y=None):
    (ta, xa, ya), (tb, xb, yb) = reference_path(a), reference_path(b)
    if mirror_y is not None:
        yb = mirror_y - yb
    inside = (ta >= tb[0]) & (ta <= tb[-1]) if len(tb) else np.zeros(len(ta), bool)
    if not inside.any():
        return NAN
    t = ta[inside]
    return np.hypot(xa[inside] - np.interp(t, tb, xb), ya[inside] - np.interp(t, tb, yb)).mean()


def reference_grid(a, b, step):
    grids = []
    for t, x, y in (reference_path(a), reference_path(b)):
        k = np.arange(math.ceil(t[0] / step), math.floor(t[-1] / step) + 1)
        grids.append((k, np.interp(k * step, t, x), np.interp(k * step, t, y)))
    (ka, xa, ya), (kb, xb, yb) = grids
    shared, ia, ib = np.intersect1d(ka, kb, return_indices=True)
    return np.hypot(xa[ia] - xb[ib], ya[ia] - yb[ib]).mean() if len(shared) else NAN


def same(got, expected, rel=1e-9):
    return (math.isnan(got) and math.isnan(expected)) or got == pytest.approx(expected, rel=rel)


# --- values -----------------------------------------------------------------------


@pytest.mark.parametrize("mirror_y", [None, 384])
def test_similarity_matches_the_numpy_reference(plays, mirror_y):
    for a in plays:
        for b in plays:
            assert same(compare.similarity(a, b, mirror_y=mirror_y), reference_similarity(a, b, mirror_y))


# (a, b, distance): no overlap, one frame, equal times (the later counts),
# positions that are NaN or infinite (left out), b's last frame met exactly.
EDGES = [
    ([(0, 0, 0), (10, 0, 0)], [(11, 5, 5), (10, 5, 5)], NAN),
    ([(10, 3, 4)], [(0, 0, 0), (20, 0, 0)], 5.0),
    ([(0, 0, 0), (10, 0, 0)], [(10, 3, 4)], 5.0),
    ([(5, 0, 0)], [(10, 3, 4)], NAN),
    ([(10, 0, 0), (0, 6, 8)], [(0, 0, 0), (10, 0, 0), (0, 0, 0)], 10.0),
    ([(0, 0, 0), (10, NAN, 1), (0, 3, 4)], [(0, 0, 0), (10, math.inf, 0), (10, 0, 0)], 2.5),
    ([(0, 0, 0), (5, 0, 0), (5, 0, 0)], [(0, 0, 0), (10, 6, 8)], 5.0),
    ([(0, 0, 0)], [], NAN),
]


@pytest.mark.parametrize("a, b, distance", EDGES)
def test_edge_cases_are_exact(a, b, distance):
    got = compare.similarity(play(a), play(b))
    assert got == distance or (math.isnan(got) and math.isnan(distance))
    if b:
        assert same(got, reference_similarity(play(a), play(b)), rel=0)


@pytest.mark.parametrize("mirror_y", [None, 300.5])
def test_matrix_equals_similarity_pairwise_and_top_is_its_smallest(plays, mirror_y):
    n = len(plays)
    matrix = np.asarray(compare.matrix(plays, mirror_y=mirror_y, threads=2))
    assert matrix.shape == (n, n) and matrix.dtype == np.float64
    for i in range(n):
        for j in range(n):
            assert same(matrix[i, j], compare.similarity(plays[i], plays[j], mirror_y=mirror_y), rel=0)
    upper = sorted((matrix[i, j], i, j) for i in range(n) for j in range(i + 1, n) if not math.isnan(matrix[i, j]))
    top = compare.matrix(plays, mirror_y=mirror_y, top=5)
    assert top == [compare.Pair(i, j, d) for d, i, j in upper[:5]]


def test_grid_form_matches_the_numpy_reference(plays):
    matrix = np.asarray(compare.matrix(plays, grid_ms=16.5))
    assert np.array_equal(matrix, matrix.T, equal_nan=True)
    for i, a in enumerate(plays):
        for j, b in enumerate(plays):
            assert same(matrix[i, j], reference_grid(a, b, 16.5))
    assert compare.matrix(plays, grid_ms=16.5, top=1)[0].distance == np.nanmin(matrix[np.triu_indices(len(plays), 1)])


def test_sources_other_than_columns_are_decoded(plays, tmp_path):
    data = realistic_replay(MODE_STD, 500, seed=1).to_bytes()
    path = tmp_path / "a.kvr"
    path.write_bytes(data)
    columns = kc.frames(data)
    expected = compare.similarity(columns, plays[0])
    assert (
        compare.similarity(path, plays[0])
        == compare.similarity(kadenzo.parse_replay_from_bytes(data), plays[0])
        == expected
    )
    assert np.asarray(compare.matrix([str(path), data]))[0, 1] == 0.0


# --- kernels ------------------------------------------------------------------------

# Run in a process of its own, whose KADENZO_KERNEL forces one kernel: the
# matrices (exact, mirrored, grid) of the plays in the files given, checked
# there against similarity to the bit, as JSON.
KERNEL_RUN = """
import json, sys
import numpy as np
from kadenzo import _native, compare, columns
plays = [columns.frames(path) for path in sys.argv[1:]]
exact = np.asarray(compare.matrix(plays, threads=2))
mirrored = np.asarray(compare.matrix(plays, mirror_y=384))
for i, a in enumerate(plays):
    for j, b in enumerate(plays):
        assert np.array_equal(exact[i, j], compare.similarity(a, b), equal_nan=True), (i, j)
        assert np.array_equal(mirrored[i, j], compare.similarity(a, b, mirror_y=384), equal_nan=True), (i, j)
grid = np.asarray(compare.matrix(plays, grid_ms=16.5))
print(json.dumps([_native.distance_kernels()[0], exact.tolist(), mirrored.tolist(), grid.tolist()]))
"""


def run_kernel(kernel, paths):
    environment = dict(os.environ, KADENZO_KERNEL=kernel)
    return subprocess.run(
        [sys.executable, "-c", KERNEL_RUN, *map(str, paths)], env=environment, capture_output=True, text=True
    )


@pytest.fixture(scope="module")
def play_files(tmp_path_factory):
    """Plays that copy each other exactly (squares of 0 all along) among others."""
    folder = tmp_path_factory.mktemp("kernels")
    paths = []
    for seed in (0, 1, 1, 2, 3):
        path = folder / f"p{len(paths)}.kvr"
        path.write_bytes(realistic_replay(MODE_STD, 700 + 300 * seed, seed=seed).to_bytes())
        paths.append(path)
    return paths


@pytest.mark.parametrize("kernel", _native.distance_kernels()[1])
def test_every_kernel_forced_agrees_with_the_chosen_one(kernel, play_files):
    """Each kernel this processor runs, forced: matrix equals similarity on
    it to the bit, and its values are those of the kernel chosen within the
    documented 1e-13 (their additions are in another order)."""
    forced = run_kernel(kernel, play_files)
    assert forced.returncode == 0, forced.stderr
    name, *matrices = json.loads(forced.stdout)
    assert name == kernel
    plays = [kc.frames(path) for path in play_files]
    chosen = [
        np.asarray(compare.matrix(plays)),
        np.asarray(compare.matrix(plays, mirror_y=384)),
        np.asarray(compare.matrix(plays, grid_ms=16.5)),
    ]
    for got, expected in zip(matrices, chosen):
        np.testing.assert_allclose(np.asarray(got, dtype=float), expected, rtol=1e-13, atol=0)
    assert matrices[0][1][2] == 0.0  # the copies


def test_a_kernel_that_cannot_be_had_is_refused(play_files):
    refused = run_kernel("avx1024", play_files[:1])
    assert refused.returncode != 0
    assert "ValueError: KADENZO_KERNEL='avx1024'" in refused.stderr


# --- arguments ------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p: compare.similarity(p, p, mirror_y="384"), TypeError, "mirror_y must be a number or None, not str"),
        (lambda p: compare.similarity(p, p, mirror_y=math.nan), ValueError, "mirror_y must be finite, not nan"),
        (lambda p: compare.matrix([p], grid_ms=0), ValueError, "grid_ms must be greater than 0, not 0"),
        (lambda p: compare.matrix([p], grid_ms=True), TypeError, "grid_ms must be a number or None, not bool"),
        (lambda p: compare.matrix([p], top=0), ValueError, "top must be 1 or more, not 0"),
        (lambda p: compare.matrix([p], threads=1.0), TypeError, "threads must be an int or None, not float"),
        (
            lambda p: compare.matrix("a.kvr"),
            ValueError,
            "plays must be a collection of plays, not one string or buffer",
        ),
        (
            lambda p: compare.matrix([p], grid_ms=1e-9),
            ValueError,
            "grid_ms is too fine for play 0: it would take more than 16777216 grid points",
        ),
        (
            lambda p: compare.similarity(p, kc.frames(realistic_replay(MODE_TAIKO, 5).to_bytes())),
            ValueError,
            "b is not a cursor-mode play (its mode is GameMode.TAIKO)",
        ),
    ],
)
def test_arguments_are_checked(plays, call, error, message):
    with pytest.raises(error) as raised:
        call(plays[0])
    assert str(raised.value) == message


def test_ctrl_c_stops_a_long_matrix_promptly(plays):
    many = plays * 300  # 4.4 million pairs: minutes of work
    raised_at = []

    def interrupt():
        raised_at.append(time.monotonic())
        signal.raise_signal(signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        compare.matrix(many)
    # The calling thread looks every 50 ms; the bound leaves room for a loaded
    # machine and a sanitized build (0.202 s seen there), and is still a
    # thousandth of the minutes the whole matrix takes.
    assert time.monotonic() - raised_at[0] < 0.5
    timer.join()
    assert compare.matrix(plays[:2], top=1)  # the pool is ready for the next call


# --- the command line --------------------------------------------------------------


def test_compare_command_on_a_folder(plays, tmp_path, capsys):
    for seed in range(4):
        (tmp_path / f"p{seed}.kvr").write_bytes(realistic_replay(MODE_STD, 400, seed=seed).to_bytes())
    (tmp_path / "drums.kvr").write_bytes(realistic_replay(MODE_TAIKO, 50).to_bytes())
    (tmp_path / "damaged.kvr").write_bytes(b"kv")
    out = tmp_path / "pairs.csv"
    assert cli.main(["compare", str(tmp_path), "--top", "2", "-o", str(out), "--no-progress"]) == 1
    rows = list(csv.DictReader(out.open()))
    assert [list(row) for row in rows] == [["a", "b", "distance"]] * 2
    paths = sorted(str(p) for p in tmp_path.glob("p*.kvr"))
    first = compare.similarity(rows[0]["a"], rows[0]["b"])
    assert float(rows[0]["distance"]) == first <= float(rows[1]["distance"])
    assert {rows[0]["a"], rows[0]["b"]} <= set(paths)
    assert capsys.readouterr().err.splitlines()[-2:] == [
        f"kadenzo compare: {tmp_path / 'damaged.kvr'}: file ends inside game_version (needs 3 more bytes at offset 2)",
        "4 cursor-mode plays compared, 2 pairs written; 1 play of other modes left out, 1 file failed",
    ]
    assert cli.main(["compare", *paths, "--grid-ms", "16", "--no-progress"]) == 0
    assert len(capsys.readouterr().out.splitlines()) == 1 + 6
    assert cli.main(["compare", str(tmp_path / "drums.kvr"), "--no-progress"]) == 0  # no cursor play: no pair
    assert capsys.readouterr().out == "a,b,distance\n"
