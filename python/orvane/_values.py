"""Values as Python gets them: results as named tuples, and numbers that the
library keeps in single precision shown as the controller meant them."""

from __future__ import annotations

import math
import struct
from typing import Iterable, NamedTuple, Tuple

_FLOAT32_MAX = 3.4028234663852886e38


def float32(value: float) -> float:
    """The shortest decimal that is the same single-precision number as value.

    The library keeps positions, speeds and the float parameters as float32
    and hands them out as double: 16.547 arrives as 16.547000885009766. This
    gives 16.547 back (at most 9 significant digits, usually far fewer).
    Values that are not finite, or beyond float32's range, stay as they are.
    """
    value = float(value)
    if not math.isfinite(value) or abs(value) > _FLOAT32_MAX:
        return value
    single = struct.pack("<f", value)
    for digits in range(1, 10):
        candidate = float("%.*g" % (digits, value))
        try:
            if struct.pack("<f", candidate) == single:
                return candidate
        except OverflowError:  # rounded up beyond float32's range
            continue
    return struct.unpack("<f", single)[0]  # type: ignore[no-any-return]


def float32s(values: Iterable[float]) -> Tuple[float, ...]:
    return tuple(float32(v) for v in values)


class Status(NamedTuple):
    """The controller's status (numbered command 1)."""

    positions: Tuple[float, ...]
    """The six axes' positions."""
    pulse_counts: Tuple[int, ...]
    """The six raw pulse counts."""
    encoder_counts: Tuple[int, ...]
    """The six raw encoder counts."""


class SoftLimits(NamedTuple):
    """An axis's usable range: its soft limits moved inwards by the margin."""

    left: float
    right: float


class FlySettings(NamedTuple):
    """The three fly-capture settings, as given to set_fly."""

    first: int
    second: int
    third: int
