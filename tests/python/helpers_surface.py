"""Helpers for the module-surface tests: the unrecoverable-stop exception and interpreter type names."""
import contextlib

import pytest

import kadenzo

TRY_FROM_INT = "called `Result::unwrap()` on an `Err` value: TryFromIntError(())"


@contextlib.contextmanager
def raises_panic(message):
    """Expects the block to raise the module's PanicException carrying exactly `message`.

    The class is not a module attribute, so it is recognised by name and by its base:
    it derives from BaseException and deliberately not from Exception.
    """
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    assert str(exc) == message


def tp_name(obj):
    """The type name that the interpreter's own messages print for `obj`.

    The module's classes are created under the name "builtins.<Name>", which is what
    messages built from the type's C-level name show ("unhashable type: 'builtins.Mod'").
    """
    cls = type(obj)
    if cls.__module__ == "builtins" and (cls.__name__ == "ReplayDataContainer" or hasattr(kadenzo, cls.__name__)):
        return f"builtins.{cls.__name__}"
    return cls.__name__
