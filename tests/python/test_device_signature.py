"""device_signature on this machine and on faked Linux machines (a private mount
namespace with its own /proc/cpuinfo, /etc files and DMI board name, and PATH
shims for findmnt, df and dmidecode)."""

from __future__ import annotations

import hashlib
import json
import logging
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import threading

import pytest

from zeq.domain.crypto_layer import device_signature as ds

LOGGER = "zeq.domain.crypto_layer.device_signature"
HEX = set("0123456789abcdef")


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def shim(directory: pathlib.Path, name: str, body: str) -> None:
    path = directory / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)


@pytest.fixture
def shims(tmp_path, monkeypatch):
    """A directory put first on PATH; the runner looks programs up there."""
    directory = tmp_path / "bin"
    directory.mkdir()
    monkeypatch.setenv("PATH", f"{directory}{os.pathsep}{os.environ['PATH']}")
    return directory


# ---------------------------------------------------------------- surface


def test_module_surface():
    for name in ("HardwareCollectionError", "HardwareChangeDetected"):
        error = getattr(ds, name)
        assert error.__bases__ == (Exception,)
    assert ds.HardwareCollectionError.__doc__ == "硬件信息采集异常"
    assert ds.HardwareChangeDetected.__doc__ == "检测到硬件变更"
    assert ds.logger is logging.getLogger(LOGGER)
    assert ds.sha256_hash("abc") == sha("abc")


@pytest.mark.parametrize("bad", [None, b"x", 1, type("S", (str,), {})("x")])
def test_check_hardware_change_refuses_non_text(bad):
    with pytest.raises(TypeError):
        ds.check_hardware_change(bad)


def test_check_hardware_change_needs_exactly_one_argument():
    with pytest.raises(TypeError):
        ds.check_hardware_change()
    with pytest.raises(TypeError):
        ds.check_hardware_change("a", "b")
    assert ds.check_hardware_change(stored_hash="") is True


# ---------------------------------------------------------------- the real machine


def test_real_machine_signature_and_status():
    info = ds.get_hardware_info()
    assert isinstance(info, tuple) and len(info) == 3 and all(type(v) is str and v for v in info)
    assert info == (ds.get_cpu_serial(), ds.get_disk_id(), ds.get_motherboard_serial())
    signature = ds.get_device_signature()
    assert len(signature) == 64 and set(signature) <= HEX
    if not any(v.endswith("_GET_FAILED") for v in info):
        assert signature == sha("_".join(info))
    assert ds.check_hardware_change(signature) is False
    assert ds.check_hardware_change(signature.upper()) is (signature.upper() != signature)
    status = ds.get_hardware_collection_status()
    assert list(status) == ["cpu", "disk", "motherboard"]
    for key, value in zip(status, info):
        assert list(status[key]) == ["value", "failed", "unknown"]
        assert status[key] == {"value": value, "failed": value.endswith("_FAIL"),
                               "unknown": value.endswith("_UNKNOWN_FAIL")}
    mid = pathlib.Path("/etc/machine-id")
    if mid.exists():
        m = mid.read_text().strip()
        assert ds.get_sandbox_fallback_fingerprint() == sha(f"LINUX_{m}_{m}_{m}")


# ---------------------------------------------------------------- the marker tests over chosen factors


@pytest.mark.parametrize(
    "factors, sandbox, uses_fallback",
    [
        (("LINUX_UNKNOWN_FAIL", "1234-ABCD", "LINUX_BOARD_X_FAIL"), True, False),
        (("1234", "1234-ABCD", "LINUX_BOARD_X_FAIL"), False, False),
        (("REG_A", "REG_A", "REG_B"), False, False),
        (("CPU_GET_FAILED", "PRODUCTID_1", "MACHINEGUID_2"), True, True),
        (("A", "B", "BOARD_GET_FAILED"), False, True),
        (("ENDS_UNKNOWN", "b", "c"), True, False),
    ],
)
def test_marker_tests_over_replaced_factors(monkeypatch, caplog, factors, sandbox, uses_fallback):
    monkeypatch.setattr(ds, "get_hardware_info", lambda: factors)
    assert ds.is_sandbox_mode() is sandbox
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        signature = ds.get_device_signature()
    if uses_fallback:
        assert signature == ds.get_sandbox_fallback_fingerprint()
        assert caplog.records[-1].levelno == logging.WARNING
        assert caplog.records[-1].getMessage() == (
            "Hardware collection partial/total failure, using sandbox fallback. "
            f"CPU={factors[0]}, Disk={factors[1]}, Board={factors[2]}")
    else:
        assert signature == sha("_".join(factors))
        assert not caplog.records
    status = ds.get_hardware_collection_status()
    assert [status[k]["value"] for k in status] == list(factors)


def test_check_hardware_change_with_empty_text_collects_nothing(monkeypatch):
    calls = []
    monkeypatch.setattr(ds, "get_hardware_info", lambda: calls.append(1) or ("a", "b", "c"))
    assert ds.check_hardware_change("") is True
    assert calls == []
    assert ds.check_hardware_change(sha("a_b_c")) is False
    assert calls == [1]


# ---------------------------------------------------------------- time-outs, threads, leftovers


def test_hanging_command_is_killed_and_the_chain_moves_on(shims, tmp_path, caplog):
    pid_file = tmp_path / "findmnt.pid"
    shim(shims, "findmnt", f'echo $$ > "{pid_file}"; exec sleep 600')
    shim(shims, "df", "printf 'Filesystem Size\\n/dev/fake 1G\\n'")
    fstab = pathlib.Path("/etc/fstab")
    has_root_uuid = fstab.exists() and any(
        l.startswith("UUID=") and " / " in l for l in fstab.read_text().splitlines())
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        disk = ds._get_disk_id_linux()
    if not has_root_uuid:
        assert disk == "LINUX_DISK_/dev/fake_FAIL"
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0].startswith("Failed to get Linux root partition UUID: ")
    assert "timed out" in messages[0]
    assert all(r.levelno == logging.DEBUG for r in caplog.records)
    pid = int(pid_file.read_text())
    assert not pathlib.Path(f"/proc/{pid}").exists()


def test_probe_thread_does_not_hold_the_gil(shims, tmp_path):
    started, gate = tmp_path / "started", tmp_path / "gate"
    # findmnt waits until the main thread, running Python, opens the gate
    shim(shims, "findmnt", f'touch "{started}"; while [ ! -e "{gate}" ]; do sleep 0.01; done; echo GATED-UUID')
    result = {}
    worker = threading.Thread(target=lambda: result.setdefault("disk", ds._get_disk_id_linux()))
    worker.start()
    while not started.exists() and worker.is_alive():
        threading.Event().wait(0.01)
    gate.touch()
    worker.join()
    assert result["disk"] == "GATED-UUID"


def _children() -> int:
    total = 0
    for task in pathlib.Path("/proc/self/task").iterdir():
        children = task / "children"
        if children.exists():
            total += len(children.read_text().split())
    return total


def test_a_thousand_runs_leave_nothing_behind(shims):
    shim(shims, "findmnt", "echo LEAK-CHECK-UUID")
    ds._get_disk_id_linux()
    fds_before = len(os.listdir("/proc/self/fd"))
    for _ in range(1000):
        assert ds._get_disk_id_linux() == "LEAK-CHECK-UUID"
    assert len(os.listdir("/proc/self/fd")) == fds_before
    assert _children() == 0


def test_commands_inherit_no_descriptor_of_the_host(shims, tmp_path):
    # what a host may hold open and inheritable: a file and both ends of a pipe
    shim(shims, "findmnt", "exec ls -l /proc/self/fd")
    with open(tmp_path / "host-file", "w") as host_file:
        read_end, write_end = os.pipe()
        try:
            for fd in (host_file.fileno(), read_end, write_end):
                os.set_inheritable(fd, True)
            listing = ds._get_disk_id_linux()
        finally:
            os.close(read_end)
            os.close(write_end)
    targets = {}
    for line in listing.splitlines():
        if " -> " in line:
            left, target = line.split(" -> ", 1)
            targets[int(left.split()[-1])] = target
    assert targets[0] == "/dev/null"
    # beyond standard input, output and error only the directory ls is listing
    assert {fd: t for fd, t in targets.items() if fd > 2 and not t.endswith("/fd")} == {}, listing


# ---------------------------------------------------------------- a faked Linux machine

CHILD = textwrap.dedent(
    """
    import json, os, subprocess, sys, tempfile
    config = json.loads(sys.argv[1])
    work = tempfile.mkdtemp()
    def bind(content, target):
        source = os.path.join(work, target.strip("/").replace("/", "_"))
        with open(source, "w") as f:
            f.write(content)
        subprocess.run(["mount", "--bind", source, target], check=True)
    # a sysfs of our own for the DMI board name
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/sys/class"], check=True)
    if config["board_name"] is not None:
        os.makedirs("/sys/class/dmi/id")
        with open("/sys/class/dmi/id/board_name", "w") as f:
            f.write(config["board_name"])
    bind(config["cpuinfo"], "/proc/cpuinfo")
    bind(config["fstab"], "/etc/fstab")
    bind(config["machine_id"], "/etc/machine-id")
    from zeq.domain.crypto_layer import device_signature as ds
    print(json.dumps({
        "info": ds.get_hardware_info(),
        "signature": ds.get_device_signature(),
        "sandbox": ds.is_sandbox_mode(),
        "fallback": ds.get_sandbox_fallback_fingerprint(),
        "status": ds.get_hardware_collection_status(),
    }))
    """
)


def _namespaces_work() -> bool:
    if shutil.which("unshare") is None or not pathlib.Path("/etc/machine-id").exists():
        return False
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    return probe.returncode == 0


needs_namespace = pytest.mark.skipif(not _namespaces_work(), reason="mount namespaces not permitted here")

CPU_ARM = "processor\t: 0\nBogoMIPS\t: 108.00\nSerial\t\t: IGNORED\nserial\t\t: \nserial\t\t: 10000000deadbeef\n"
CPU_X86 = "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz\n"
FSTAB = "# <file system> <mount point> <type>\nUUID=TABBED\t/\text4\t0 1\nUUID=1234-ABCD / ext4 errors=remount-ro 0 1\n"
DF = "printf 'Filesystem      Size  Used Avail Use%% Mounted on\\noverlay          59G   41G   16G  73%% /\\n'"


@needs_namespace
@pytest.mark.parametrize(
    "machine, expected",
    [
        (  # bare metal: serial, findmnt, DMI name
            dict(cpuinfo=CPU_ARM, fstab=FSTAB, board_name="PRIME Z390-A\n",
                 shims={"findmnt": "echo ' 5f3c-root '"}),
            ("10000000deadbeef", "5f3c-root", "LINUX_BOARD_PRIME Z390-A_FAIL"),
        ),
        (  # VM: model name, empty findmnt, fstab UUID, dmidecode product name
            dict(cpuinfo=CPU_X86, fstab=FSTAB, board_name=None,
                 shims={"findmnt": "echo", "dmidecode": "printf '\\tManufacturer: QEMU\\n\\tProduct Name: Standard PC\\n'"}),
            ("LINUX_Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz_FAIL", "1234-ABCD", "LINUX_BOARD_Standard PC_FAIL"),
        ),
        (  # container: no DMI, no dmidecode, findmnt refusing, fstab without UUIDs
            dict(cpuinfo="processor\t: 0\n", fstab="overlay / overlay rw 0 0\n", board_name=None,
                 shims={"findmnt": "exit 1", "df": DF, "dmidecode": "echo 'Permission denied' >&2; exit 1"}),
            ("LINUX_UNKNOWN_FAIL", "LINUX_DISK_overlay_FAIL", "LINUX_BOARD_UNKNOWN_FAIL"),
        ),
    ],
)
def test_faked_linux_machine(tmp_path, machine, expected):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, body in machine["shims"].items():
        shim(bin_dir, name, body)
    # commands the machine lacks must be missing, not the real ones
    for name in ("findmnt", "df", "dmidecode"):
        if name not in machine["shims"]:
            shim(bin_dir, name, "exec /nonexistent/command")
    machine_id = "0123456789abcdef0123456789abcdef\n"
    config = dict(cpuinfo=machine["cpuinfo"], fstab=machine["fstab"], board_name=machine["board_name"],
                  machine_id=machine_id)
    env = dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    done = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, "-c", CHILD, json.dumps(config)],
                          capture_output=True, text=True, env=env, timeout=120)
    if done.returncode != 0 and "mount" in done.stderr and "permission denied" in done.stderr.lower():
        pytest.skip("mounting not permitted in the namespace")
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert tuple(result["info"]) == expected
    assert result["signature"] == sha("_".join(expected))
    assert result["sandbox"] is any(v.endswith("_UNKNOWN_FAIL") for v in expected)
    mid = machine_id.strip()
    assert result["fallback"] == sha(f"LINUX_{mid}_{mid}_{mid}")
    assert [result["status"][k]["value"] for k in ("cpu", "disk", "motherboard")] == list(expected)
