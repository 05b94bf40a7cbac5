#!/usr/bin/env bash
# Sets up the project with the test extras (scripts/setup.sh test: the
# package and the C++ tests in one build tree), then runs every test: the C++
# tests of the decoding core (CTest) and the Python tests against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

# The C++ tests were built with the installed module, in its build tree.
ctest --test-dir build/release --output-on-failure -j 2

.venv/bin/python -m pytest -q tests/python

# --- Sanitized run -----------------------------------------------------------
# The same C++ and Python tests once more against an ASan + UBSan build of the
# module (scripts/test_sanitized.sh; about 2 minutes from a clean tree on two
# cores). Set KADENZO_SKIP_SANITIZED=1 to leave it out of a local run.
if [ "${KADENZO_SKIP_SANITIZED:-0}" != 1 ]; then
  bash scripts/test_sanitized.sh
fi

# --- Thread-sanitized run ----------------------------------------------------
# The C++ tests of the pool, the batch and the bulk stream under ThreadSanitizer
# (scripts/test_threads.sh). KADENZO_SKIP_SANITIZED=1 leaves it out too.
if [ "${KADENZO_SKIP_SANITIZED:-0}" != 1 ]; then
  bash scripts/test_threads.sh
fi
