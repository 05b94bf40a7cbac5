#!/usr/bin/env bash
# Installs what is missing on a fresh machine and builds the package into .venv.
# Safe to run again; it only adds what is missing.
# Usage: scripts/setup.sh [test]
#   (no argument)  what running needs: the Debian build dependencies (when
#                  absent), .venv with the build tools, and kadenzo without extras
#   test           also GoogleTest and the test extras of pyproject.toml
#                  (pytest, the type checker, the examples' and the cluster's
#                  libraries, the wheel tools)
set -euo pipefail
cd "$(dirname "$0")/.."

purpose=${1:-run}
build_options=()
case "$purpose" in
  run) debian_packages=(g++ cmake liblzma-dev libmimalloc-dev); package=. ;;
  test)
    debian_packages=(g++ cmake liblzma-dev libmimalloc-dev libgtest-dev); package=".[test]"
    # The package's own build tree (build/release) also builds the C++ tests
    # and the native benchmark, with warnings as errors: the core is compiled
    # once for the installed module and the tests that scripts/test.sh runs.
    build_options=(-C build-dir=build/release -C cmake.define.KADENZO_BUILD_TESTS=ON
                   -C cmake.define.KADENZO_BUILD_BENCH=ON -C cmake.define.KADENZO_WERROR=ON) ;;
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
# The build backend and ninja; CMake is the system's (the Debian package above).
.venv/bin/python -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" ninja
# No build isolation: the build tools above are reused, and the CMake tree in
# build/ makes rebuilds incremental.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation "${build_options[@]}" "$package"
echo "setup: kadenzo installed in .venv${1:+ with the $purpose extras}"
