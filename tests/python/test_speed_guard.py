"""The speed guard's choices that do not need valgrind: which baseline a
compiler is held to, and that the committed baseline covers every group."""

import json
import sys

import pytest
from helpers import ROOT

sys.path.insert(0, str(ROOT / "bench"))
import speed_guard  # noqa: E402

BASELINE = {"gcc 12.2.0": {}, "gcc 14.2.0": {}, "clang 16.0.6": {}}


@pytest.mark.parametrize(
    "compiler, expected",
    [
        ("gcc 12.2.0", ("gcc 12.2.0", speed_guard.TOLERANCE)),
        ("gcc 13.3.0", ("gcc 14.2.0", speed_guard.FOREIGN_TOLERANCE)),  # 1 major version from 14, 1 from 12: the later
        ("gcc 12.3.0", ("gcc 12.2.0", speed_guard.FOREIGN_TOLERANCE)),
        ("clang 19.1.0", ("clang 16.0.6", speed_guard.FOREIGN_TOLERANCE)),
        ("icx 2024.0.0", (None, speed_guard.FOREIGN_TOLERANCE)),
    ],
)
def test_a_compiler_is_held_to_its_own_baseline_or_the_nearest_of_its_kind(compiler, expected):
    assert speed_guard.reference(BASELINE, compiler) == expected


def test_the_committed_baseline_guards_every_group():
    counts = json.loads(speed_guard.BASELINE.read_text())["counts"]
    assert counts and all(set(groups) == set(speed_guard.GROUPS) for groups in counts.values())
