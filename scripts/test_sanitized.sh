#!/usr/bin/env bash
# Runs the C++ tests and the whole pytest suite against a build with
# AddressSanitizer + UndefinedBehaviorSanitizer (the module's own allocations
# go to the system allocator in that build, so the sanitizer sees every block).
# Usage: [BUILD_DIR=build/sanitize] [PYTHON=.venv/bin/python] [SANITIZE_CXX=g++]
#        [BUILD_ONLY=1] scripts/test_sanitized.sh [pytest args]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build/sanitize}
python=${PYTHON:-}
if [ -z "$python" ]; then
  if [ -x .venv/bin/python ]; then python=.venv/bin/python; else python=python3; fi
fi
# The build uses the same compiler whose runtime is preloaded below; a CXX
# from the environment is not taken, so the two cannot disagree.
export CXX=${SANITIZE_CXX:-g++}
# The venv's cmake and ninja when the system has none (the set-up installs them there).
if [ -d .venv/bin ]; then export PATH="$PATH:$PWD/.venv/bin"; fi

# Each part's wall and processor time (as scripts/test.sh prints its stages').
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
  echo "test_sanitized.sh: $1 took $((SECONDS - stage_started)) s, $((cpu - stage_cpu)) s of processor time" >&2
  stage_started=$SECONDS
  stage_cpu=$cpu
}

# -O1 with line tables (-g1): the sanitizers' reports keep their file:line
# stacks, and the build costs about half of -O2 -g; the tests, not the
# module's speed, set how long the run takes. At -O1 GCC guesses at
# uninitialized values in inlined standard-library moves that -O2 sees
# through: those guesses are left unsaid (they never fail a build either).
# The C++ tests build as unity batches (KADENZO_UNITY_TESTS).
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
python_path=$(command -v "$python")
case "$python_path" in /*) ;; *) python_path=$PWD/$python_path ;; esac
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG -Wno-maybe-uninitialized" -DKADENZO_BUILD_TESTS=ON -DKADENZO_UNITY_TESTS=ON \
  -DKADENZO_WERROR=ON -DKADENZO_SANITIZE=ON -DPython_EXECUTABLE="$python_path" >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}"
stage_done "build"
if [ "${BUILD_ONLY:-0}" = 1 ]; then exit 0; fi  # scripts/test.sh builds ahead of the run

if [[ "$CXX" == *clang* ]]; then
  asan_runtime=$("$CXX" -print-file-name=libclang_rt.asan-x86_64.so)
else
  asan_runtime=$("$CXX" -print-file-name=libasan.so)
fi
# The interpreter does not link the C++ runtime, so without it preloaded too
# ASan's __cxa_throw interceptor finds no real function and aborts at the
# first stop the module throws.
preload="$asan_runtime $("$CXX" -print-file-name=libstdc++.so)"

# Leak detection is off for the interpreter run: CPython keeps much of what
# it allocates until exit (interned strings, type caches, module state), and
# LeakSanitizer suppressions match any frame of an allocation's stack, every
# one of which passes through the interpreter, so a suppression broad enough
# to silence CPython would silence the module's leaks too. Leaks are checked
# instead where they can be told apart: tests/python/test_leaks.py watches
# reference counts and RSS over many calls, and the libFuzzer harnesses run
# the native core with LeakSanitizer on.
#
# pytest captures file descriptor 2, so the Python run writes its reports to
# files instead, shown when the run fails.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
asan_options=detect_leaks=0:abort_on_error=1:strict_string_checks=1:check_initialization_order=1
ubsan_options=print_stacktrace=1:halt_on_error=1
show_reports() {
  cat "$reports"/* 2>/dev/null || true
  return 1
}

ASAN_OPTIONS=$asan_options UBSAN_OPTIONS=$ubsan_options \
  ctest --test-dir "$build_dir" --output-on-failure -j "${JOBS:-2}"
stage_done "C++ tests"

# Every fuzz target for a few seconds under the sanitizers, leak checks on
# (the driver is native code only). FUZZ_SMOKE_SECONDS=0 leaves it out.
if [ "${FUZZ_SMOKE_SECONDS:-10}" != 0 ]; then
  ASAN_OPTIONS=abort_on_error=1:strict_string_checks=1 UBSAN_OPTIONS=$ubsan_options PYTHON="$python" \
    bash scripts/fuzz_smoke.sh "$build_dir" "${FUZZ_SMOKE_SECONDS:-10}"
  stage_done "fuzz smoke"
fi

# PYTHONMALLOC=malloc sends the interpreter's objects through malloc too, so
# a use of a freed Python object is caught, not hidden in a pymalloc arena.
#
# The Python tests here are those that reach native code in this process or
# in interpreters started for a native matter (exit while decoding threads
# run, process pools). Left out: the tooling tests (outside tools against the
# package), and the command-line tests (tests/python/test_cli*.py), each of
# which starts an interpreter under the sanitizers (about a second apiece,
# most of this stage's time) to run the command's pure-Python code over
# library calls that the other test files make in-process: decoding, bulk
# decoding, datasets, columns, comparisons, writing. Two test processes, each
# test file in one.
LD_PRELOAD=$preload ASAN_OPTIONS=$asan_options:log_path=$reports/asan \
  UBSAN_OPTIONS=$ubsan_options:log_path=$reports/ubsan PYTHONMALLOC=malloc PYTHONPATH="$PWD/$build_dir" \
  "$python" -m pytest -q -p no:cacheprovider -n "${JOBS:-2}" --dist loadfile -m "not tooling" \
  --ignore-glob='tests/python/test_cli*.py' tests/python "$@" || show_reports
stage_done "Python tests"
