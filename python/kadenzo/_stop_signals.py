"""SIGINT and SIGTERM handled alike by the command line: each raises `Stopped`
(a KeyboardInterrupt) where the program is, so the same code closes what is
open, and the exit status says which signal it was (130 or 143).

Closing an output is held together with `holding()`: a signal that arrives
meanwhile is raised once it is done, so a file is never left half closed.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)

_held = 0
_pending: int | None = None


class Stopped(KeyboardInterrupt):
    """A stop signal arrived; `status` is the exit status it calls for (128 + its number)."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal.Signals(signal_number).name)
        self.signal_number = signal_number

    @property
    def status(self) -> int:
        return 128 + self.signal_number


def _on_signal(signal_number: int, frame: FrameType | None) -> None:
    global _pending
    if _held:
        _pending = signal_number
        return
    raise Stopped(signal_number)


@contextlib.contextmanager
def stopping_on_signals() -> Iterator[None]:
    """While inside, SIGINT and SIGTERM raise Stopped in the main thread
    (elsewhere, nothing changes); the former handlers come back after. A
    signal the process was told to ignore (SIGINT of a background job, nohup)
    stays ignored."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = {
        number: signal.signal(number, _on_signal)
        for number in STOP_SIGNALS
        if signal.getsignal(number) is not signal.SIG_IGN
    }
    try:
        yield
    finally:
        for number, handler in before.items():
            signal.signal(number, handler)


@contextlib.contextmanager
def holding() -> Iterator[None]:
    """Holds stop signals back while inside; one that arrived is raised at the end."""
    global _held, _pending
    _held += 1
    try:
        yield
    finally:
        _held -= 1
    if not _held and _pending is not None:
        number, _pending = _pending, None
        raise Stopped(number)
