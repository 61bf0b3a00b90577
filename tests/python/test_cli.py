"""``python -m zeq.domain.crypto_layer``: the device report and one item's road, run as a real process."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from zeq.domain.crypto_layer import device_signature, sha256_hash

ROOT_KEY = "correct-horse-battery_1733817600123456"


def run(*args: str, stdin: str = "") -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "zeq.domain.crypto_layer", *args],
        input=stdin, capture_output=True, text=True, timeout=120,
        cwd=os.path.dirname(__file__) + "/..",  # away from the source tree's package
    )


def test_device_report() -> None:
    result = run()
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "Device"
    assert [line.split()[0] for line in lines[1:4]] == ["cpu", "disk", "motherboard"]
    assert f"  signature    {device_signature.get_device_signature()}" in lines
    assert "One item through the layer" not in result.stdout


def test_item_road_as_json_never_shows_the_root_key() -> None:
    result = run("--root-key", "--json", stdin=ROOT_KEY + "\n")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["device"]["device_signature"] == device_signature.get_device_signature()
    assert list(report["device"]["factors"]) == ["cpu", "disk", "motherboard"]
    road = report["item_road"]
    assert road["salts"]["salt1"] == 1 and len(road["salts"]) == 10
    assert road["first_layer"]["decrypts_back"] is True
    assert road["first_layer"]["key_n"] == sha256_hash("+86 138 0000 0000")
    assert road["vault_entry"]["valid"] is True
    assert road["root_key"] == {"personal_key": "co*****************ry", "weight_param_digits": 16}
    for secret in (ROOT_KEY, "correct-horse-battery", "1733817600123456"):
        assert secret not in result.stdout


def test_item_road_for_people() -> None:
    result = run("--root-key", stdin=ROOT_KEY + "\n")
    assert result.returncode == 0, result.stderr
    assert "One item through the layer" in result.stdout
    assert "decrypted    matches the content" in result.stdout
    assert "correct-horse-battery" not in result.stdout


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        ((), "", "error: no root key given"),
        ((), "no-weight-here\n", "error: malformed root key: expected the personal key, '_' and the weight digits"),
        ((), "short_1733817600123456\n", "error: malformed root key: 个人密钥必须至少8位字符"),
        ((), "abcdefgh_0\n", "error: malformed root key: 权重参数必须是正整数"),
        (("--info-type", ""), ROOT_KEY + "\n",
         "error: the sample item cannot go through the layer: 信息类型、Agent名称和初始环境密文不能为空"),
    ],
)
def test_user_errors_end_in_one_line_and_status_2(args: tuple[str, ...], stdin: str, message: str) -> None:
    result = run("--root-key", *args, stdin=stdin)
    assert result.returncode == 2
    assert result.stderr == message + "\n"
    assert result.stdout == ""


def test_root_key_is_not_taken_from_the_command_line() -> None:
    result = run("--root-key", ROOT_KEY)
    assert result.returncode == 2
    assert "unrecognized arguments (the root key is read from standard input" in result.stderr
    assert ROOT_KEY not in result.stdout + result.stderr
