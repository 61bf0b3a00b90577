"""Checks what the ELF files of a binary wheel export.

    python tools/check_wheel_symbols.py WHEEL...

- No file exports a symbol of libcrypto or Expat (EVP_, OPENSSL_, CRYPTO_, ERR_,
  BIO_, OSSL_, XML_ ...): with RTLD_GLOBAL the host's own libssl, _ssl and
  _hashlib would bind to them.
- Exactly one file carries libcrypto (its default provider), so that every module
  shares one library state (providers, error queues, the random generator).
- The package bundles no library of the build machine (no *.libs/ folder).

Needs pyelftools (auditwheel's dependency, in the tools venv of
tools/build_wheels.sh). Prints one line per wheel, exits non-zero on a fault.
"""

from __future__ import annotations

import io
import sys
import zipfile

from elftools.elf.elffile import ELFFile

FORBIDDEN_PREFIXES = (
    "EVP_",
    "OPENSSL_",
    "CRYPTO_",
    "ERR_",
    "BIO_",
    "OSSL_",
    "RAND_",
    "SHA256",
    "AES_",
    "PKCS5_",
    "HMAC",
    "X509",
    "XML_",
)
# The name of libcrypto's default provider, which every fetch of an algorithm needs.
LIBCRYPTO_MARK = b"OpenSSL Default Provider"


def exported(elf: ELFFile) -> list[str]:
    table = elf.get_section_by_name(".dynsym")
    if table is None:
        return []
    names = []
    for symbol in table.iter_symbols():
        if symbol["st_shndx"] == "SHN_UNDEF" or not symbol.name:
            continue
        if symbol["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK") and symbol["st_other"]["visibility"] in (
            "STV_DEFAULT",
            "STV_PROTECTED",
        ):
            names.append(symbol.name)
    return names


def check(wheel: str) -> list[str]:
    faults = []
    carriers = []
    elf_files = 0
    with zipfile.ZipFile(wheel) as archive:
        for name in archive.namelist():
            if ".libs/" in name:
                faults.append(f"{name}: a bundled library of the build machine")
            data = archive.read(name)
            if not data.startswith(b"\x7fELF"):
                continue
            elf_files += 1
            leaked = [s for s in exported(ELFFile(io.BytesIO(data))) if s.startswith(FORBIDDEN_PREFIXES)]
            if leaked:
                faults.append(f"{name} exports {len(leaked)} library symbols, e.g. {', '.join(sorted(leaked)[:5])}")
            if LIBCRYPTO_MARK in data:
                carriers.append(name)
    if len(carriers) != 1:
        faults.append(f"libcrypto is carried by {len(carriers)} files, not one: {', '.join(carriers) or 'none'}")
    summary = f"{elf_files} ELF files, libcrypto in {', '.join(carriers) or 'none'}"
    print(f"{wheel}: {'FAIL' if faults else 'ok'} ({summary})")
    return faults


def main(wheels: list[str]) -> int:
    if not wheels:
        print(__doc__, file=sys.stderr)
        return 2
    faults = [fault for wheel in wheels for fault in check(wheel)]
    for fault in faults:
        print(f"  FAIL: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
