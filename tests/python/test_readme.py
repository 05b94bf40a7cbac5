"""The README is the user guide: every Python block in it must run as it
stands, print what its output comments say, and every script a shell block
names must exist."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

pytestmark = pytest.mark.tooling

ROOT = pathlib.Path(__file__).resolve().parents[2]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
# The project folders the examples refer to by relative path.
LINKED_FOLDERS = ("samples", "examples", "tools")


def blocks(language: str) -> list[tuple[int, str]]:
    text = (ROOT / "README.md").read_text()
    return [(text.count("\n", 0, match.start()) + 1, match.group(2))
            for match in FENCE.finditer(text) if match.group(1) == language]


def expected_output(code: str) -> list[str]:
    """Comment lines right under a top-level statement: the lines it prints."""
    expected, under_statement = [], False
    for line in code.splitlines():
        if line.startswith("# "):
            if under_statement:
                expected.append(line[2:])
                continue
        under_statement = bool(line) and not line.startswith((" ", "#"))
    return expected


PYTHON_BLOCKS = blocks("python")


def test_readme_has_a_guide_worth_checking():
    assert len(PYTHON_BLOCKS) >= 10


@pytest.mark.parametrize("line, code", PYTHON_BLOCKS, ids=[f"line {n}" for n, _ in PYTHON_BLOCKS])
def test_python_block_runs_and_prints_what_it_says(line, code, tmp_path):
    for folder in LINKED_FOLDERS:
        (tmp_path / folder).symlink_to(ROOT / folder)
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("RAYON_NUM_THREADS", None)
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"README block at line {line} failed:\n{result.stderr}"
    printed = result.stdout.splitlines()
    for wanted in expected_output(code):
        assert wanted in printed, f"README block at line {line} did not print {wanted!r}:\n{result.stdout}"


@pytest.mark.parametrize("line, code", blocks("sh"), ids=[f"line {n}" for n, _ in blocks("sh")])
def test_shell_block_names_existing_scripts(line, code):
    for token in re.findall(r"[\w./-]+\.(?:sh|py)\b", code):
        assert (ROOT / token).is_file(), f"README shell block at line {line} names {token}, which does not exist"
