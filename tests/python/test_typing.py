"""The type stub shipped with the package: a strict type check of a typed usage
example, the stub compared with the runtime module, and the example run.

The module's callables carry no signature that stubtest could read, so the
parameter names of the stub are checked here by calling with them."""

import ast
import os
import pathlib
import site
import subprocess
import sys

import kadenzo
import pytest
from helpers import ROOT

pytestmark = pytest.mark.tooling

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


def test_package_passes_strict_type_check(tmp_path):
    pytest.importorskip("mypy")
    out = run([sys.executable, "-m", "mypy", "--strict", "-p", "kadenzo"], checker_env(tmp_path), cwd=tmp_path)
    assert "no issues found" in out


def test_stub_matches_runtime_module(tmp_path):
    pytest.importorskip("mypy")
    run(
        [sys.executable, "-m", "mypy.stubtest", "kadenzo", "--allowlist", str(TYPING / "stubtest_allowlist.txt")],
        checker_env(tmp_path),
    )


def test_usage_example_runs_on_the_samples():
    samples = sorted(str(p) for p in (ROOT / "samples").glob("*.kvr"))
    out = run([sys.executable, str(TYPING / "usage.py"), *samples], dict(os.environ))
    assert out.count("edited:") == len(samples)


def stub_signatures():
    """(callable's name, its parameter names) for every function and
    constructor the stub declares, read from the stub's syntax tree; a class
    may take its constructor from a private base of the stub."""
    tree = ast.parse((ROOT / "python" / "kadenzo" / "__init__.pyi").read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def constructor(node):
        own = [item for item in node.body if isinstance(item, ast.FunctionDef) and item.name == "__new__"]
        if own:
            return own[0]
        bases = [classes[base.id] for base in node.bases if isinstance(base, ast.Name) and base.id in classes]
        return next((c for c in map(constructor, bases) if c), None)

    found = [(node.name, [a.arg for a in node.args.args]) for node in tree.body if isinstance(node, ast.FunctionDef)]
    for name, node in classes.items():
        if not name.startswith("_") and (new := constructor(node)):
            found.append((name, [a.arg for a in new.args.args[1:]]))
    return found


STUB_SIGNATURES = stub_signatures()


def test_stub_declares_every_function_and_constructor():
    declared = {name for name, _ in STUB_SIGNATURES}
    assert {
        "parse_replay_from_bytes",
        "parse_replays_from_paths",
        "ReplayEventKivo",
        "LifeBarState",
        "GameMode",
        "Mod",
        "KeyMania",
    } <= declared


@pytest.mark.parametrize("name, parameters", STUB_SIGNATURES, ids=[name for name, _ in STUB_SIGNATURES])
def test_stub_parameter_names_are_the_runtime_keywords(name, parameters):
    # Every argument is an object no converter takes: binding (which checks
    # the keywords) must pass, and conversion then fails on the first one.
    with pytest.raises(TypeError) as info:
        getattr(kadenzo, name)(**{parameter: object() for parameter in parameters})
    assert str(info.value).startswith(f"argument '{parameters[0]}': "), str(info.value)
