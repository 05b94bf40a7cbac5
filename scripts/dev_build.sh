#!/usr/bin/env bash
# Incremental developer build: the extension and the C++ tests in one CMake tree.
# Usage: [BUILD_DIR=build/dev] [SANITIZE=1] [PYTHON=.venv/bin/python] scripts/dev_build.sh
# Then: PYTHONPATH=$BUILD_DIR .venv/bin/python -m pytest tests/python ; ctest --test-dir $BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/dev}
python=${PYTHON:-}
if [ -z "$python" ]; then
  if [ -x .venv/bin/python ]; then python=.venv/bin/python; else python=python3; fi
fi
extra=()
if [ "${SANITIZE:-0}" = 1 ]; then extra+=(-DKADENZO_SANITIZE=ON); fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
python_path=$(command -v "$python")
case "$python_path" in /*) ;; *) python_path=$PWD/$python_path ;; esac
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKADENZO_BUILD_TESTS=ON -DKADENZO_WERROR=ON -DKADENZO_CHECK_INTERPRETER_LOCK=ON -DPython_EXECUTABLE="$python_path" "${extra[@]}" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}"
