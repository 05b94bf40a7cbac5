#!/usr/bin/env bash
# Installs what is missing on a fresh machine and builds the package into .venv.
# Safe to run again; it only adds what is missing.
# Usage: scripts/setup.sh [test]
#   (no argument)  what running needs: the Debian build dependencies (when
#                  absent), .venv with the build tools, and kadenzo without extras
#   test           also GoogleTest, valgrind (the speed guard counts under
#                  callgrind), ccache (scripts/test.sh caches the release
#                  build's objects for the wheel test) and the test extras of
#                  pyproject.toml (pytest, the type checker, the examples'
#                  and the cluster's libraries, the wheel tools)
set -euo pipefail
cd "$(dirname "$0")/.."

purpose=${1:-run}
build_options=()
case "$purpose" in
  run) debian_packages=(g++ cmake liblzma-dev libmimalloc-dev); package=. ;;
  test)
    debian_packages=(g++ cmake liblzma-dev libmimalloc-dev libgtest-dev valgrind ccache); package=".[test]"
    # The package's own build tree (build/release) also builds the C++ tests
    # (as unity batches) and the native benchmarks, with warnings as errors:
    # the core is compiled once for the installed module and the tests that
    # scripts/test.sh runs.
    build_options=(-C build-dir=build/release -C cmake.define.KADENZO_BUILD_TESTS=ON
                   -C cmake.define.KADENZO_UNITY_TESTS=ON -C cmake.define.KADENZO_BUILD_BENCH=ON
                   -C cmake.define.KADENZO_WERROR=ON) ;;
  *) echo "usage: scripts/setup.sh [test]" >&2; exit 2 ;;
esac

missing=()
for debian_package in "${debian_packages[@]}"; do
  dpkg -s "$debian_package" >/dev/null 2>&1 || missing+=("$debian_package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
# --no-compile: installing leaves the modules' byte code to their first
# import, which writes it then; compiling every module of the test extras
# (pandas, dask, matplotlib, pyarrow...) at install time took longer than
# unpacking them.
pip_install=(.venv/bin/python -m pip install -q --disable-pip-version-check --no-compile)
# The build backend and ninja; CMake is the system's (the Debian package above).
"${pip_install[@]}" "scikit-build-core>=0.11" ninja
# The package's dependencies (with the extras of $package) install while the
# package itself compiles, which needs only the build tools above: unpacking
# wheels waits on the disk more than on a processor.
dependencies=$(.venv/bin/python - "$package" <<'PYTHON'
import re, sys, tomllib
project = tomllib.load(open("pyproject.toml", "rb"))["project"]
names, extras = list(project["dependencies"]), sys.argv[1].partition("[")[2].rstrip("]").split(",")
while extras:  # an extra may name others of this package: kadenzo[docs]
    for name in project["optional-dependencies"].get(extras.pop(), []):
        own = re.fullmatch(rf"{project['name']}\[(.*)\]", name)
        if own:
            extras += own.group(1).split(",")
        else:
            names.append(name)
print("\n".join(dict.fromkeys(names)))
PYTHON
)
mapfile -t dependencies <<<"$dependencies"
"${pip_install[@]}" "${dependencies[@]}" &
installing=$!
# No build isolation: the build tools above are reused, and the CMake tree in
# build/ makes rebuilds incremental.
built=0
"${pip_install[@]}" --no-build-isolation --no-deps "${build_options[@]}" . || built=$?
installed=0
wait "$installing" || installed=$?
if [ "$built" != 0 ] || [ "$installed" != 0 ]; then
  echo "setup: the build (exit $built) or the dependencies' install (exit $installed) failed" >&2
  exit 1
fi
echo "setup: kadenzo installed in .venv${1:+ with the $purpose extras}"
