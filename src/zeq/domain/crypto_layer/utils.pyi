"""Helpers shared by the crypto layer's modules."""



def safe_int(value: str) -> int:
    """
    The integer written in ``value``: an optional sign and ASCII digits, nothing else.
    Any other text raises ValueError.
    """
