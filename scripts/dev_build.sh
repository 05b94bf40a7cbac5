#!/usr/bin/env bash
# Incremental developer build: the extension and the C++ tests in one CMake tree.
# Usage: [BUILD_DIR=build/dev] [SANITIZE=1] scripts/dev_build.sh
# Then: PYTHONPATH=$BUILD_DIR python -m pytest tests/python ; ctest --test-dir $BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/dev}
python=${PYTHON:-python3}
extra=()
if [ "${SANITIZE:-0}" = 1 ]; then extra+=(-DKADENZO_SANITIZE=ON); fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKADENZO_BUILD_TESTS=ON -DKADENZO_WERROR=ON -DPython_EXECUTABLE="$(command -v "$python")" "${extra[@]}" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}"
