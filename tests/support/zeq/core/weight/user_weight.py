"""The host's user-weight service.

Tests steer it through the class: ``UserWeight.factory`` (when set) builds the
mapping each ``get_weight`` call returns, and ``UserWeight.calls`` counts calls.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, ClassVar

DEFAULT_WEIGHT = {"dimensions": 1733817600123456, "version": "1.0"}


class UserWeight:
    factory: ClassVar[Callable[[], Any] | None] = None
    calls: ClassVar[int] = 0

    @classmethod
    def reset(cls) -> None:
        cls.factory = None
        cls.calls = 0

    def get_weight(self) -> Any:
        UserWeight.calls += 1
        if UserWeight.factory is not None:
            return UserWeight.factory()
        return dict(DEFAULT_WEIGHT)
