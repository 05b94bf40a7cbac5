#!/usr/bin/env bash
# Sets up the project (scripts/setup.sh), then runs every test: the C++ tests
# of the decoding core (CTest) and the Python tests against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build_dir=build/cpp-tests
.venv/bin/cmake -S . -B "$build_dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKADENZO_BUILD_EXTENSION=OFF -DKADENZO_BUILD_TESTS=ON >/dev/null
.venv/bin/cmake --build "$build_dir" -j 2
.venv/bin/ctest --test-dir "$build_dir" --output-on-failure -j 2

.venv/bin/python -m pytest -q tests/python
