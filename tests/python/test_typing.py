"""The type stub shipped with the package: a strict type check of a typed usage
example, the stub compared with the runtime module, and the example run."""
import os
import pathlib
import site
import subprocess
import sys

import pytest

import kadenzo

pytestmark = pytest.mark.tooling

ROOT = pathlib.Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"
PACKAGE_DIR = pathlib.Path(kadenzo.__file__).parent


def checker_env(tmp_path) -> dict[str, str]:
    """The environment for mypy and stubtest: the imported kadenzo package is
    the one checked. An installed package is found by its py.typed marker;
    a build tree (PYTHONPATH) is named on MYPYPATH, which must not hold
    site-packages."""
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    installed = str(PACKAGE_DIR.parent) in {*site.getsitepackages(), site.getusersitepackages()}
    if not installed:
        env["MYPYPATH"] = str(PACKAGE_DIR.parent)
    return env


def run(args, env, cwd=ROOT):
    result = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_stub_and_marker_are_installed_beside_the_module():
    assert (PACKAGE_DIR / "__init__.pyi").is_file()
    assert (PACKAGE_DIR / "py.typed").is_file()


def test_usage_example_passes_strict_type_check(tmp_path):
    pytest.importorskip("mypy")
    out = run([sys.executable, "-m", "mypy", "--strict", str(TYPING / "usage.py")], checker_env(tmp_path))
    assert "no issues found" in out


def test_stub_matches_runtime_module(tmp_path):
    pytest.importorskip("mypy")
    run([sys.executable, "-m", "mypy.stubtest", "kadenzo",
         "--allowlist", str(TYPING / "stubtest_allowlist.txt")], checker_env(tmp_path))


def test_usage_example_runs_on_the_samples():
    samples = sorted(str(p) for p in (ROOT / "samples").glob("*.kvr"))
    out = run([sys.executable, str(TYPING / "usage.py"), *samples], dict(os.environ))
    assert out.count("edited:") == len(samples)
