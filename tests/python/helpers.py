"""What the tests share: the project folder, the field lists of the module's
records, the messages the binding and the decoder stop with, and the checks
for the unrecoverable-stop exception. tests/python/test_field_names.py holds
the field lists to the stub and to the runtime classes."""

import contextlib
import pathlib

import kadenzo
import pytest
from kadenzo import LifeBarState, ReplayEventCatch, ReplayEventKivo, ReplayEventMania, ReplayEventTaiko

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLES = sorted((ROOT / "samples").glob("*.kvr"))
# The documentation people read: the README and the pages of the site (mkdocs.yml).
DOC_PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
# The contributors' page that lists the folders of src/ in include order.
LAYOUT_PAGE = ROOT / "docs" / "layout.md"

# --- Field lists, in the order of the record tables in src/ ------------------

REPLAY_FIELDS = (
    "mode",
    "game_version",
    "beatmap_hash",
    "username",
    "replay_hash",
    "count_300",
    "count_100",
    "count_50",
    "count_geki",
    "count_katu",
    "count_miss",
    "score",
    "max_combo",
    "perfect",
    "mods",
    "life_bar_graph",
    "timestamp",
    "replay_data",
    "rng_seed",
    "replay_id",
)
# ReplayDataContainer's frame lists, by mode number.
SLOTS = ("kivo_replay_data", "taiko_replay_data", "catch_replay_data", "mania_replay_data")
# The frame classes and LifeBarState, the records made by constructors.
FRAME_FIELDS = {
    ReplayEventKivo: ("time_delta", "x", "y", "keys"),
    ReplayEventTaiko: ("time_delta", "x", "keys"),
    ReplayEventCatch: ("time_delta", "x", "dashing"),
    ReplayEventMania: ("time_delta", "keys"),
    LifeBarState: ("time", "life"),
}

# --- Messages ----------------------------------------------------------------

UNWRAP = "called `Result::unwrap()` on an `Err` value: "
NO_VALUE = "called `Option::unwrap()` on a `None` value"
TRY_FROM_INT = UNWRAP + "TryFromIntError(())"
EOF_EMPTY = UNWRAP + "Error(Error { input: [], code: Eof })"
NOT_FOUND = UNWRAP + 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'
OUT_OF_RANGE = "out of range integral type conversion attempted"

# --- The unrecoverable stop --------------------------------------------------
# PanicException is not a module attribute, so it is recognised by its class
# name and by its base: it derives from BaseException and not from Exception.


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def panic_message(call, *args, **kwargs) -> str:
    """Calls `call` and returns the message of the PanicException it must raise."""
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    assert is_panic(info.value), repr(info.value)
    return str(info.value)


@contextlib.contextmanager
def raises_panic(message):
    """Expects the block to raise the module's PanicException carrying exactly `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    assert is_panic(info.value), repr(info.value)
    assert str(info.value) == message


def tp_name(obj):
    """The type name that the interpreter's own messages print for `obj`.

    The module's classes are created under the name "builtins.<Name>", which is what
    messages built from the type's C-level name show ("unhashable type: 'builtins.Mod'").
    """
    cls = type(obj)
    if cls.__module__ == "builtins" and (cls.__name__ == "ReplayDataContainer" or hasattr(kadenzo, cls.__name__)):
        return f"builtins.{cls.__name__}"
    return cls.__name__
