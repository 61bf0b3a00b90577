"""
Weight parameters: the millisecond clock followed by three random digits.
"""

from typing import SupportsIndex


class WeightGenerationError(Exception):
    """权重参数生成异常"""

def generate_weight_parameter() -> int:
    """
    A new weight parameter: the current Unix time in milliseconds followed by a random number 100-999.
    """

def generate_weight_parameter_with_timestamp(timestamp_ms: int | float | SupportsIndex | None = None) -> int:
    """
    A weight parameter from ``timestamp_ms`` (the current time when None) and a random number 100-999.
    """

def parse_weight_parameter(weight_param: int | float | SupportsIndex) -> dict[str, int]:
    """
    {'timestamp_ms': .., 'random_num': .., 'total_length': ..} of a weight parameter.
    """

def get_weight_digit(weight_param: int | float | SupportsIndex, position: int | float | SupportsIndex) -> int:
    """
    The digit at ``position`` (1-based, from the left) of the weight parameter.
    """

def get_weight_digit_from_end(weight_param: int | float | SupportsIndex, position: int | float | SupportsIndex) -> int:
    """
    The digit at ``position`` (1-based, from the right) of the weight parameter.
    """

def validate_weight_parameter(weight_param: int | float | SupportsIndex) -> bool:
    """True for a positive weight parameter of 16 to 20 digits."""
