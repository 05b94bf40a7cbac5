#!/usr/bin/env bash
# Sets up what running needs (scripts/setup.sh: the build dependencies, .venv
# and kadenzo, no test tools) and runs the main job: decoding the sample
# replays in samples/ into a table.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The main job: one row per sample replay (header fields, frame count, seed),
# as CSV on standard output; the count of failed files ends it on standard error.
.venv/bin/kadenzo summary samples/
