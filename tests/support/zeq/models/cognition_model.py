"""A cognition rule as the rule sealer reads it: plain attributes and get_ext_field."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

EXT_FIELD_COUNT = 30


@dataclass
class CognitionRule:
    rule_id: str = ""
    rule_type: Any = ""
    info_type: str = ""
    info_owner: Any = ""
    content: str = ""
    diff1: Any = None
    diff2: Any = None
    diff3: Any = None
    # "ext1" .. "ext30" -> text; unset fields are simply absent
    ext_fields: dict[str, Any] = field(default_factory=dict)

    def get_ext_field(self, index: int) -> Any:
        if not 1 <= index <= EXT_FIELD_COUNT:
            raise ValueError(f"extension field {index} out of range 1-{EXT_FIELD_COUNT}")
        return self.ext_fields.get(f"ext{index}")
