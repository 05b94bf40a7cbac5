"""The typed modules beside the extension (kadenzo.bulk, kadenzo.errors, kadenzo.encode):
a strict type check of a typed usage example, stubtest against the runtime,
and the example run on the samples and a missing file."""

import os
import sys

import pytest
from test_typing import ROOT, TYPING, checker_env, run

pytestmark = pytest.mark.tooling


def test_bulk_usage_passes_strict_type_check(tmp_path):
    pytest.importorskip("mypy")
    out = run([sys.executable, "-m", "mypy", "--strict", str(TYPING / "bulk_usage.py")], checker_env(tmp_path))
    assert "no issues found" in out


def test_bulk_modules_match_their_runtime(tmp_path):
    pytest.importorskip("mypy")
    run([sys.executable, "-m", "mypy.stubtest", "kadenzo.bulk", "kadenzo.errors"], checker_env(tmp_path))


def test_bulk_usage_runs(tmp_path):
    samples = sorted(str(p) for p in (ROOT / "samples").glob("*.kvr"))
    out = run(
        [sys.executable, str(TYPING / "bulk_usage.py"), *samples, str(tmp_path / "missing.kvr")], dict(os.environ)
    )
    assert out.count("GameMode.") == len(samples)
    assert "failed: [Errno 2] No such file or directory" in out


def test_encode_usage_passes_strict_type_check_and_runs(tmp_path):
    pytest.importorskip("mypy")
    out = run([sys.executable, "-m", "mypy", "--strict", str(TYPING / "encode_usage.py")], checker_env(tmp_path))
    assert "no issues found" in out
    run([sys.executable, "-m", "mypy.stubtest", "kadenzo.encode"], checker_env(tmp_path))
    out = run(
        [
            sys.executable,
            str(TYPING / "encode_usage.py"),
            str(ROOT / "samples" / "std.kvr"),
            str(tmp_path / "renamed.kvr"),
        ],
        dict(os.environ),
    )
    assert out == "written: someone True\n"
