"""The layer under a host that loads extensions with RTLD_GLOBAL (sys.setdlopenflags, as
some scientific and MPI hosts do): the host's own TLS and hashes keep running on the
host's libraries. A child process loads the layer and the host's ssl and hashlib, in
both orders, does a TLS context and a hash, and reports the dynamic linker's symbol
bindings (LD_DEBUG=bindings): no library outside the package binds to a file of the
package. Where the package carries its own libcrypto (the binary wheels), the layer's
files bind no libcrypto symbol outside the package either."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import pytest

import zeq.domain.crypto_layer as package

PACKAGE_DIR = pathlib.Path(package.__file__).resolve().parent
# The package's files: its folder, and the folder where auditwheel puts the libraries
# it bundles (site-packages/zeq_crypto_layer.libs).
PACKAGE_DIRS = (PACKAGE_DIR, PACKAGE_DIR.parents[2] / "zeq_crypto_layer.libs")
# The binary wheels: all of the modules' code and libcrypto in one library of the package.
CARRIES_LIBCRYPTO = (PACKAGE_DIR / "libzeq_crypto_layer.so").exists()
BINDING = re.compile(
    r"binding file (?P<user>\S+) \[\d+\] to (?P<provider>\S+) \[\d+\]: \w+ symbol `(?P<symbol>[^'`]+)'"
)
LIBCRYPTO_PREFIXES = ("EVP_", "OPENSSL_", "CRYPTO_", "ERR_", "BIO_", "OSSL_", "RAND_", "XML_")

CHILD = r"""
import importlib, os, pathlib, sys

sys.setdlopenflags(os.RTLD_GLOBAL | os.RTLD_NOW)


def load_layer():
    import zeq.domain.crypto_layer as package

    names = sorted(p.name.split(".")[0] for p in pathlib.Path(package.__file__).parent.glob("*.so"))
    for name in names:
        if not name.startswith("lib") and name != "rule_sealer":  # rule_sealer needs the host's modules
            importlib.import_module("zeq.domain.crypto_layer." + name)


def load_host():
    import hashlib, ssl

    context = ssl.create_default_context()
    context.set_ciphers("ECDHE+AESGCM")
    return hashlib


if sys.argv[1] == "layer-first":
    load_layer()
    hashlib = load_host()
else:
    hashlib = load_host()
    load_layer()
import ssl

from zeq.domain.crypto_layer import per_info_key, sha256_hash

ssl.create_default_context().load_default_certs()
assert sha256_hash("global") == hashlib.sha256(b"global").hexdigest()
ciphertext, key = per_info_key.encrypt_info("global")
assert per_info_key.decrypt_info(ciphertext, key) == "global"
print("ok", ssl.OPENSSL_VERSION)
"""


def in_package(path: str) -> bool:
    return pathlib.Path(path).resolve().parent in PACKAGE_DIRS


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="LD_DEBUG is glibc's dynamic linker")
@pytest.mark.parametrize("order", ["layer-first", "host-first"])
def test_rtld_global_keeps_the_host_on_its_own_libraries(order: str, tmp_path: pathlib.Path) -> None:
    env = dict(os.environ, LD_DEBUG="bindings")
    env.pop("LD_DEBUG_OUTPUT", None)
    result = subprocess.run(
        [sys.executable, "-c", CHILD, order], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("ok ")
    bindings = [m.groupdict() for m in BINDING.finditer(result.stderr)]
    # the child's own loading shows: the layer's modules and the host's ssl were bound
    assert any(in_package(b["user"]) for b in bindings)
    assert any("_ssl" in pathlib.Path(b["user"]).name for b in bindings)

    into_package = [
        f"{b['user']} -> {b['symbol']}"
        for b in bindings
        if in_package(b["provider"]) and not in_package(b["user"]) and not b["symbol"].startswith("PyInit_")
    ]
    assert not into_package, f"{len(into_package)} host bindings to the package, e.g. {into_package[:5]}"
    if CARRIES_LIBCRYPTO:
        out_of_package = [
            f"{b['user']} -> {b['provider']}: {b['symbol']}"
            for b in bindings
            if in_package(b["user"]) and not in_package(b["provider"]) and b["symbol"].startswith(LIBCRYPTO_PREFIXES)
        ]
        assert not out_of_package, f"the layer binds libcrypto outside the package: {out_of_package[:5]}"
