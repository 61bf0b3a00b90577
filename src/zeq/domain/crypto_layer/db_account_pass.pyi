"""
The password of the database account zeq_user_1, bound to the machine's CPU serial and disk identifier.
"""



class PasswordGenerationError(Exception):
    """密码生成异常"""

def generate_zeq_user1_password(cpu_serial: str, disk_id: str, salts: dict[str, int]) -> str:
    """
    The password of zeq_user_1 from the CPU serial, the disk identifier and salt1..salt3 (each 1-9).
    """

def generate_zeq_user1_password_with_fallback(cpu_serial: str, disk_id: str, salts: dict[str, int]) -> str:
    """
    As generate_zeq_user1_password, but device factors carrying a fallback marker ('_FAIL') are
    hashed as they are, without checks.
    """

def verify_zeq_user1_password(password: str, cpu_serial: str, disk_id: str, salts: dict[str, int]) -> bool:
    """
    True when ``password`` is the strict password of these factors; never raises.
    """
