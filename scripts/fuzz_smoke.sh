#!/usr/bin/env bash
# Fuzzes every target briefly with the mutation driver that any compiler
# builds (fuzz/mutation_driver.cpp), from the seed corpus of
# fuzz/make_corpus.py; the test runs do it in their sanitized build. The
# coverage-guided runs are scripts/fuzz.sh (clang and libFuzzer).
# Usage: scripts/fuzz_smoke.sh BUILD_DIR [seconds-per-target]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
driver=$(realpath "$1")/kadenzo_fuzz_smoke
seconds=${2:-10}
python=${PYTHON:-python3}
seeds=$(mktemp -d)
trap 'rm -rf "$seeds"' EXIT
"$python" fuzz/make_corpus.py "$seeds" >/dev/null
# A finding is written into the working directory, named after its target.
mkdir -p fuzz/out
cd fuzz/out
# Two targets at a time (FUZZ_JOBS): each driver is one thread, so on the CI's
# two processors the whole smoke takes half as long; any finding fails the run.
"$driver" --list | xargs -P "${FUZZ_JOBS:-2}" -I{} "$driver" {} "$seconds" "$seeds/{}"
