"""The application's storage record, as the rule sealer creates and reads it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


@dataclass(kw_only=True)
class VaultEntry:
    unit_id: str
    version: str
    extract_account: str
    extract_password: str
    hardware_hash: str
    info_type: str
    info_owner: str
    content: str
    created_at: float
    updated_at: float
    agent_uuid: str
    metadata: dict[str, Any] = field(default_factory=dict)
    diff1: Any = None
    diff2: Any = None
    diff3: Any = None
    ext_fields: dict[str, Any] = field(default_factory=dict)
