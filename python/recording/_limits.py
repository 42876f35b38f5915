"""Physical limits as the header holds them, in eight characters. The writer stores a limit as
the first eight characters of its nine-decimal text, cut toward zero (123456.789 becomes
"123456.7"), and converts samples with the stored value: a limit cut inward clips every
sample beyond it. outward() moves such a limit to the nearest eight-character text on its
outer side."""

from __future__ import annotations

import math
from decimal import ROUND_CEILING, Decimal


def stored_text(value: float) -> str:
    """The text that the writer stores for `value` (magnitude below 10**8): the integer part
    and nine decimals without trailing zeros, each cut toward zero, then cut to eight
    characters. The same double operations as the writer's, so the same text."""
    integer = math.trunc(value)
    scaled = math.trunc((value - integer) * 1e9)
    text = ("-" if value < 0 else "") + str(abs(integer))
    if scaled:
        text += "." + f"{abs(scaled):09d}".rstrip("0")
    return text[:8]


def _holds(text: str, value: float, up: bool) -> bool:
    stored = float(text)
    return stored >= value if up else stored <= value


def outward(value: float, up: bool) -> float:
    """A limit to give the writer in place of `value`: one whose stored text reads back at
    or above `value` (up) or at or below it (not up). `value` itself when its stored text
    already does (limits exact in eight characters keep their bytes), and when no text of
    eight characters can (the writer refuses magnitudes from 10**8 on)."""
    if not (math.isfinite(value) and -1e7 < value < 1e8) or _holds(stored_text(value), value, up):
        return value
    # The cut shrinks the magnitude, so only a limit whose magnitude must grow is cut inward:
    # round the magnitude up to as many decimals as eight characters leave.
    sign = "-" if value < 0 else ""
    magnitude = Decimal(abs(value))
    decimals = 8 - len(sign) - len(str(int(magnitude))) - 1
    while True:
        step = Decimal(1).scaleb(-max(decimals, 0))
        text = sign + format(magnitude.quantize(step, rounding=ROUND_CEILING), "f")
        if len(text) <= 8 or decimals <= 0:
            break
        decimals -= 1  # rounding up carried into a new integer digit
    if len(text) > 8:
        return value
    # The double nearest to the text may lie just inside it, where the writer's cut would
    # drop its last digit: step away from zero until the writer stores the text itself.
    wanted = Decimal(text)
    candidate = float(text)
    for _ in range(64):
        if Decimal(stored_text(candidate)) == wanted:
            return candidate
        candidate = math.nextafter(candidate, math.copysign(math.inf, candidate))
    return value
