"""The README and the documentation site's pages (docs/) are checked as a
reader would use them: every Python block must run as it stands and print
what its output comments say, and every shell command must work as written
after the two set-up commands: the scripts it names exist, Python runs from
.venv (the only interpreter that has kadenzo then), and the command-line
scripts accept their options (checked with --help). Every public module has
a page in the generated reference."""

import functools
import importlib.util
import os
import re
import shlex
import shutil
import subprocess
import sys

import kadenzo
import pytest
from helpers import DOC_PAGES, ROOT

pytestmark = pytest.mark.tooling

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
# The project folders the examples refer to by relative path.
LINKED_FOLDERS = ("samples", "examples", "tools")
EXAMPLE_MODULES = {path.stem for path in (ROOT / "examples").glob("*.py")}
IMPORTED = re.compile(r"^\s*(?:import|from)\s+(\w+)", re.M)


def blocks(language: str) -> list[tuple[str, str]]:
    """(where, code) of every block of `language` on every page; `where` is
    the page and the line of the block's fence."""
    found = []
    for page in DOC_PAGES:
        text = page.read_text()
        found += [
            (f"{page.relative_to(ROOT)}:{text.count(chr(10), 0, match.start()) + 1}", match.group(2))
            for match in FENCE.finditer(text)
            if match.group(1) == language
        ]
    return found


def expected_output(code: str) -> list[str]:
    """The lines a block says it prints: the comment lines right under a
    top-level statement, or under an indented print() at the same depth."""
    expected, under = [], None  # `under`: the indentation of the statement above
    for line in code.splitlines():
        stripped = line.lstrip()
        indent = line[: len(line) - len(stripped)]
        if stripped.startswith("# ") and indent == under:
            expected.append(stripped[2:])
            continue
        is_statement = bool(stripped) and not stripped.startswith("#")
        under = indent if is_statement and (not indent or stripped.startswith("print(")) else None
    return expected


def missing_modules(code: str) -> list[str]:
    """Third-party modules a block imports that this environment lacks."""
    return [
        name
        for name in IMPORTED.findall(code)
        if name not in EXAMPLE_MODULES and importlib.util.find_spec(name) is None
    ]


PYTHON_BLOCKS = blocks("python")


def test_the_pages_have_a_guide_worth_checking():
    pages = {where.partition(":")[0] for where, _ in PYTHON_BLOCKS}
    assert len(PYTHON_BLOCKS) >= 40 and {"README.md", "docs/guide/decoding.md", "docs/datasets.md"} <= pages


@pytest.mark.parametrize("where, code", PYTHON_BLOCKS, ids=[where for where, _ in PYTHON_BLOCKS])
def test_python_block_runs_and_prints_what_it_says(where, code, tmp_path):
    if missing := missing_modules(code):
        pytest.skip(f"needs {', '.join(missing)}")
    for folder in LINKED_FOLDERS:
        (tmp_path / folder).symlink_to(ROOT / folder)
    env = dict(os.environ, MPLBACKEND="Agg")
    env.pop("RAYON_NUM_THREADS", None)
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, f"the block at {where} failed:\n{result.stderr}"
    printed = result.stdout.splitlines()
    for wanted in expected_output(code):
        assert wanted in printed, f"the block at {where} did not print {wanted!r}:\n{result.stdout}"


def test_blocks_run_against_the_kadenzo_under_test(tmp_path):
    result = subprocess.run(
        [sys.executable, "-c", "import kadenzo; print(kadenzo.__file__)"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.stdout.strip() == kadenzo.__file__, result.stderr


@pytest.mark.parametrize("where, code", blocks("sh"), ids=[where for where, _ in blocks("sh")])
def test_shell_block_names_existing_scripts(where, code):
    for token in re.findall(r"[\w./-]+\.(?:sh|py)\b", code):
        assert (ROOT / token).is_file(), f"the shell block at {where} names {token}, which does not exist"


def shell_commands() -> list[tuple[str, list[str]]]:
    """(where, words) of every command in the shell blocks, without comments
    and without the leading VAR=value settings; `where` is the page and line."""
    commands = []
    for where, code in blocks("sh"):
        page, _, line = where.rpartition(":")
        for offset, text in enumerate(code.splitlines(), start=1):
            words = shlex.split(text, comments=True)
            while words and re.fullmatch(r"\w+=\S*", words[0]):
                words.pop(0)
            if words:
                commands.append((f"{page}:{int(line) + offset}", words))
    return commands


@functools.cache
def help_run(script: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, script, "--help"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=120,
        env=dict(os.environ, MPLBACKEND="Agg"),
    )


SHELL_COMMANDS = shell_commands()
PROJECT_FOLDERS = ("samples", "examples", "bench", "scripts", "tests", "tools")


@pytest.mark.parametrize("line, words", SHELL_COMMANDS, ids=[line for line, _ in SHELL_COMMANDS])
def test_shell_command_works_after_the_set_up(line, words):
    where = f"{line} ({shlex.join(words)})"
    program, *args = words
    if program == "bash":
        program, *args = args
    elif program.endswith(".sh"):
        assert os.access(ROOT / program, os.X_OK), f"{where}: {program} is run directly but is not executable"
    assert program not in ("python", "python3"), (
        f"{where}: after the set-up only .venv has kadenzo; write .venv/bin/python"
    )
    if program == ".venv/bin/python":
        if args[0] == "-m":
            assert importlib.util.find_spec(args[1]), f"{where}: the set-up installs no module {args[1]}"
        else:
            script = args[0]
            assert (ROOT / script).is_file(), f"{where}: {script} does not exist"
            if "argparse" in (ROOT / script).read_text():
                result = help_run(script)
                assert result.returncode == 0, f"{where}: --help failed:\n{result.stderr}"
                options = {arg.split("=")[0] for arg in args if arg.startswith("--")}
                assert all(option in result.stdout for option in options), f"{where}: unknown option"
    elif "/" in program:
        assert (ROOT / program).is_file(), f"{where}: {program} does not exist"
    else:
        assert shutil.which(program), f"{where}: {program} is not installed by the set-up"
    for arg in args:
        if arg.split("/")[0] in PROJECT_FOLDERS and "*" not in arg:
            assert (ROOT / arg).exists(), f"{where}: {arg} does not exist"


def test_every_public_module_has_a_reference_page():
    # The reference pages are generated (mkdocs.yml): each names its module
    # once, and a module without a page would be missing from the site.
    modules = {"kadenzo"} | {
        f"kadenzo.{path.stem}"
        for path in (ROOT / "python" / "kadenzo").glob("*.py")
        if not path.stem.startswith("_") and path.stem != "cli"  # the command line has its own page
    }
    generated = {
        match
        for page in (ROOT / "docs" / "reference").glob("*.md")
        for match in re.findall(r"^::: ([\w.]+)$", page.read_text(), re.M)
    }
    assert modules <= generated, f"add a page to docs/reference/ and mkdocs.yml's nav for {sorted(modules - generated)}"


def test_readme_links_lead_to_existing_pages():
    # The site's build checks the links of its own pages; the README lies outside it.
    targets = re.findall(r"\]\(([^)#\s]+)[^)]*\)", (ROOT / "README.md").read_text())
    assert len(targets) >= 10
    missing = [target for target in targets if "://" not in target and not (ROOT / target).exists()]
    assert not missing, f"README.md links to {missing}"
