"""
The version-1 storage record: an item's plaintext parts beside its derived credentials
and hardware hash, with dictionary and JSON forms, validation and a builder.
"""

import re
from typing import Any, Self, SupportsIndex


HEX_PATTERN: re.Pattern = ...

class VaultEntry:
    """
    Storage record of version 1: info_type, info_owner and info_plaintext in plain
    text, extract_account, extract_password and hardware_hash as hex digests, and
    key_version (1). Fields are writable; subclasses are built by the factories.
    """

    def __init__(self, info_type: str, info_owner: str, info_plaintext: str, extract_account: str, extract_password: str, hardware_hash: str, key_version: int | float | SupportsIndex = 1) -> None:
        """
        A record of the given values; the six texts must be str, key_version a number
        (truncated toward zero).
        """

    def __getstate__(self) -> object:
        """
        The instance's attributes, as object.__getstate__ gives a plain object's.
        """

    @property
    def info_type(self) -> str: ...

    @info_type.setter
    def info_type(self, value: str) -> None: ...

    @property
    def info_owner(self) -> str: ...

    @info_owner.setter
    def info_owner(self, value: str) -> None: ...

    @property
    def info_plaintext(self) -> str: ...

    @info_plaintext.setter
    def info_plaintext(self, value: str) -> None: ...

    @property
    def extract_account(self) -> str: ...

    @extract_account.setter
    def extract_account(self, value: str) -> None: ...

    @property
    def extract_password(self) -> str: ...

    @extract_password.setter
    def extract_password(self, value: str) -> None: ...

    @property
    def hardware_hash(self) -> str: ...

    @hardware_hash.setter
    def hardware_hash(self, value: str) -> None: ...

    @property
    def key_version(self) -> int: ...

    @key_version.setter
    def key_version(self, value: int | float | SupportsIndex) -> None: ...

    def to_dict(self) -> dict[str, str | int]:
        """The seven fields as a dictionary, in field order."""

    def to_json(self) -> str:
        """
        The record as one line of JSON: keys in field order, ', ' and ': ' separators,
        non-ASCII characters unescaped.
        """

    def get_ciphertext_parts(self) -> dict[str, str]:
        """{'extract_account': .., 'extract_password': .., 'hardware_hash': ..}."""

    def get_plaintext_parts(self) -> dict[str, str]:
        """{'info_type': .., 'info_owner': .., 'info_plaintext': ..}."""

    def validate(self) -> bool:
        """
        True when every text is non-empty, the three digests are 64 hex digits and
        key_version is 1.
        """

    def __str__(self) -> str:
        """
        VaultEntry(type=.., owner=.., version=..), without the sensitive fields.
        """

    def __repr__(self) -> str:
        """The same text as str()."""

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        """
        A record of the class from a dictionary; missing keys take "" (texts)
        or 1 (key_version), other keys are ignored.
        """

    @classmethod
    def from_json(cls, json_str: str) -> Self:
        """A record of the class from JSON text (the host's json rules)."""

class VaultEntryBuilder:
    """Chaining builder of VaultEntry records."""

    def __init__(self) -> None:
        """
        A builder whose data holds the defaults: "" for the texts, key_version 1.
        """

    def __getstate__(self) -> object:
        """
        The instance's attributes, as object.__getstate__ gives a plain object's.
        """

    @property
    def data(self) -> dict[str, Any]:
        """The values the next build() uses, in field order."""

    @data.setter
    def data(self, arg: dict[str, Any], /) -> None: ...

    def with_info_type(self, info_type: str) -> Self:
        """Set info_type; returns the builder."""

    def with_info_owner(self, info_owner: str) -> Self:
        """Set info_owner; returns the builder."""

    def with_info_plaintext(self, info_plaintext: str) -> Self:
        """Set info_plaintext; returns the builder."""

    def with_extract_account(self, extract_account: str) -> Self:
        """Set extract_account; returns the builder."""

    def with_extract_password(self, extract_password: str) -> Self:
        """Set extract_password; returns the builder."""

    def with_hardware_hash(self, hardware_hash: str) -> Self:
        """Set hardware_hash; returns the builder."""

    def with_key_version(self, key_version: int | float | SupportsIndex) -> Self:
        """
        Set key_version (a number, truncated toward zero); returns the builder.
        """

    def build(self) -> VaultEntry:
        """
        VaultEntry.from_dict(data): a new record; the builder keeps its values.
        """
