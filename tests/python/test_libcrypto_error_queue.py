"""libcrypto's error queue after refused decryptions: the layer leaves nothing there.

The queue belongs to the calling thread and to every user of the same libcrypto in
the process (the host's ssl and hashlib, the cryptography package): an entry left
behind would be taken for a failure of their next call."""

from __future__ import annotations

import base64
import ctypes
import hashlib
import pathlib
import ssl

import pytest

from zeq.domain.crypto_layer import access_derivation, master_key_seal, per_info_key as pik

KEY = hashlib.sha256(b"error queue key").hexdigest()
OTHER_KEY = hashlib.sha256(b"another key").hexdigest()


def layer_libcrypto() -> ctypes.CDLL:
    """The libcrypto the layer's modules map: the copy a wheel carries, else the one
    libcrypto of the process (the system's in a source build, shared with _hashlib)."""
    maps = pathlib.Path("/proc/self/maps")
    if not maps.exists():
        pytest.skip("no /proc/self/maps to find the layer's libcrypto in")
    mapped = set()
    for line in maps.read_text().splitlines():
        fields = line.split()
        if len(fields) == 6 and pathlib.Path(fields[5]).name.startswith("libcrypto"):
            mapped.add(fields[5])
    bundled = {path for path in mapped if pathlib.Path(path).parent.name == "zeq_crypto_layer.libs"}
    candidates = bundled or mapped
    if len(candidates) != 1:
        pytest.skip(f"cannot tell the layer's libcrypto among {sorted(mapped) or 'none'}")
    lib = ctypes.CDLL(candidates.pop())
    lib.ERR_peek_error.restype = ctypes.c_ulong
    lib.ERR_peek_error.argtypes = []
    lib.ERR_clear_error.restype = None
    lib.ERR_clear_error.argtypes = []
    return lib


@pytest.fixture
def libcrypto() -> ctypes.CDLL:
    lib = layer_libcrypto()
    lib.ERR_clear_error()
    return lib


CIPHERTEXT = pik.encrypt_with_per_info_key("+86 138 0000 0000", KEY)
TEXT_CIPHERTEXT = access_derivation.aes_encrypt("secret", "key text")

REFUSED = [
    ("bad padding (wrong key)", lambda: pik.decrypt_with_per_info_key(CIPHERTEXT, OTHER_KEY), pik.PerInfoKeyError),
    ("bad Base64 padding", lambda: pik.decrypt_with_per_info_key("abc", KEY), pik.PerInfoKeyError),
    ("one Base64 character left over", lambda: pik.decrypt_with_per_info_key("a", KEY), pik.PerInfoKeyError),
    ("non-ASCII Base64", lambda: pik.decrypt_with_per_info_key("AAAAé", KEY), pik.PerInfoKeyError),
    ("not whole blocks", lambda: pik.decrypt_with_per_info_key("AAAA", KEY), pik.PerInfoKeyError),
    (
        "a key that is not hexadecimal",
        lambda: pik.decrypt_with_per_info_key(CIPHERTEXT, "zz" * 32),
        pik.PerInfoKeyError,
    ),
    ("a key of the wrong length", lambda: pik.decrypt_with_per_info_key(CIPHERTEXT, "00"), pik.PerInfoKeyError),
    ("a one-time key of no AES size", lambda: pik.decrypt_with_aes_key_4(CIPHERTEXT, "00" * 10), pik.PerInfoKeyError),
    ("the per-info layer's decrypt_info", lambda: pik.decrypt_info(CIPHERTEXT, OTHER_KEY), pik.PerInfoKeyError),
    (
        "the text cipher under a wrong key",
        lambda: access_derivation.aes_decrypt(TEXT_CIPHERTEXT, "wrong key"),
        access_derivation.CredentialGenerationError,
    ),
    (
        "sealed root key data under a wrong key",
        lambda: master_key_seal.decrypt_root_key_data(TEXT_CIPHERTEXT, "wrong key"),
        Exception,
    ),
]


@pytest.mark.parametrize(("case", "call", "error"), REFUSED, ids=[case for case, _, _ in REFUSED])
def test_refused_decryptions_leave_the_error_queue_empty(libcrypto, case, call, error):
    with pytest.raises(error):
        call()
    assert libcrypto.ERR_peek_error() == 0, case
    # ... so the host's own users of libcrypto go on as if nothing had happened.
    assert hashlib.sha256(b"abc").hexdigest() == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
    ssl.create_default_context()


def test_the_cryptography_package_sees_no_stale_error(libcrypto):
    ciphers = pytest.importorskip("cryptography.hazmat.primitives.ciphers")
    padding = pytest.importorskip("cryptography.hazmat.primitives.padding")

    for _, call, error in REFUSED:
        with pytest.raises(error):
            call()
    assert libcrypto.ERR_peek_error() == 0
    aes = ciphers.Cipher(ciphers.algorithms.AES(bytes.fromhex(KEY)), ciphers.modes.CBC(bytes(16)))
    decryptor = aes.decryptor()
    padded = decryptor.update(base64.b64decode(CIPHERTEXT)) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    assert (unpadder.update(padded) + unpadder.finalize()).decode() == "+86 138 0000 0000"
