"""Key material does not outlive the call: after an operation, the memory of the
process (its heap, freed blocks included) holds no copy the layer made of a root
key, personal key, weight, key source or derived key.

Each case runs in a child interpreter, which receives its inputs in pieces (so
that the texts looked for are made only by the layer), performs one operation,
drops the results and waits; the test then reads the child's writable memory
through /proc/<pid>/mem. The host's own objects (its arguments, the results it
receives) are not the layer's to wipe, so nothing looked for is either of them.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

from zeq.domain.crypto_layer import device_signature
from zeq.domain.crypto_layer.master_key_seal import _get_aes_key_3, encrypt_root_key_data, get_aes_key_2

CHILD = textwrap.dedent(
    """
    import gc, json, sys
    from zeq.domain.crypto_layer import access_derivation as ad, derived_salt as ds, master_key_seal as mks
    from zeq.domain.crypto_layer import per_info_key as pik, weight_issuer as wi

    c = json.loads(sys.stdin.readline())
    op, pk, w = c["op"], c["pk"], c["w"]
    weight = c["a"] * c["b"]  # an int whose digits appear nowhere as text
    if op == "get_aes_key_2":
        mks.get_aes_key_2(pk, w)
    elif op == "encrypt_root_key_data":
        mks.encrypt_root_key_data(pk + "_" + w, c["migrate"], c["signature"])
    elif op == "decrypt_root_key_data":
        mks.decrypt_root_key_data(c["sealed"], c["aes_key_2"])
    elif op == "weight_param_sealing":
        mks.decrypt_weight_param(mks.encrypt_weight_param(w, c["aes_key_2"]), c["aes_key_2"])
    elif op == "get_aes_key_1":
        mks.get_aes_key_1()
    elif op == "text_cipher":
        ad.aes_decrypt(ad.aes_encrypt(c["plaintext"], c["key"]), c["key"])
    elif op == "per_info_key":
        pik.decrypt_info(*pik.encrypt_info(c["plaintext"]))
    elif op == "weights":
        ds.extract_derived_salts(pk, weight)
        wi.parse_weight_parameter(weight)
        wi.get_weight_digit(weight, 3)
        salts = ds.extract_derived_salts(pk, 1)
        ad.generate_derived_credentials("phone", "agent", "cipher", weight, salts)
    gc.collect()
    print("ready", flush=True)
    sys.stdin.readline()
    """
)

PERSONAL_KEY = "pk-Zq8vX2mB9w密钥"
WEIGHT = "1733817600123457"
A, B = 17338176001234567890123, 10000000000000000019  # their product is the weight of the "weights" case
MIGRATE = "migrate-key-of-the-test"
SIGNATURE = hashlib.sha256(b"a device of the test").hexdigest()
PLAINTEXT = "the sample item's content 内容"
KEY_TEXT = "a key text of the test 钥"


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


REGION_LIMIT = 1 << 30  # larger mappings are reservations (a sanitizer's shadow), not the heap
CHUNK = 16 << 20


def writable_regions(pid: int):
    """(start, end) of each mapping the process can write to."""
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            fields = line.split()
            if "w" in fields[1] and "r" in fields[1]:
                start, end = (int(x, 16) for x in fields[0].split("-"))
                if end - start <= REGION_LIMIT:
                    yield start, end


def found_in_memory(pid: int, needles: list[bytes]) -> list[bool]:
    """Which needles occur anywhere in the writable memory of the process."""
    found = [False] * len(needles)
    overlap = max((len(n) for n in needles), default=1)
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for start, end in writable_regions(pid):
            position, tail = start, b""
            while position < end:
                try:
                    mem.seek(position)
                    data = tail + mem.read(min(CHUNK, end - position))
                except OSError:
                    break
                for i, needle in enumerate(needles):
                    found[i] = found[i] or needle in data
                tail = data[-overlap:]
                position += CHUNK
    return found


def run_case(case: dict[str, object], needles: list[bytes]) -> list[bool]:
    # Bound at start: the lazy binder saves the CPU's vector registers on the stack at a
    # function's first call, and they may still hold the last bytes any copy moved.
    env = dict(os.environ, LD_BIND_NOW="1")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=os.path.dirname(__file__),
        env=env,
    )
    try:
        assert child.stdin is not None and child.stdout is not None
        child.stdin.write(json.dumps(case) + "\n")
        child.stdin.flush()
        assert child.stdout.readline() == "ready\n"
        try:
            return found_in_memory(child.pid, needles)
        except PermissionError:
            pytest.skip("reading another process's memory is not permitted here")
    finally:
        child.kill()
        child.wait()


def root_key_needles() -> dict[str, bytes]:
    source = PERSONAL_KEY + WEIGHT
    aes_key_2 = sha(source)
    aes_key_3 = aes_key_2[:30][::-1]
    return {
        "personal key + weight": source.encode(),
        "AES key 2": aes_key_2.encode(),
        "AES key 3": aes_key_3.encode(),
        "AES key 3's AES key": hashlib.sha256(aes_key_3.encode()).digest(),
    }


def combined_needle() -> bytes:
    # across the first "|": the host receives the pieces, never the joined text
    return f"{PERSONAL_KEY}_{WEIGHT}|{sha(MIGRATE)[:6]}".encode()


def cases() -> list[object]:
    aes_key_2 = get_aes_key_2(PERSONAL_KEY, WEIGHT)
    key_3 = _get_aes_key_3(aes_key_2)
    key_3_needles = {"AES key 3": key_3.encode(), "AES key 3's AES key": hashlib.sha256(key_3.encode()).digest()}
    sealed = encrypt_root_key_data(f"{PERSONAL_KEY}_{WEIGHT}", MIGRATE, SIGNATURE)
    cpu, disk, board = device_signature.get_hardware_info()
    return [
        pytest.param(
            {"op": "get_aes_key_2"}, {"personal key + weight": (PERSONAL_KEY + WEIGHT).encode()}, id="get_aes_key_2"
        ),
        pytest.param(
            {"op": "encrypt_root_key_data", "migrate": MIGRATE, "signature": SIGNATURE},
            {**root_key_needles(), "combined data": combined_needle()},
            id="encrypt_root_key_data",
        ),
        pytest.param(
            {"op": "decrypt_root_key_data", "sealed": sealed, "aes_key_2": aes_key_2},
            {**key_3_needles, "opened combined data": combined_needle()},
            id="decrypt_root_key_data",
        ),
        pytest.param({"op": "weight_param_sealing", "aes_key_2": aes_key_2}, key_3_needles, id="weight_param"),
        pytest.param(
            {"op": "get_aes_key_1"}, {"joined device factors": (cpu + disk + board).encode()}, id="get_aes_key_1"
        ),
        pytest.param(
            {"op": "text_cipher", "plaintext": PLAINTEXT, "key": KEY_TEXT},
            {"text cipher key": hashlib.sha256(KEY_TEXT.encode()).digest()},
            id="text_cipher",
        ),
        pytest.param(
            {"op": "per_info_key", "plaintext": PLAINTEXT},
            {"per-info key bytes": hashlib.sha256(PLAINTEXT.encode()).digest()},
            id="per_info_key",
        ),
        pytest.param({"op": "weights"}, {"weight digits": str(A * B).encode()}, id="weight_texts"),
    ]


@pytest.mark.parametrize(("case", "needles"), cases())
def test_no_key_material_is_left_in_memory(case: dict[str, object], needles: dict[str, bytes]) -> None:
    assert len(str(A * B)) > 40
    names = list(needles)
    found = run_case(
        {"pk": PERSONAL_KEY, "w": WEIGHT, "a": A, "b": B, **case}, [telling_part(needles[name]) for name in names]
    )
    assert [name for name, left in zip(names, found, strict=True) if left] == []


def telling_part(needle: bytes) -> bytes:
    """The allocator writes its own bookkeeping over the start of a freed block: the second half
    of a needle is enough to tell (16 bytes at least, so that no chance match counts)."""
    return needle[min(len(needle) // 2, max(len(needle) - 16, 0)) :]


def test_the_scan_finds_what_is_there() -> None:
    # the host's own argument stays (it is the host's): proof that the scan sees the heap
    assert run_case(
        {"op": "get_aes_key_2", "pk": PERSONAL_KEY, "w": WEIGHT, "a": A, "b": B}, [PERSONAL_KEY.encode()]
    ) == [True]
