"""Value types of the `kadenzo` command's options, shared by every command:
each turns the option's text into its value or says what is wrong with it.
argparse names a type by its `__name__` in "invalid ... value: 'abc'", so
each carries a name a person reads ("invalid number value")."""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import TypeVar

from kadenzo import bulk

OptionType = TypeVar("OptionType", bound=Callable[[str], object])


def readable_name(name: str) -> Callable[[OptionType], OptionType]:
    """Names the type as argparse's messages show it."""

    def named(option_type: OptionType) -> OptionType:
        option_type.__name__ = name
        return option_type

    return named


@readable_name("whole number")
def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more")
    return value


@readable_name("thread count")
def thread_count(text: str) -> int:
    """1 or more; a count past any pool's size means the pool's size."""
    return min(positive_int(text), bulk.MAX_THREADS)


@readable_name("number")
def finite_number(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("must be a finite number")
    return value


@readable_name("number")
def positive_number(text: str) -> float:
    value = finite_number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a number greater than 0")
    return value


@readable_name("number of seconds")
def seconds(text: str) -> float:
    value = float(text)
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError("must be a number of seconds, 0 or more")
    return value
