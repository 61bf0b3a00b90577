"""The host's hash service: SHA-256 of the UTF-8 text as 64 lowercase hex digits."""

from __future__ import annotations

import hashlib


class HashCrypto:
    def hash(self, text: str) -> str:
        return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()
