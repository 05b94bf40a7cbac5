#!/usr/bin/env bash
# Sets up the project with the test extras (scripts/setup.sh test: the
# package and the C++ tests in one build tree), then runs every test: the C++
# tests of the decoding core (CTest), the Python tests against the installed
# package, the speed guard, and the same tests once more under the sanitizers.
# Every stage keeps both processors busy (CTest -j 2, pytest -n 2, the fuzz
# smoke two targets at a time); on CI's two cores the whole run takes a few
# minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each stage's wall time on standard error, so a slow run shows where it went,
# and the processor time its processes used: on a machine shared with other
# builds the wall time grows with their load, the processor time much less.
cpu_seconds() {  # sets $cpu: user + system time of the finished child processes so far
  local file
  file=$(mktemp)
  times >"$file"  # in this shell: a subshell's children would be none of them
  cpu=$(tail -n 1 "$file" | awk '{ s = 0; for (i = 1; i <= 2; i++) { sub(/s$/, "", $i); split($i, t, "m"); s += t[1] * 60 + t[2] } printf "%.0f", s }')
  rm -f "$file"
}
stage_started=$SECONDS
stage_cpu=0
stage_done() {
  local cpu
  cpu_seconds
  echo "test.sh: $1 took $((SECONDS - stage_started)) s, $((cpu - stage_cpu)) s of processor time (total $SECONDS s)" >&2
  stage_started=$SECONDS
  stage_cpu=$cpu
}

# The wheel test compiles the module once more from a copy of the sources
# (tests/python/test_wheel.py), with the flags of the release build: under a
# compiler cache kept in this work tree and based at it, those compiles find
# the release build's objects. The set-up installs ccache; the cache starts
# empty in a fresh clone, so a CI run builds everything once.
export CCACHE_DIR=$PWD/build/ccache CCACHE_BASEDIR=$PWD CMAKE_CXX_COMPILER_LAUNCHER=ccache
export SKBUILD_CMAKE_DEFINE="KADENZO_WERROR=ON"

bash scripts/setup.sh test
stage_done "set-up and build"

# The sanitizer trees compile in the background, at low priority, while the
# stages below run: those leave a processor idle much of the time (waiting on
# the interpreters and tools they start, CTest's short tail), and the builds
# fill it. What is left of them is waited for before the sanitized run.
sanitized=0
[ "${KADENZO_SKIP_SANITIZED:-0}" != 1 ] && sanitized=1
if [ "$sanitized" = 1 ]; then
  mkdir -p build
  setsid env -u CMAKE_CXX_COMPILER_LAUNCHER BUILD_ONLY=1 nice -n 10 \
    bash -c 'bash scripts/test_sanitized.sh && bash scripts/test_threads.sh' >build/sanitizer-builds.log 2>&1 &
  sanitizer_builds=$!
  # A failing stage ends the run; the builds end with it.
  trap 'kill -- -"$sanitizer_builds" 2>/dev/null || true' EXIT
fi

# The C++ tests were built with the installed module, in its build tree.
ctest --test-dir build/release --output-on-failure -j 2
stage_done "C++ tests"

# The documentation site (mkdocs.yml), built offline with warnings as errors:
# a broken link or anchor, a page left out of the navigation, or a docstring
# the generated reference cannot read fails the run here.
.venv/bin/mkdocs build --strict --quiet
stage_done "documentation build"

# Two test processes; each test file stays in one of them (--dist loadfile),
# so a file's module fixtures (the wheel, the cluster) are made once.
.venv/bin/python -m pytest -q -n 2 --dist loadfile tests/python
stage_done "Python tests"

# The decoder's instruction counts per mode against bench/speed_baseline.json.
.venv/bin/python bench/speed_guard.py --binary build/release/speed_guard
stage_done "speed guard"

# --- Sanitized run -----------------------------------------------------------
# The C++ tests, a fuzz smoke and the Python tests that reach native code
# against an ASan + UBSan build of the module (scripts/test_sanitized.sh),
# then the C++ tests of the concurrent code under ThreadSanitizer
# (scripts/test_threads.sh). Set KADENZO_SKIP_SANITIZED=1 to leave both out
# of a local run.
if [ "$sanitized" = 1 ]; then
  if ! wait "$sanitizer_builds"; then
    cat build/sanitizer-builds.log >&2
    echo "test.sh: the sanitizer builds failed" >&2
    exit 1
  fi
  trap - EXIT
  stage_done "sanitizer builds (what the stages above left of them)"
  unset CMAKE_CXX_COMPILER_LAUNCHER  # nothing to share with the release build
  bash scripts/test_sanitized.sh
  stage_done "sanitized run"
  bash scripts/test_threads.sh
  stage_done "thread-sanitized run"
fi
