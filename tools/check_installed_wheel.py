"""Checks an installed wheel from the interpreter it was installed into.

    python -I tools/check_installed_wheel.py tests/support

- The package comes from this interpreter's site-packages, not from a source tree.
- Its extension modules load from one library of the wheel,
  libzeq_crypto_layer.so, which carries libcrypto inside: no libcrypto file is
  mapped then, neither the system's nor any other.
- Once the host has loaded its own libcrypto too (hashlib, and the host
  application's stand-ins from tests/support, which rule_sealer imports), the
  layer still works and agrees with it.

Exits non-zero with the reason otherwise.
"""

from __future__ import annotations

import importlib
import pathlib
import sys
import sysconfig


def fail(reason: str) -> None:
    sys.exit(f"check_installed_wheel: {reason}")


def mapped_files() -> set[str]:
    paths = set()
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and fields[5].startswith("/"):
            paths.add(fields[5])
    return paths


def main(stand_ins: str) -> None:
    import zeq.domain.crypto_layer as package

    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    package_dir = pathlib.Path(package.__file__).resolve().parent
    if site not in package_dir.parents:
        fail(f"the package was imported from {package_dir}, not from {site}")

    modules = sorted(p.name.split(".")[0] for p in package_dir.glob("*.so") if not p.name.startswith("lib"))
    for name in modules:
        if name != "rule_sealer":
            importlib.import_module(f"zeq.domain.crypto_layer.{name}")
    mapped = mapped_files()
    libcrypto = sorted(p for p in mapped if "libcrypto" in pathlib.Path(p).name)
    if libcrypto:
        fail(f"the modules map a libcrypto file: {', '.join(libcrypto)}")
    library = package_dir / "libzeq_crypto_layer.so"
    if str(library) not in mapped:
        fail(f"the modules do not map {library}")

    # The host's own libcrypto beside the wheel's.
    import hashlib

    sys.path.append(str(pathlib.Path(stand_ins).resolve()))
    importlib.import_module("zeq.domain.crypto_layer.rule_sealer")
    from zeq.domain.crypto_layer import per_info_key, sha256_hash

    if sha256_hash("wheel") != hashlib.sha256(b"wheel").hexdigest():
        fail("sha256_hash disagrees with hashlib")
    ciphertext, key = per_info_key.encrypt_info("wheel")
    if per_info_key.decrypt_info(ciphertext, key) != "wheel":
        fail("per_info_key does not round-trip")
    print(f"{len(modules)} modules from {package_dir}, all in {library.name}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
