"""Value types of the `kadenzo` command's options, shared by every command:
each turns the option's text into its value or says what is wrong with it."""

from __future__ import annotations

import argparse
import math

from kadenzo import bulk


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


def thread_count(text: str) -> int:
    """1 or more; a count past any pool's size means the pool's size."""
    return min(positive_int(text), bulk.MAX_THREADS)


def finite_number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("must be a finite number")
    return value


def positive_number(text: str) -> float:
    value = finite_number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a number greater than 0")
    return value


def seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError("must be a number of seconds, 0 or more")
    return value
