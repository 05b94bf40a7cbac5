#!/usr/bin/env bash
# Sets up the project (scripts/setup.sh) and runs the main job: decoding the
# sample replays in samples/ and printing what is in them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python scripts/show_samples.py
