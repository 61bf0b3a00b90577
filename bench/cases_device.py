"""Device factors and signature on this machine against the same Linux chain
written in Python with subprocess (same commands, files and time-outs)."""

from __future__ import annotations

import hashlib
import os
import re
import subprocess

from common import Case
from zeq.domain.crypto_layer import device_signature

TIMEOUT = 10


def py_cpu_serial() -> str:
    for prefix, make in (("serial", lambda v: v), ("model name", lambda v: f"LINUX_{v}_FAIL")):
        try:
            if os.path.exists("/proc/cpuinfo"):
                with open("/proc/cpuinfo") as f:
                    for line in f:
                        if line.startswith(prefix):
                            value = line.split(":")[1].strip()
                            if value:
                                return make(value)
        except Exception:
            pass
    return "LINUX_UNKNOWN_FAIL"


def py_disk_id() -> str:
    try:
        uuid = subprocess.run(
            ["findmnt", "-n", "-o", "UUID", "/"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            check=True,
            timeout=TIMEOUT,
        ).stdout.strip()
        if uuid:
            return uuid
    except Exception:
        pass
    try:
        if os.path.exists("/etc/fstab"):
            with open("/etc/fstab") as f:
                for line in f:
                    if line.startswith("UUID=") and " / " in line:
                        return line.split("=")[1].split()[0]
    except Exception:
        pass
    try:
        lines = (
            subprocess.run(["df", "-h", "/"], stdout=subprocess.PIPE, text=True, check=True, timeout=TIMEOUT)
            .stdout.strip()
            .split("\n")
        )
        if len(lines) >= 2 and lines[1].split():
            return f"LINUX_DISK_{lines[1].split()[0]}_FAIL"
        return "LINUX_DISK_UNKNOWN_FAIL"
    except Exception:
        return "LINUX_DISK_UNKNOWN_FAIL"


def py_motherboard_serial() -> str:
    try:
        if os.path.exists("/sys/class/dmi/id/board_name"):
            with open("/sys/class/dmi/id/board_name") as f:
                name = f.read().strip()
            if name:
                return f"LINUX_BOARD_{name}_FAIL"
    except Exception:
        pass
    try:
        out = subprocess.run(
            ["dmidecode", "-t", "baseboard"],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            check=True,
            timeout=TIMEOUT,
        ).stdout
        match = re.search(r"Product Name:\s*(.+)", out)
        if match and match.group(1).strip():
            return f"LINUX_BOARD_{match.group(1).strip()}_FAIL"
    except Exception:
        pass
    return "LINUX_BOARD_UNKNOWN_FAIL"


def py_hardware_info() -> tuple[str, str, str]:
    return py_cpu_serial(), py_disk_id(), py_motherboard_serial()


def py_device_signature() -> str:
    factors = py_hardware_info()
    return hashlib.sha256("_".join(factors).encode()).hexdigest()


assert py_hardware_info() == device_signature.get_hardware_info()

CASES = [
    Case(
        "get_hardware_info (this machine)",
        device_signature.get_hardware_info,
        py_hardware_info,
        "plain Python + subprocess",
    ),
    Case(
        "get_device_signature (this machine)",
        device_signature.get_device_signature,
        py_device_signature,
        "plain Python + subprocess + hashlib",
    ),
]
