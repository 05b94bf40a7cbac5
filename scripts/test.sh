#!/usr/bin/env bash
# Sets up the project with the test extras (scripts/setup.sh test: the
# package and the C++ tests in one build tree), then runs every test: the C++
# tests of the decoding core (CTest) and the Python tests against the
# installed package.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's wall time on standard error, so a slow run shows where it went.
stage_started=$SECONDS
stage_done() {
  echo "test.sh: $1 took $((SECONDS - stage_started)) s (total $SECONDS s)" >&2
  stage_started=$SECONDS
}

bash scripts/setup.sh test
stage_done "set-up and build"

# The C++ tests were built with the installed module, in its build tree.
ctest --test-dir build/release --output-on-failure -j 2
stage_done "C++ tests"

# The documentation site (mkdocs.yml), built offline with warnings as errors:
# a broken link or anchor, a page left out of the navigation, or a docstring
# the generated reference cannot read fails the run here.
.venv/bin/mkdocs build --strict --quiet
stage_done "documentation build"

.venv/bin/python -m pytest -q tests/python
stage_done "Python tests"

# --- Sanitized run -----------------------------------------------------------
# The same C++ and Python tests once more against an ASan + UBSan build of the
# module (scripts/test_sanitized.sh; about 2 minutes from a clean tree on two
# cores). Set KADENZO_SKIP_SANITIZED=1 to leave it out of a local run.
if [ "${KADENZO_SKIP_SANITIZED:-0}" != 1 ]; then
  bash scripts/test_sanitized.sh
  stage_done "sanitized run"
fi

# --- Thread-sanitized run ----------------------------------------------------
# The C++ tests of the pool, the batch and the bulk stream under ThreadSanitizer
# (scripts/test_threads.sh). KADENZO_SKIP_SANITIZED=1 leaves it out too.
if [ "${KADENZO_SKIP_SANITIZED:-0}" != 1 ]; then
  bash scripts/test_threads.sh
  stage_done "thread-sanitized run"
fi
