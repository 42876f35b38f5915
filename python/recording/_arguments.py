"""Numeric arguments, checked in one place: a number out of range (huge, infinite, NaN, or
not whole where a count is asked) raises ValueError, whatever its size or type; something that
is not a number raises TypeError."""

from __future__ import annotations

import math
import numbers
import operator
from typing import SupportsIndex, cast


def real(value: object, name: str) -> float:
    """value as a float (NaN and infinities included); ValueError for an integer too large
    for a float."""
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name} is out of range: {value!r}") from None


def finite(value: object, name: str, low: float = -math.inf, high: float = math.inf) -> float:
    """value as a finite float within [low, high]."""
    number = real(value, name)
    if not (math.isfinite(number) and low <= number <= high):
        raise ValueError(f"{name} must be a finite number from {low:g} to {high:g}, not {value!r}")
    return number


def whole(value: object, name: str) -> int:
    """value as an int: an integer, or a float with a whole value (2.0, not 2.5)."""
    try:
        # Anything without __index__ raises TypeError here.
        return operator.index(cast(SupportsIndex, value))
    except TypeError:
        pass
    number = real(value, name)
    if not number.is_integer():
        raise ValueError(f"{name} must be a whole number, not {value!r}")
    return int(number)


def whole_in(value: object, name: str, low: int, high: int) -> int:
    """value as an int within [low, high]."""
    number = whole(value, name)
    if not low <= number <= high:
        raise ValueError(f"{name} must be from {low} to {high}, not {value!r}")
    return number
