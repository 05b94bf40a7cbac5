#!/usr/bin/env bash
# Runs the C++ tests of the concurrent code (worker pool, batch decoding, the
# ordered stream of bulk decoding) against a ThreadSanitizer build of the core.
# Usage: [BUILD_DIR=build/tsan] [BUILD_ONLY=1] scripts/test_threads.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build/tsan}
# The venv's cmake and ninja when the system has none (the set-up installs them there).
if [ -d .venv/bin ]; then export PATH="$PATH:$PWD/.venv/bin"; fi
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
# -O1 with line tables, as the sanitized run builds; only the core and the
# concurrency tests (a ThreadSanitizer build compiles no other test file).
cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG -Wno-maybe-uninitialized" -DKADENZO_BUILD_EXTENSION=OFF \
  -DKADENZO_BUILD_TESTS=ON -DKADENZO_WERROR=ON -DKADENZO_THREAD_SANITIZE=ON >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target kadenzo_core_tests
if [ "${BUILD_ONLY:-0}" = 1 ]; then exit 0; fi  # scripts/test.sh builds ahead of the run
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$build_dir" --output-on-failure -j "${JOBS:-2}" \
  -R 'WorkerPool|PoolSize|DecodeFiles|OrderedStream|Outcome|Failures'
