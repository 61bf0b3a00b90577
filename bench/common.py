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

__all__ = ["SALTS", "ZERO_IV", "Case", "py_decrypt", "py_encrypt", "py_sha256_hash", "seconds_per_call"]


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
