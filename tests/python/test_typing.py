"""Type stubs: current with the installed modules, shipped with py.typed, and what mypy sees.

The .pyi files in src/zeq/domain/crypto_layer are stubgen's output for the built
modules (tools/generate_stubs.py); the mypy runs use the installed package, as a
host application's type check would.
"""

from __future__ import annotations

import difflib
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import zeq.domain.crypto_layer as crypto_layer

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCE_DIR = ROOT / "src" / "zeq" / "domain" / "crypto_layer"
GENERATOR = ROOT / "tools" / "generate_stubs.py"
INSTALLED_DIR = pathlib.Path(crypto_layer.__file__).parent
REGENERATE = "pip install --no-build-isolation . && python tools/generate_stubs.py"


def generator_header() -> str:
    """The first line the generator gives every stub, read from the generator itself."""
    loader_spec = importlib.util.spec_from_file_location("generate_stubs", GENERATOR)
    assert loader_spec is not None and loader_spec.loader is not None
    generator = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(generator)
    return generator.HEADER


def clean_env() -> dict[str, str]:
    """The environment without paths that could put the source tree before the installed package."""
    env = dict(os.environ)
    for name in ("PYTHONPATH", "MYPYPATH", "MYPY_CACHE_DIR"):
        env.pop(name, None)
    return env


def committed_stubs() -> dict[str, str]:
    return {p.name: p.read_text(encoding="utf-8") for p in sorted(SOURCE_DIR.glob("*.pyi"))}


# ---------------------------------------------------------------- the stubs themselves


def test_installed_from_elsewhere_than_the_source_tree() -> None:
    # Otherwise the checks below would compare the source tree with itself.
    assert INSTALLED_DIR.resolve() != SOURCE_DIR.resolve()


def test_committed_stubs_match_the_installed_modules(tmp_path: pathlib.Path) -> None:
    subprocess.run(
        [sys.executable, str(GENERATOR), "--out", str(tmp_path)],
        check=True,
        cwd=tmp_path,
        env=clean_env(),
        capture_output=True,
        text=True,
    )
    generated = {p.name: p.read_text(encoding="utf-8") for p in sorted(tmp_path.glob("*.pyi"))}
    committed = committed_stubs()

    assert sorted(committed) == sorted(generated), f"stub files differ; regenerate: {REGENERATE}"
    stale = {
        name: "".join(
            difflib.unified_diff(
                committed[name].splitlines(True),
                generated[name].splitlines(True),
                f"committed/{name}",
                f"generated/{name}",
            )
        )
        for name in committed
        if committed[name] != generated[name]
    }
    assert not stale, f"stale stubs; regenerate: {REGENERATE}\n" + "\n".join(stale.values())


def test_every_stub_starts_with_the_generator_header() -> None:
    header = generator_header()
    assert header.startswith("# ") and header.count("\n") == 1 and "do not edit" in header
    unmarked = [name for name, text in committed_stubs().items() if not text.startswith(header)]
    assert not unmarked, f"stubs without the generator's header; regenerate: {REGENERATE}"


def test_every_extension_module_has_a_stub() -> None:
    modules = {
        p.name.split(".")[0]
        for p in INSTALLED_DIR.iterdir()
        # beside the modules: nanobind's runtime (source builds), the library holding all
        # of the modules' code (binary wheels)
        if p.suffix in (".so", ".pyd") and not p.name.startswith(("libnanobind", "libzeq_crypto_layer"))
    }
    assert len(modules) == 14
    assert {name.removesuffix(".pyi") for name in committed_stubs()} == modules


def test_installed_package_ships_stubs_and_marker() -> None:
    assert (INSTALLED_DIR / "py.typed").is_file()
    installed = {p.name: p.read_text(encoding="utf-8") for p in sorted(INSTALLED_DIR.glob("*.pyi"))}
    assert installed == committed_stubs(), f"installed stubs differ from the committed ones; reinstall: {REGENERATE}"
    # zeq and zeq.domain are namespace packages shared with the host application.
    assert not (INSTALLED_DIR.parent / "__init__.py").exists()
    assert not (INSTALLED_DIR.parent.parent / "__init__.py").exists()


# ---------------------------------------------------------------- mypy on code that uses the layer

GOOD_EXAMPLE = """\
from typing import assert_type

from zeq.domain.crypto_layer import access_derivation, derived_salt, per_info_key, sha256_hash
from zeq.domain.crypto_layer.device_signature import get_device_signature, get_hardware_info
from zeq.domain.crypto_layer.digest_base import verify_sha256_hash
from zeq.domain.crypto_layer.master_key_split import parse_root_key
from zeq.domain.crypto_layer.vault_entry import VaultEntry, VaultEntryBuilder

personal_key, weight_param = parse_root_key("correct-horse-battery_1733817600123456")
assert_type(weight_param, int)
salts = derived_salt.extract_derived_salts(personal_key, weight_param)
assert_type(salts, dict[str, int])
assert_type(derived_salt.get_salt(salts, 2.0), int)

digest = sha256_hash("phone_number")
assert_type(digest, str)
assert_type(verify_sha256_hash("phone_number", digest), bool)

_cpu, disk_id, _board = get_hardware_info()
account, password = access_derivation.generate_derived_credentials(
    "phone_number", "agent-7", sha256_hash(disk_id), float(weight_param), salts)
assert_type(account, str)
assert_type(
    access_derivation.verify_derived_credentials(account, password, "phone_number", "agent-7", disk_id,
                                                 weight_param, salts),
    bool)

ciphertext, key_n = per_info_key.encrypt_info("+86 138 0000 0000")
assert_type(per_info_key.decrypt_info(ciphertext, key_n), str)
assert_type(per_info_key.encrypt_with_aes_key_4("note", None), tuple[str, str])

entry = VaultEntry("phone_number", "agent-7", "+86 138 0000 0000", sha256_hash(account), sha256_hash(password),
                   sha256_hash(get_device_signature()))
entry.key_version = 1.0
assert_type(entry.key_version, int)
assert_type(entry.validate(), bool)
assert_type(entry.to_dict(), dict[str, str | int])
assert_type(VaultEntry.from_json(entry.to_json()), VaultEntry)
built = VaultEntryBuilder().with_info_type("email").with_key_version(1).build()
assert_type(built, VaultEntry)
assert_type(built.get_plaintext_parts(), dict[str, str])
"""

# An int where text is declared, by name: (call, argument, function as mypy names it).
BAD_CALLS = [
    ("sha256_hash(data=42)", "data", '"sha256_hash"'),
    (
        "derived_salt.extract_derived_salts(personal_key=12345678, weight_param=1)",
        "personal_key",
        '"extract_derived_salts"',
    ),
    (
        "access_derivation.generate_derived_credentials(info_type='phone', agent_name=7, environment_cipher='e', "
        "weight_param=1, salts={})",
        "agent_name",
        '"generate_derived_credentials"',
    ),
    ("per_info_key.encrypt_with_per_info_key(plaintext='x', key_n=0)", "key_n", '"encrypt_with_per_info_key"'),
    ("VaultEntryBuilder().with_info_owner(info_owner=3)", "info_owner", '"with_info_owner" of "VaultEntryBuilder"'),
]
BAD_HEADER = """\
from zeq.domain.crypto_layer import access_derivation, derived_salt, per_info_key, sha256_hash
from zeq.domain.crypto_layer.vault_entry import VaultEntryBuilder

"""

MYPY_LINE = re.compile(r"^example\.py:(\d+): error: (.*?)(?:\s+\[[a-z-]+\])?$")


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(tmp_path: pathlib.Path, cache: pathlib.Path, source: str) -> subprocess.CompletedProcess[str]:
    (tmp_path / "example.py").write_text(source, encoding="utf-8")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n", encoding="utf-8")
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--config-file",
            str(config),
            "--cache-dir",
            str(cache),
            "--no-error-summary",
            "--hide-error-context",
            "--no-pretty",
            "--show-error-codes",
            "example.py",
        ],
        cwd=tmp_path,
        env=clean_env(),
        capture_output=True,
        text=True,
    )


def test_mypy_accepts_code_that_uses_the_layer(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    result = run_mypy(tmp_path, mypy_cache, GOOD_EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_good_example_runs(tmp_path: pathlib.Path) -> None:
    # The example mypy accepts is real code: the stubs promise nothing the modules refuse.
    (tmp_path / "example.py").write_text(GOOD_EXAMPLE, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "example.py"], cwd=tmp_path, env=clean_env(), capture_output=True, text=True
    )
    assert result.returncode == 0, result.stderr


def test_mypy_rejects_int_where_text_is_declared(tmp_path: pathlib.Path, mypy_cache: pathlib.Path) -> None:
    first_line = BAD_HEADER.count("\n") + 1
    result = run_mypy(tmp_path, mypy_cache, BAD_HEADER + "".join(call + "\n" for call, _, _ in BAD_CALLS))
    assert result.returncode == 1, result.stdout + result.stderr

    errors: dict[int, list[str]] = {}
    for line in result.stdout.splitlines():
        match = MYPY_LINE.match(line)
        assert match, f"unexpected mypy output: {line!r}\n{result.stdout}"
        errors.setdefault(int(match.group(1)), []).append(match.group(2))
    expected = {
        first_line + i: [f'Argument "{argument}" to {function} has incompatible type "int"; expected "str"']
        for i, (_, argument, function) in enumerate(BAD_CALLS)
    }
    assert errors == expected, result.stdout
