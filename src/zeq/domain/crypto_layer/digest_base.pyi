"""SHA-256 core: texts and bytes to 64 lowercase hexadecimal characters."""



class HashingError(Exception):
    """SHA-256哈希计算异常"""

def sha256_hash(data: str) -> str:
    """
    SHA-256 of the UTF-8 bytes of ``data`` (lone surrogates passed through) as 64
    lowercase hexadecimal characters; the empty text hashes to the empty text.
    """

def sha256_hash_bytes(data: bytes) -> str:
    """
    SHA-256 of ``data`` as 64 lowercase hexadecimal characters; empty bytes give the empty text.
    """

def verify_sha256_hash(data: str, expected_hash: str) -> bool:
    """
    True when ``sha256_hash(data)`` equals ``expected_hash`` exactly; false for empty arguments.
    """
