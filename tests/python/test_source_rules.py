"""Rules of the source tree that the compiler cannot see: only the files under
src/python talk to the interpreter, so the decoding core (every other folder
of src/, built as a library of its own) stays free of Python and testable in
plain C++."""

import pathlib
import re

import pytest
from helpers import LAYOUT_PAGE, ROOT

# The core and the programs that use the core alone.
CORE_FOLDERS = ("src", "tests/cpp", "fuzz")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.MULTILINE)
INTERPRETER_HEADERS = {"Python.h", "structmember.h"}
BINDING = ROOT / "src" / "python"


def core_files():
    for folder in CORE_FOLDERS:
        for path in sorted((ROOT / folder).rglob("*")):
            if path.suffix in {".cpp", ".hpp", ".h", ".cc"} and not path.is_relative_to(BINDING):
                yield path


def interpreter_includes(text):
    return [
        name
        for name in INCLUDE.findall(text)
        if name in INTERPRETER_HEADERS or pathlib.PurePosixPath(name).parts[0] == "python"
    ]


def test_core_files_include_no_interpreter_header():
    offenders = {
        str(path.relative_to(ROOT)): found
        for path in core_files()
        if (found := interpreter_includes(path.read_text(encoding="utf-8")))
    }
    assert not offenders, (
        "nothing outside src/python includes Python.h or a header of src/python; move the code "
        f"that needs the interpreter under src/python: {offenders}"
    )


@pytest.mark.parametrize(
    "text, found",
    [
        ("#include <Python.h>\n", ["Python.h"]),
        ('  #  include "python/binding/py_ref.hpp"\n', ["python/binding/py_ref.hpp"]),
        ('#include "structmember.h"\n', ["structmember.h"]),
        ('#include "replay_decode/replay_parser.hpp"\n#include <vector>\n', []),
        ('// #include "python/copy.hpp"\n', []),
    ],
)
def test_the_scan_recognises_interpreter_includes(text, found):
    assert interpreter_includes(text) == found


def test_the_scan_sees_the_core():
    names = {path.name for path in core_files()}
    assert {"replay_parser.cpp", "worker_pool.hpp", "stop.cpp"} <= names
    assert not any(name.startswith("py_") for name in names)


def source_folders():
    """The folders of src/ that hold code: the core's, and those of src/python."""
    return sorted(
        path.relative_to(ROOT / "src").as_posix()
        for path in (ROOT / "src").rglob("*")
        if path.is_dir() and any(child.is_file() for child in path.iterdir())
    )


def test_layout_page_names_every_source_folder_and_python_module():
    layout = LAYOUT_PAGE.read_text(encoding="utf-8")
    folders = [f"src/{folder}" for folder in source_folders()]
    modules = [path.name for path in sorted((ROOT / "python/kadenzo").glob("*.py"))]
    missing = [name for name in folders + modules if f"`{name}`" not in layout]
    assert not missing, f"describe these in {LAYOUT_PAGE.relative_to(ROOT)}: {missing}"


def test_the_lock_is_released_only_through_the_shared_helpers():
    # A daemon thread that takes the lock back at shutdown is ended by an
    # unwind that only python/binding/py_unlocked.hpp's helpers let through safely.
    releases = re.compile(r"Py_BEGIN_ALLOW_THREADS|PyEval_SaveThread|PyEval_RestoreThread")
    offenders = [
        str(path.relative_to(ROOT))
        for path in sorted((ROOT / "src").rglob("py_*"))
        if path.name != "py_unlocked.hpp" and releases.search(path.read_text(encoding="utf-8"))
    ]
    assert not offenders, f"release the interpreter lock with without_interpreter_lock: {offenders}"


def layout_order():
    """The folders of src/ as the layout page lists them, from the bottom up."""
    layout = LAYOUT_PAGE.read_text(encoding="utf-8")
    layout = layout[: layout.index("\nBeside them:")]
    heads = re.findall(r"^- (`src/[a-z_/]+`(?:,\s+`src/[a-z_/]+`)*):", layout, re.MULTILINE)
    return [name for head in heads for name in re.findall(r"`src/([a-z_/]+)`", head)]


def test_includes_point_down_the_layout_order():
    # One order for the folders, listed once on the layout page: every include goes
    # to an earlier folder or its own, so the folder graph has no cycle. The
    # folders of src/python (the binding) come after the whole core.
    order = layout_order()
    assert sorted(order) == source_folders()
    rank = {folder: index for index, folder in enumerate(order)}
    assert max(rank[f] for f in order if not f.startswith("python/")) < min(
        rank[f] for f in order if f.startswith("python/")
    )
    upward = []
    for path in sorted((ROOT / "src").rglob("*.[ch]pp")):
        source = path.parent.relative_to(ROOT / "src").as_posix()
        for name in INCLUDE.findall(path.read_text(encoding="utf-8")):
            folder = name.rpartition("/")[0]
            if folder in rank and folder != source and rank[folder] > rank[source]:
                upward.append(f"{path.relative_to(ROOT)} -> {name}")
    assert not upward, "includes that point up the layout page's order:\n" + "\n".join(upward)


def test_native_code_imports_no_python_module_above_it_and_python_sees_native_through_its_stub():
    # The native module sits below the package's Python modules: it may import
    # itself (for pickling) or third-party libraries, never a kadenzo module;
    # the Python side imports it by name, so mypy checks each call against the stub.
    native = "".join(path.read_text(encoding="utf-8") for path in sorted((ROOT / "src").rglob("py_*.cpp")))
    upward = [name for name in re.findall(r'PyImport_ImportModule\("([^"]+)"\)', native) if name.startswith("kadenzo")]
    assert set(upward) <= {"kadenzo._native"}, upward
    assert "PyImport_GetModuleDict" not in native  # submodules come through the import system
    untyped = [
        path.name
        for path in sorted((ROOT / "python/kadenzo").glob("*.py"))
        if re.search(r"import_module\(\s*[\"']kadenzo\._native", path.read_text(encoding="utf-8"))
    ]
    assert not untyped, f"import kadenzo._native by name (from kadenzo import _native): {untyped}"
