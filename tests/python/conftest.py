"""Shared pytest setup: makes the replay builder in tools/ importable, makes
PYTHONPATH absolute for child interpreters, and provides the `panic` fixture
for calls that must end in PanicException."""
import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))

# Child interpreters (examples, README blocks, cluster workers) run in other
# folders; a relative PYTHONPATH such as build/dev would then no longer name
# the build under test, and they would import another copy of kadenzo or none.
if os.environ.get("PYTHONPATH"):
    os.environ["PYTHONPATH"] = os.pathsep.join(
        str(pathlib.Path(entry).resolve()) for entry in os.environ["PYTHONPATH"].split(os.pathsep) if entry)


def panic_message(call, *args, **kwargs) -> str:
    """Calls `call` and returns the message of the PanicException it must raise.

    PanicException derives from BaseException and is not a module attribute,
    so it can only be recognised by its class name.
    """
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return str(info.value)


@pytest.fixture
def panic():
    """`panic(call, *args, **kwargs)` -> the PanicException message of the call."""
    return panic_message
