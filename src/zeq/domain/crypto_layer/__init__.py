"""The crypto layer of the zeq cognition store.

Key material from the user's root key, the device fingerprint, item credentials,
the first encryption layer and the storage records, as extension modules of this
package. ``sha256_hash`` is exported here because modules look it up at this level.
"""

from . import _function_pickling  # noqa: F401  (functions and methods pickle by reference)
from .digest_base import sha256_hash

__all__ = ["sha256_hash"]
