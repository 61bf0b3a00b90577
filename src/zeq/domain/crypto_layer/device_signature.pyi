"""
Device fingerprint: the processor, system-disk and main-board factors read through
per-system probe chains that degrade to marked fallback values, their SHA-256
signature, the sandbox fallback signature, change detection and the collection status.
"""

import logging

from zeq.domain.crypto_layer.digest_base import (
    sha256_hash as sha256_hash
)


logger: logging.Logger = ...

class HardwareCollectionError(Exception):
    """硬件信息采集异常"""

class HardwareChangeDetected(Exception):
    """检测到硬件变更"""

def get_cpu_serial() -> str:
    """
    The processor factor of this machine: a platform value or a marked fallback value.
    """

def get_disk_id() -> str:
    """
    The system-disk factor of this machine: a platform value or a marked fallback value.
    """

def get_motherboard_serial() -> str:
    """
    The main-board factor of this machine: a platform value or a marked fallback value.
    """

def get_hardware_info() -> tuple[str, str, str]:
    """
    The device factors (cpu_serial, disk_id, motherboard_serial), collected afresh, unhashed.
    """

def get_device_signature() -> str:
    """
    SHA-256 of the three factors joined by '_'; the sandbox fallback signature when a
    factor is a Windows total-failure marker (ends with '_GET_FAILED').
    """

def get_sandbox_fallback_fingerprint() -> str:
    """
    The signature built from values an ordinary user can read (user SID, product ID and
    machine GUID on Windows; platform UUID on macOS; machine-id on Linux; else the host name).
    """

def is_sandbox_mode() -> bool:
    """
    True when the joined factors contain a sandbox marker (restricted-rights values,
    unknown markers).
    """

def check_hardware_change(stored_hash: str) -> bool:
    """
    True when ``stored_hash`` is empty or differs from the current device signature.
    """

def get_hardware_collection_status() -> dict[str, dict[str, str | bool]]:
    """
    For 'cpu', 'disk' and 'motherboard': the factor's 'value' and whether it 'failed'
    (ends with '_FAIL') or is 'unknown' (ends with '_UNKNOWN_FAIL').
    """

def _get_cpu_serial_windows() -> str:
    """
    Windows processor chain: wmic, PowerShell CIM, BIOS registry values, then the user-SID fallback.
    """

def _get_disk_id_windows() -> str:
    """
    Windows disk chain: wmic, PowerShell CIM, BIOS registry values, then the product-ID fallback.
    """

def _get_motherboard_serial_windows() -> str:
    """
    Windows board chain: wmic, PowerShell CIM, BIOS registry values, then the machine-GUID fallback.
    """

def _get_cpu_serial_windows_fallback() -> str:
    """'USERSID_' + the SID line of 'whoami /user', or 'CPU_GET_FAILED'."""

def _get_disk_id_windows_fallback() -> str:
    """'PRODUCTID_' + the Windows product ID, or 'DISK_GET_FAILED'."""

def _get_motherboard_serial_windows_fallback() -> str:
    """'MACHINEGUID_' + the machine GUID, or 'BOARD_GET_FAILED'."""

def _get_cpu_serial_darwin() -> str:
    """
    macOS processor chain: platform serial from ioreg, then the system version.
    """

def _get_disk_id_darwin() -> str:
    """macOS disk chain: boot volume UUID, then the start of the disk list."""

def _get_motherboard_serial_darwin() -> str:
    """
    macOS board chain: platform serial from ioreg, then the model identifier.
    """

def _get_cpu_serial_linux() -> str:
    """
    Linux processor chain: the 'serial' of /proc/cpuinfo, then its 'model name'.
    """

def _get_disk_id_linux() -> str:
    """
    Linux disk chain: root UUID from findmnt, then /etc/fstab, then the file system from df.
    """

def _get_motherboard_serial_linux() -> str:
    """Linux board chain: DMI board name, then the dmidecode product name."""
