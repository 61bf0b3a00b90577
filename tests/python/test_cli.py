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
        input=stdin,
        capture_output=True,
        text=True,
        timeout=120,
        cwd=os.path.dirname(__file__) + "/..",  # away from the source tree's package
    )


def run_bytes(*args: str | bytes, stdin: bytes = b"") -> subprocess.CompletedProcess[bytes]:
    """The same with raw bytes on the command line and on standard input."""
    return subprocess.run(
        [sys.executable, "-m", "zeq.domain.crypto_layer", *args],
        input=stdin,
        capture_output=True,
        timeout=120,
        cwd=os.path.dirname(__file__) + "/..",
    )


def secret_values(root_key: str = ROOT_KEY) -> list[str]:
    """What the item walk of ROOT_KEY computes that must not be printed unasked."""
    from zeq.domain.crypto_layer import access_derivation, entry_digest, master_key_split, per_info_key
    from zeq.domain.crypto_layer.derived_salt import extract_derived_salts

    personal_key, weight = master_key_split.parse_root_key(root_key)
    salts = extract_derived_salts(personal_key, weight)
    _cpu, disk, _board = device_signature.get_hardware_info()
    cipher = sha256_hash(disk)
    derived = access_derivation.generate_derived_credentials("phone_number", "agent-7", cipher, weight, salts)
    query = access_derivation.generate_query_credentials("phone_number", "agent-7", disk, weight, salts)
    digest = entry_digest.generate_entry_digest(
        "phone_number", "agent-7", environment_cipher=cipher, weight_param=weight, salts=salts
    )
    virtual = entry_digest.extract_account_password(digest, salts)
    return [
        personal_key,
        str(weight),
        *derived,
        *query,
        digest,
        *virtual,
        per_info_key.generate_info_hash_cipher("+86 138 0000 0000"),
    ]


def test_device_report() -> None:
    result = run()
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "Device"
    assert [line.split()[0] for line in lines[1:4]] == ["cpu", "disk", "motherboard"]
    assert f"  signature    {device_signature.get_device_signature()}" in lines
    assert "One item through the layer" not in result.stdout


def test_item_road_as_json_shows_no_secret_value() -> None:
    result = run("--root-key", "--json", stdin=ROOT_KEY + "\n")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    report = json.loads(result.stdout)
    assert report["device"]["device_signature"] == device_signature.get_device_signature()
    assert list(report["device"]["factors"]) == ["cpu", "disk", "motherboard"]
    road = report["item_road"]
    assert road["first_layer"]["decrypts_back"] is True
    assert road["vault_entry"]["valid"] is True
    assert road["root_key"] == {"personal_key": "*" * 21, "weight_param_digits": 16}
    assert road["secrets_shown"] is False
    for hidden in ("salts", "derived_credentials", "query_credentials", "entry_digest"):
        assert hidden not in road
    assert "key_n" not in road["first_layer"]
    for secret in [ROOT_KEY, *secret_values()]:
        assert secret not in result.stdout


def test_show_secrets_prints_them_and_says_so() -> None:
    result = run("--root-key", "--json", "--show-secrets", stdin=ROOT_KEY + "\n")
    assert result.returncode == 0, result.stderr
    assert result.stderr == (
        "note: --show-secrets prints the salts, the derived, query and virtual credentials, "
        "the entry digest and the per-info key in the clear\n"
    )
    road = json.loads(result.stdout)["item_road"]
    assert road["secrets_shown"] is True
    assert road["salts"]["salt1"] == 1 and len(road["salts"]) == 10
    assert road["first_layer"]["key_n"] == sha256_hash("+86 138 0000 0000")
    personal_key, weight, *shown = secret_values()
    for value in shown:
        assert value in result.stdout
    # the root key itself stays hidden even then
    for secret in (ROOT_KEY, personal_key, weight):
        assert secret not in result.stdout


def test_item_road_for_people() -> None:
    result = run("--root-key", stdin=ROOT_KEY + "\n")
    assert result.returncode == 0, result.stderr
    assert "One item through the layer" in result.stdout
    assert "  root key     personal key of 21 characters, weight of 16 digits" in result.stdout
    assert "decrypted    matches the content" in result.stdout
    for secret in [ROOT_KEY, *secret_values()]:
        assert secret not in result.stdout
    shown = run("--root-key", "--show-secrets", stdin=ROOT_KEY + "\n")
    assert shown.returncode == 0
    assert all(value in shown.stdout for value in secret_values()[2:])


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        ((), "", "error: no root key given"),
        ((), "no-weight-here\n", "error: malformed root key: expected the personal key, '_' and the weight digits"),
        ((), "short_1733817600123456\n", "error: malformed root key: 个人密钥必须至少8位字符"),
        ((), "abcdefgh_0\n", "error: malformed root key: 权重参数必须是正整数"),
        pytest.param(
            (),
            "abcdefgh_" + "7" * 5000 + "\n",
            f"error: malformed root key: the weight has more than {sys.get_int_max_str_digits()} digits",
            id="5000-digit weight",
        ),
        (
            ("--info-type", ""),
            ROOT_KEY + "\n",
            "error: the sample item cannot go through the layer: 信息类型、Agent名称和初始环境密文不能为空",
        ),
    ],
)
def test_user_errors_end_in_one_line_and_status_2(args: tuple[str, ...], stdin: str, message: str) -> None:
    result = run("--root-key", *args, stdin=stdin)
    assert result.returncode == 2
    assert result.stderr == message + "\n"
    assert result.stdout == ""


SECRET = "hunter2-personal_1733817600999999"


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((SECRET,), "unrecognized arguments (the root key is read from standard input, never from the command line)"),
        (
            ("--root-key", SECRET),
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--root-key={SECRET}",),
            "--root-key takes no value (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--root={SECRET}",),  # an abbreviation is no option
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--r={SECRET}",),  # an abbreviation is no option
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--json={SECRET}",),
            "--json takes no value (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--js={SECRET}",),  # an abbreviation is no option
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--show-secrets={SECRET}",),
            "--show-secrets takes no value (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"-h{SECRET}",),
            "-h/--help takes no value (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"-r{SECRET}",),
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--{SECRET}",),
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (
            (f"--{SECRET}={SECRET}",),
            "unrecognized arguments (the root key is read from standard input, never from the command line)",
        ),
        (("--info-type",), "--info-type needs a value"),
        (("--root-key", "--agent"), "--agent needs a value"),
        (("--content", f"--{SECRET}"), "--content needs a value"),
    ],
)
def test_command_line_text_is_never_echoed(args: tuple[str, ...], message: str) -> None:
    result = run(*args, stdin=ROOT_KEY + "\n")
    assert result.returncode == 2
    assert result.stderr == f"error: {message}\n"
    assert result.stdout == ""
    for piece in (SECRET, "hunter2", "1733817600999999"):
        assert piece not in result.stderr


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        ((b"--root-key",), b"abc\xff\xfedefgh_1733817600123456\n", b"error: the root key is not valid text\n"),
        (
            (b"--root-key",),
            b"correct-horse-\xed\xa0\x80battery_1733817600123456\n",
            b"error: the root key is not valid text\n",
        ),
        (
            (b"--root-key", b"--agent=agent-\xff-hunter2"),
            ROOT_KEY.encode() + b"\n",
            b"error: --agent needs a value that is valid text\n",
        ),
    ],
)
def test_input_that_is_not_text_ends_in_one_line(args: tuple[bytes, ...], stdin: bytes, message: bytes) -> None:
    result = run_bytes(*args, stdin=stdin)
    assert result.returncode == 2
    assert result.stderr == message
    assert result.stdout == b""


@pytest.mark.parametrize(
    "args",
    [("--root", "--js"), ("--root-key", "--js"), ("--show",), ("--info", "x"), ("--cont=x",), ("--root-k",)],
)
def test_abbreviations_are_refused(args: tuple[str, ...]) -> None:
    result = run(*args, stdin=ROOT_KEY + "\n")
    assert result.returncode == 2
    assert result.stderr == (
        "error: unrecognized arguments (the root key is read from standard input, never from the command line)\n"
    )
    assert result.stdout == ""


def test_help_shows_the_defaults_the_root_key_and_the_exit_statuses() -> None:
    result = run("--help")
    assert result.returncode == 0 and result.stderr == ""
    text = " ".join(result.stdout.split())  # as wide as the terminal: the words, not the line breaks
    for shown in (
        "(default: phone_number)",
        "(default: agent-7)",
        "(default: '+86 138 0000 0000')",
        "personal-key_weight-digits: the personal key (at least 8 characters), '_' and the weight parameter's digits",
        "never from the command line",
        "exit status: 0 the report was printed 2 a mistake: an unknown, misspelt or abbreviated option",
        "130 interrupted (Ctrl-C)",
    ):
        assert shown in text
