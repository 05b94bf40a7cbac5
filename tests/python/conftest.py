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
        str(pathlib.Path(entry).resolve()) for entry in os.environ["PYTHONPATH"].split(os.pathsep) if entry
    )


@pytest.fixture
def panic():
    """`panic(call, *args, **kwargs)` -> the PanicException message of the call."""
    from helpers import panic_message  # imports kadenzo, which tests of the tree alone do not need

    return panic_message
