"""The wheel users install: built by scripts/build_wheel.sh from a clean copy of
the sources, repaired by auditwheel, installed into a fresh virtual environment
and used there, away from the build tree and the project's own environment."""

import importlib.util
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile
from fnmatch import fnmatch

import kadenzo
import pytest
from helpers import ROOT, SAMPLES

pytestmark = pytest.mark.tooling

BUNDLED = ("libmimalloc", "liblzma")


def run(args, **kwargs) -> str:
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900, **kwargs)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stdout}{result.stderr}"
    return result.stdout


def source_files() -> list[str]:
    """What a clean clone holds, plus the uncommitted work: the tracked files
    still present and the new files git does not ignore. Copying these rather
    than cloning HEAD tests the tree as it is; ignored build output (build/,
    dist/, .venv/) stays behind, as it would in a fresh clone."""
    listed = run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT)
    return [name for name in listed.split("\0") if name and (ROOT / name).is_file()]


@pytest.fixture(scope="module")
def wheel() -> pathlib.Path:
    """The repaired wheel. The build runs without isolation on this
    interpreter's build tools (the test extra installs them), so it needs no
    package index and compiles once per run."""
    for module in ("build", "auditwheel", "scikit_build_core"):
        pytest.importorskip(module)
    if shutil.which("git") is None or not (ROOT / ".git").exists():
        pytest.skip("the sources are copied from a git work tree")
    # The copy sits in the build folder, as deep below the work tree as the
    # test set-up's own build (build/release): under a compiler cache whose
    # base is the work tree (scripts/test.sh sets one up), every compile
    # then finds the release build's object and the test builds nothing.
    source = ROOT / "build" / "wheel-source"
    shutil.rmtree(source, ignore_errors=True)
    for name in source_files():
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, source / name)
    out = run(
        ["bash", source / "scripts" / "build_wheel.sh"],
        cwd=source,
        env=dict(os.environ, PYTHON=sys.executable, BUILD_ISOLATION="0"),
    )
    return pathlib.Path(out.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory) -> pathlib.Path:
    """The interpreter of a fresh virtual environment holding only the wheel."""
    env_dir = tmp_path_factory.mktemp("venv").resolve()
    run([sys.executable, "-m", "venv", env_dir])
    python = env_dir / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel])
    return python


def run_installed(python: pathlib.Path, args, extra_path: pathlib.Path | None = None) -> str:
    """Runs the fresh environment's interpreter with none of this process's
    PYTHON* settings, so a PYTHONPATH naming a build tree cannot stand in for
    the installed package. The working directory holds no package either."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    if extra_path is not None:
        env["PYTHONPATH"] = str(extra_path)
    return run([python, *args], env=env, cwd=python.parent)


def venv_dir(python: pathlib.Path) -> pathlib.Path:
    return python.parent.parent


# --- The wheel's contents ----------------------------------------------------


def test_wheel_holds_the_package_and_the_bundled_libraries(wheel):
    assert "-manylinux_" in wheel.name, wheel.name
    names = zipfile.ZipFile(wheel).namelist()
    # The command line is a subpackage: its folder is installed too.
    for pattern in (
        "kadenzo/__init__.cpython-311-*.so",
        "kadenzo/__init__.pyi",
        "kadenzo/py.typed",
        "kadenzo/cli/*.py",
    ):
        assert any(fnmatch(name, pattern) for name in names), pattern
    bundled = [name.removeprefix("kadenzo.libs/") for name in names if name.startswith("kadenzo.libs/")]
    for library in BUNDLED:
        assert any(name.startswith(library + "-") for name in bundled), (library, bundled)
    # The C++ runtime must stay the system's shared one: a private copy would
    # give the process two operator new/delete pairs again.
    assert not any(name.startswith("libstdc++") for name in bundled), bundled


def test_extension_needs_the_bundled_copies_with_the_cpp_runtime_first(wheel):
    """auditwheel rewrites the needed-library list to name the renamed copies;
    the C++ runtime must still precede mimalloc there (see CMakeLists.txt)."""
    elffile = pytest.importorskip("elftools.elf.elffile")
    archive = zipfile.ZipFile(wheel)
    [module] = [name for name in archive.namelist() if fnmatch(name, "kadenzo/__init__*.so")]
    dynamic = elffile.ELFFile(io.BytesIO(archive.read(module))).get_section_by_name(".dynamic")
    needed = [tag.needed for tag in dynamic.iter_tags("DT_NEEDED")]
    search_path = [tag.rpath for tag in dynamic.iter_tags("DT_RPATH")]
    search_path += [tag.runpath for tag in dynamic.iter_tags("DT_RUNPATH")]

    bundled = {name.removeprefix("kadenzo.libs/") for name in archive.namelist() if name.startswith("kadenzo.libs/")}
    position = {}
    for library in BUNDLED:
        [entry] = [name for name in needed if name.startswith(library)]
        assert entry in bundled, (entry, bundled)
        position[library] = needed.index(entry)
    assert needed.index("libstdc++.so.6") < position["libmimalloc"], needed
    assert any("$ORIGIN/../kadenzo.libs" in path.split(":") for path in search_path), search_path


# --- The installed wheel at work ---------------------------------------------


def load_show_samples():
    spec = importlib.util.spec_from_file_location("show_samples", ROOT / "scripts" / "show_samples.py")
    show_samples = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(show_samples)
    return show_samples


def test_installed_wheel_decodes_the_samples_as_the_tested_module_does(installed):
    assert SAMPLES
    show_samples = load_show_samples()
    expected = [show_samples.summary(path, kadenzo.parse_replay_from_path(str(path))) for path in SAMPLES]
    expected.append(f"batch: {len(SAMPLES)} of {len(SAMPLES)} replays decoded")
    out = run_installed(installed, [ROOT / "scripts" / "show_samples.py", ROOT / "samples"])
    assert out.splitlines() == expected


PROBE = """
import json, sys
import kadenzo
kadenzo.parse_replay_from_path(sys.argv[1])
with open("/proc/self/maps") as maps:
    paths = {fields[5] for fields in (line.split(maxsplit=5) for line in maps) if len(fields) == 6}
print(json.dumps({"module": kadenzo.__file__, "mapped": sorted(path.strip() for path in paths)}))
"""


def test_installed_wheel_runs_on_its_bundled_libraries(installed):
    """The copies inside the environment are the ones loaded, not the build
    machine's, which a user's machine may lack or hold in another version."""
    probe = json.loads(run_installed(installed, ["-c", PROBE, SAMPLES[0]]))
    site = venv_dir(installed) / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages"
    assert pathlib.Path(probe["module"]).parent == site / "kadenzo"
    for library in BUNDLED:
        loaded = [pathlib.Path(path) for path in probe["mapped"] if pathlib.Path(path).name.startswith(library)]
        assert loaded, (library, probe["mapped"])
        assert all(path.parent == site / "kadenzo.libs" for path in loaded), loaded


@pytest.fixture(scope="module")
def borrowed_numpy(tmp_path_factory) -> pathlib.Path:
    """A folder holding links to this environment's numpy, to put on the fresh
    environment's path. numpy is a self-contained binary package (its own
    libraries sit in numpy.libs beside it, found relative to its modules), so
    the links give the same numpy without the index, and nothing else from
    this environment, no kadenzo in particular, becomes importable there."""
    spec = importlib.util.find_spec("numpy")
    if spec is None or spec.origin is None:
        pytest.skip("numpy is not installed")
    package = pathlib.Path(spec.origin).parent
    folder = tmp_path_factory.mktemp("borrowed")
    for name in ("numpy", "numpy.libs"):
        if (package.parent / name).exists():
            (folder / name).symlink_to(package.parent / name)
    return folder


@pytest.mark.parametrize("order", ["kadenzo first", "numpy first"])
def test_cpp_extensions_imported_around_the_installed_wheel_keep_working(installed, borrowed_numpy, order):
    """The crash that the needed-library order prevents (see
    test_neighbour_extensions.py), against the repaired module."""
    imports = "import kadenzo, numpy" if order == "kadenzo first" else "import numpy, kadenzo"
    code = (
        f"{imports}\n"
        f"assert kadenzo.__file__.startswith({str(venv_dir(installed))!r}), kadenzo.__file__\n"
        "values = numpy.sort(numpy.arange(100_000)[::-1])\n"
        "assert values[0] == 0 and values[-1] == 99_999\n"
        "kadenzo.parse_replay_data(b'1|2|3|0,', kadenzo.GameMode.STD)\n"
        "print('ok')\n"
    )
    assert run_installed(installed, ["-c", code], extra_path=borrowed_numpy).strip() == "ok"
