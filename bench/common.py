"""What every benchmark file shares: the case record, the timer and the plain-Python
baselines of the hash and the cipher that several operations build on.

The baselines are the tests' own plain-Python reference (tests/support/zeq_reference.py),
so that what the layer is timed against is what it is checked against."""

from __future__ import annotations

import pathlib
import sys
import timeit
from collections.abc import Callable
from dataclasses import dataclass

SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "tests" / "support"
if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))

from zeq_reference import (  # noqa: E402  (found through the path above)
    ZERO_IV,
    decrypt_with_per_info_key as py_decrypt,
    encrypt_with_per_info_key as py_encrypt,
    sha256_hash as py_sha256_hash,
)

# The derived salts of the operations that take them, the same in every case.
SALTS = {
    "salt1": 3,
    "salt2": 5,
    "salt3": 2,
    "salt4": 4,
    "salt5": 6,
    "salt6": 1,
    "salt7": 8,
    "salt8": 2,
    "salt9": 9,
    "salt10": 7,
}

__all__ = [
    "NOOP",
    "SALTS",
    "ZERO_IV",
    "Case",
    "best_seconds_per_call",
    "py_decrypt",
    "py_encrypt",
    "py_sha256_hash",
    "seconds_per_call",
]

# The no-op call of a floor: a C function that takes any positional and keyword
# arguments and does nothing with them (an empty format string ignores them).
NOOP = "".format


@dataclass(frozen=True)
class Case:
    """One operation of the layer against the same steps written in plain Python.

    ``layer`` and ``baseline`` take no arguments; ``baseline_label`` says what the
    baseline is (plain Python with hashlib, the cryptography package, ...).

    ``floor``, for short calls, is what the call cannot avoid, written in the
    cheapest Python: its arguments passed to ``NOOP`` (a C call of the same
    shape), the raw SHA-256 of the very bytes it hashes (hashlib, over bytes made
    beforehand), and making objects like its results (a str of the same length
    and kind, the same tuple or dictionary). The layer's time over the floor's
    shows how far the call is from it.
    """

    name: str
    layer: Callable[[], object]
    baseline: Callable[[], object]
    baseline_label: str = "plain Python + hashlib"
    floor: Callable[[], object] | None = None


def _calls_per_round(timer: timeit.Timer, min_time: float) -> int:
    number = 1
    while True:
        if timer.timeit(number) >= min_time / 4 or number >= 1 << 24:
            return number
        number *= 4


def best_seconds_per_call(fns: list[Callable[[], object]], repeat: int = 5, min_time: float = 0.2) -> list[float]:
    """Best time per call of each function over ``repeat`` rounds of at least
    ``min_time`` seconds each. The functions take turns within every round, so
    that a busy machine slows them alike and their ratios hold."""
    timers = [timeit.Timer(fn) for fn in fns]
    numbers = [_calls_per_round(timer, min_time) for timer in timers]
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, (timer, number) in enumerate(zip(timers, numbers, strict=True)):
            best[i] = min(best[i], timer.timeit(number) / number)
    return best


def seconds_per_call(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.2) -> float:
    """Best time per call over ``repeat`` rounds of at least ``min_time`` seconds each."""
    return best_seconds_per_call([fn], repeat, min_time)[0]
