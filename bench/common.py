"""What every benchmark file shares: the case record and the timer."""

from __future__ import annotations

import timeit
from dataclasses import dataclass
from typing import Callable


@dataclass(frozen=True)
class Case:
    """One operation of the layer against the same steps written in plain Python.

    ``layer`` and ``baseline`` take no arguments; ``baseline_label`` says what the
    baseline is (plain Python with hashlib, the cryptography package, ...).
    """

    name: str
    layer: Callable[[], object]
    baseline: Callable[[], object]
    baseline_label: str = "plain Python + hashlib"


def seconds_per_call(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.2) -> float:
    """Best time per call over ``repeat`` rounds of at least ``min_time`` seconds each."""
    timer = timeit.Timer(fn)
    number = 1
    while True:
        if timer.timeit(number) >= min_time / 4 or number >= 1 << 24:
            break
        number *= 4
    best = min(timer.repeat(repeat=repeat, number=number))
    return best / number
