#!/usr/bin/env bash
# Installs what is missing on a fresh machine and builds the package into .venv:
# the Debian build dependencies (when absent), the Python build and test
# dependencies, and kadenzo itself. Safe to run again; it only adds what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ cmake liblzma-dev libmimalloc-dev libgtest-dev)
missing=()
for package in "${debian_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.9" cmake ninja "pytest>=7"
# No build isolation: the build tools above are reused, and the CMake tree in
# build/ makes rebuilds incremental.
.venv/bin/python -m pip install -q --no-build-isolation ".[test]"
echo "setup: kadenzo installed in .venv"
