"""The module shares the process with other native extensions: loading it must
not change which allocator their C++ code uses."""

import subprocess
import sys

import pytest


@pytest.mark.parametrize("order", ["kadenzo first", "numpy first"])
def test_cpp_extensions_imported_around_kadenzo_keep_working(order):
    pytest.importorskip("numpy")
    imports = "import kadenzo, numpy" if order == "kadenzo first" else "import numpy, kadenzo"
    # numpy's C++ code allocates with operator new and frees with operator
    # delete while it initialises; a mismatched pair crashes right there.
    code = (
        f"{imports}\n"
        "values = numpy.sort(numpy.arange(100_000)[::-1])\n"
        "assert values[0] == 0 and values[-1] == 99_999\n"
        "kadenzo.parse_replay_data(b'1|2|3|0,', kadenzo.GameMode.STD)\n"
        "print('ok')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
