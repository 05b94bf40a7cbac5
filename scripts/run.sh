#!/usr/bin/env bash
# Sets up what running needs (scripts/setup.sh: the build dependencies, .venv
# and kadenzo, no test tools) and runs the main job: decoding the sample
# replays in samples/ and printing what is in them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The main job. When the package's command line is in, this line becomes
#   .venv/bin/kadenzo summary samples/
.venv/bin/python scripts/show_samples.py samples
