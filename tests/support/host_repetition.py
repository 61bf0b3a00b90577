"""What the host makes of `text * count` for counts it cannot build, on a 64-bit
machine (CPython 3.11, 3.12 and 3.13 say the same): a count beyond its index range
is refused first, then a result of more code points than that range, before
anything is allocated; a result within the range that memory cannot hold is
MemoryError."""

from __future__ import annotations

import os
import sys

M = sys.maxsize
NOT_INDEX_SIZED = "cannot fit 'int' into an index-sized integer"
TOO_LONG = "repeated string is too long"
# Counts that memory cannot hold are asked of the allocator; a sanitizer's
# allocator aborts the process at such a request instead of failing it.
ALLOCATES = os.environ.get("ZEQ_SANITIZED") == "1"

# (text, count, the error the host raises or None, its message)
CASES = [
    ("ab", 2**62, OverflowError, TOO_LONG),
    ("ab", M, OverflowError, TOO_LONG),
    ("abc", M // 3 + 1, OverflowError, TOO_LONG),
    ("中文", 2**62, OverflowError, TOO_LONG),  # code points count, not bytes
    ("ab", 2**61, MemoryError, None),
    ("é", 2**62, MemoryError, None),  # one code point of two bytes: within the range
    ("a", M, MemoryError, None),
    ("a", M + 1, OverflowError, NOT_INDEX_SIZED),
    ("ab", 10**30, OverflowError, NOT_INDEX_SIZED),
    ("ab", -(10**30), OverflowError, NOT_INDEX_SIZED),
    ("ab", -M - 2, OverflowError, NOT_INDEX_SIZED),
    ("ab", -M - 1, None, None),  # the empty text
]


def params(pytest):
    """CASES as pytest parameters, the ones that would allocate skipped under a sanitizer."""
    marks = pytest.mark.skipif(ALLOCATES, reason="a sanitizer's allocator aborts on such a request")
    return [
        pytest.param(*case, id=f"{case[0]}*{case[1]}", marks=marks if case[2] is MemoryError else ()) for case in CASES
    ]


def host_outcome(text: str, count: int):
    """The host's own outcome for the cases that allocate nothing: (type, message) or None."""
    try:
        text * count
    except (OverflowError, MemoryError) as e:
        return type(e), str(e)
    return None
