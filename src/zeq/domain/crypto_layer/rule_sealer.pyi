"""
Rule sealer of version 1: turns a cognition rule into the application's storage record,
protecting only extract_account, extract_password (windows of the SHA-256 of the rule's
fields, the weight parameter and the salts) and hardware_hash (the hash of the device
signature); the rule's business content passes through in plain text.
"""

from typing import Any

from zeq.core.crypto.hash_crypto import HashCrypto as HashCrypto
from zeq.core.weight.user_weight import UserWeight as UserWeight
from zeq.models.cognition_model import CognitionRule as CognitionRule
from zeq.models.storage_model import VaultEntry as VaultEntry


class RuleSealer:
    """
    规则加密器（1.0 版本）：CognitionRule -> 存储模型 VaultEntry。

    Only extract_account, extract_password and hardware_hash are protected, each cut
    from or equal to a 64-character hexadecimal SHA-256 digest of the hash service;
    the rule's content passes through. Holds the salt set and, after the first use, the
    user's weight mapping for its lifetime.
    """

    def __init__(self, salts: dict[str, int] | None = None) -> None:
        """
        A sealer for the salt set ``salts`` (computed from root key and weight parameter);
        None or an empty dictionary raises ValueError.
        """

    def __getstate__(self) -> object:
        """
        The instance's attributes, as object.__getstate__ gives a plain object's.
        """

    def encrypt(self, cognition_rule: object, agent_uuid: str = '') -> VaultEntry:
        """
        A new storage-model VaultEntry for ``cognition_rule``, with a fresh unit_id and the
        current time.
        """

    def verify(self, storage_unit: object, cognition_rule: object) -> bool:
        """
        True when the record's extract_account, extract_password and hardware_hash equal
        those derived for ``cognition_rule`` (compared in that order).
        """

    def _collect_device_signature(self) -> str:
        """
        The device signature: CPU serial, disk id and board serial joined by '|'.
        """

    def _get_weight_params(self) -> dict[str, Any]:
        """
        The user's weight mapping, fetched once; the sealer's salts are added when it has none.
        """

    def _calculate_hardware_hash(self, device_signature: str) -> str:
        """The hash service's digest of ``device_signature``."""

    def _derive_credentials(self, cognition_rule: object, device_signature: str, weight_params: dict[str, Any]) -> tuple[str, str]:
        """(extract_account, extract_password) of ``cognition_rule``."""
