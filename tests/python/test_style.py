"""The tree's layout rules: the C++ sources pass clang-format with the
repository's .clang-format, the Python passes ruff's lint and formatter with the
settings in pyproject.toml. Both tools are pinned in the test extra, so every
machine formats alike."""

import pathlib
import shutil
import subprocess
import sys

import pytest
from helpers import ROOT

pytestmark = pytest.mark.tooling


def tracked(*patterns: str) -> list[str]:
    out = subprocess.run(["git", "ls-files", *patterns], cwd=ROOT, capture_output=True, text=True, check=True)
    return out.stdout.split()


def tool(name: str) -> str:
    found = shutil.which(name, path=str(pathlib.Path(sys.executable).parent)) or shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed (the test extra installs it)")
    return found


def check(args: list[str]) -> None:
    result = subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, (result.stdout + result.stderr)[-4000:]


@pytest.fixture(scope="module")
def in_git_tree():
    if not (ROOT / ".git").exists():
        pytest.skip("not a git checkout")


def test_cpp_sources_are_formatted(in_git_tree):
    check([tool("clang-format"), "--dry-run", "-Werror", *tracked("*.cpp", "*.hpp", "*.h", "*.c")])


@pytest.mark.parametrize("command", [["check"], ["format", "--check"]], ids=["lint", "format"])
def test_python_passes_ruff(in_git_tree, command):
    check([tool("ruff"), *command, "."])
