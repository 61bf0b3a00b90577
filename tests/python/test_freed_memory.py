"""Key material does not outlive the call: after an operation, the writable memory of
the process (its heap with its freed blocks, its anonymous maps, the stack of its main
thread and those of its threads) holds no copy the layer made of a root key, personal
key, weight, key source, derived key or credential that the host does not receive.

Each case runs in 20 fresh processes, forked by 5 fresh child interpreters before
anything of the case has run (one process of each performs the operation on a thread of
its own). A child receives its inputs in pieces (so that the texts looked for are made
only by the layer); each process performs the operation once, drops the results and
waits; the test then reads its writable memory through /proc/<pid>/mem. The host's own objects (its arguments,
the results it receives) are not the layer's to wipe, so nothing looked for is either of
them. What the layer leaves on the stack shows up in some processes only (where the
dynamic linker's lazy binding or a signal saved the CPU's vector registers there, say),
hence the many processes.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import hashlib
import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

from zeq.domain.crypto_layer import device_signature
from zeq.domain.crypto_layer.access_derivation import generate_derived_credentials
from zeq.domain.crypto_layer.db_account_pass import generate_zeq_user1_password
from zeq.domain.crypto_layer.derived_salt import extract_derived_salts
from zeq.domain.crypto_layer.master_key_seal import _get_aes_key_3, encrypt_root_key_data, get_aes_key_2
from zeq.domain.crypto_layer.rule_sealer import RuleSealer
from zeq.models.cognition_model import CognitionRule

SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "support"

CHILD = textwrap.dedent(
    """
    import gc, json, os, signal, sys, threading, types
    sys.path.insert(0, sys.argv[1])
    from zeq.domain.crypto_layer import access_derivation as ad, db_account_pass as dap, derived_salt as ds
    from zeq.domain.crypto_layer import master_key_seal as mks, per_info_key as pik, weight_issuer as wi
    from zeq.domain.crypto_layer.rule_sealer import RuleSealer
    from zeq.models.cognition_model import CognitionRule

    c = json.loads(sys.stdin.readline())
    op, pk, w = c["op"], c["pk"], c["w"]
    weight = c["a"] * c["b"]  # an int whose digits appear nowhere as text

    def sealer():
        s = RuleSealer(c["salts"])
        s._weight_params = {"dimensions": weight, "version": "1.0"}
        return s

    def operation():
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
        elif op == "verify_derived_credentials":
            assert not ad.verify_derived_credentials("x", "y", "phone", "agent", "cipher", weight, c["salts"])
        elif op == "verify_zeq_user1_password":
            assert not dap.verify_zeq_user1_password("x", c["cpu"], c["disk"], c["salts"])
        elif op == "rule_sealer":
            sealer().encrypt(CognitionRule(**c["rule"]))
            wrong = types.SimpleNamespace(extract_account="x", extract_password="y", hardware_hash="z")
            assert not sealer().verify(wrong, CognitionRule(**c["verified_rule"]))

    def run(thread):
        if thread:
            failures = []

            def work():
                try:
                    operation()
                except BaseException as failure:
                    failures.append(failure)

            worker = threading.Thread(target=work)
            worker.start()
            worker.join()
            if failures:
                raise failures[0]
        else:
            operation()
        gc.collect()
        os.write(1, f"ready {os.getpid()}\\n".encode())  # one write: the processes share the pipe

    if "rounds" not in c:
        run(c["thread"])
        sys.stdin.readline()
    else:
        # One fresh process per round, forked before anything of the case has run.
        for thread in c["rounds"]:
            if os.fork() == 0:
                try:
                    run(thread)
                except BaseException as failure:
                    os.write(1, f"failed {os.getpid()} {failure!r}\\n".encode())
                    os._exit(1)
                while True:
                    signal.pause()
        for _ in c["rounds"]:
            os.wait()
    """
)

PERSONAL_KEY = "pk-Zq8vX2mB9w密钥"
WEIGHT = "1733817600123457"
A, B = 17338176001234567890123, 10000000000000000019  # their product is the weight of several cases
MIGRATE = "migrate-key-of-the-test"
SIGNATURE = hashlib.sha256(b"a device of the test").hexdigest()
PLAINTEXT = "the sample item's content 内容"
KEY_TEXT = "a key text of the test 钥"
# salt1 and salt2 at 9: the longest credentials, the easiest to find
LONG_TAILS = {**extract_derived_salts(PERSONAL_KEY, A * B), "salt1": 9, "salt2": 9, "salt3": 1}
CPU, DISK = "a cpu of the test", "a disk of the test"
RULE = {"rule_id": "r1", "rule_type": "phone", "info_type": "phone", "info_owner": "u1", "content": "c"}
VERIFIED_RULE = {**RULE, "info_owner": "u2"}  # other credentials than RULE's, which encrypt hands out

PROCESSES = 20
CHILDREN = 5  # fresh interpreters, each forking PROCESSES // CHILDREN of the processes


def sha(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


REGION_LIMIT = 1 << 30  # larger mappings are reservations (a sanitizer's shadow), not the heap
CHUNK = 16 << 20


def writable_regions(pid: int):
    """(start, end, name) of each mapping the process can write to: its heap, its stack
    ("[stack]"), the anonymous maps (thread stacks and allocator arenas among them)."""
    with open(f"/proc/{pid}/maps") as maps:
        for line in maps:
            fields = line.split()
            if "w" in fields[1] and "r" in fields[1]:
                start, end = (int(x, 16) for x in fields[0].split("-"))
                if end - start <= REGION_LIMIT:
                    yield start, end, fields[5] if len(fields) > 5 else "anonymous"


def found_in_memory(pid: int, needles: list[bytes]) -> list[set[str]]:
    """For each needle, the names of the writable mappings of the process holding it."""
    found: list[set[str]] = [set() for _ in needles]
    overlap = max((len(n) for n in needles), default=1)
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for start, end, name in writable_regions(pid):
            position, tail = start, b""
            while position < end:
                try:
                    mem.seek(position)
                    data = tail + mem.read(min(CHUNK, end - position))
                except OSError:
                    break
                for i, needle in enumerate(needles):
                    if needle in data:
                        found[i].add(name)
                tail = data[-overlap:]
                position += CHUNK
    return found


def run_case(case: dict[str, object], needles: list[bytes], env: dict[str, str] | None = None) -> list[set[str]]:
    """Runs one case in a fresh child and scans it."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(SUPPORT)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=os.path.dirname(__file__),
        env=env,
    )
    try:
        assert child.stdin is not None and child.stdout is not None
        child.stdin.write(json.dumps({"thread": False, **case}) + "\n")
        child.stdin.flush()
        assert child.stdout.readline() == f"ready {child.pid}\n"
        try:
            return found_in_memory(child.pid, needles)
        except PermissionError:
            pytest.skip("reading another process's memory is not permitted here")
    finally:
        child.kill()
        child.wait()


def run_forked(case: dict[str, object], threads: list[bool], needles: list[bytes]) -> list[list[set[str]]]:
    """Starts a child that forks one process per round, each performing the operation
    (on a thread of its own where `threads` says so); scans each of them."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(SUPPORT)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=os.path.dirname(__file__),
    )
    pids: list[int] = []
    try:
        assert child.stdin is not None and child.stdout is not None
        child.stdin.write(json.dumps({**case, "rounds": threads}) + "\n")
        child.stdin.flush()
        found = []
        for _ in threads:
            word, pid, *failure = child.stdout.readline().split(maxsplit=2)
            pids.append(int(pid))
            assert word == "ready", failure
            try:
                found.append(found_in_memory(pids[-1], needles))
            except PermissionError:
                pytest.skip("reading another process's memory is not permitted here")
            finally:
                os.kill(pids[-1], signal.SIGKILL)
        child.wait(timeout=60)
        return found
    finally:
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        child.kill()
        child.wait()


def run_fresh_processes(case: dict[str, object], needles: list[bytes]) -> list[list[set[str]]]:
    """The case in PROCESSES fresh processes: forked by a few fresh interpreters (each
    with an address layout of its own), one round of each on a thread of its own."""
    per_child = PROCESSES // CHILDREN
    rounds = [[i == per_child - 1 for i in range(per_child)] for _ in range(CHILDREN)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        runs = pool.map(lambda threads: run_forked(case, threads, needles), rounds)
        return [found for run in runs for found in run]


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


def sealer_credentials() -> dict[str, bytes]:
    """What the rule sealer derives for VERIFIED_RULE under the weight A * B (in the verify, never
    handed out)."""
    sealer = RuleSealer(dict(LONG_TAILS))
    sealer._weight_params = {"dimensions": A * B, "version": "1.0"}
    record = sealer.encrypt(CognitionRule(**VERIFIED_RULE))
    return {"true account": record.extract_account.encode(), "true password": record.extract_password.encode()}


def cases() -> list[object]:
    aes_key_2 = get_aes_key_2(PERSONAL_KEY, WEIGHT)
    key_3 = _get_aes_key_3(aes_key_2)
    key_3_needles = {"AES key 3": key_3.encode(), "AES key 3's AES key": hashlib.sha256(key_3.encode()).digest()}
    sealed = encrypt_root_key_data(f"{PERSONAL_KEY}_{WEIGHT}", MIGRATE, SIGNATURE)
    cpu, disk, board = device_signature.get_hardware_info()
    weight_digits = {"weight digits": str(A * B).encode()}
    account, password = generate_derived_credentials("phone", "agent", "cipher", A * B, LONG_TAILS)
    db_source = DISK * LONG_TAILS["salt1"] + CPU * LONG_TAILS["salt2"]
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
        pytest.param({"op": "weights"}, weight_digits, id="weight_texts"),
        pytest.param(
            {"op": "verify_derived_credentials", "salts": LONG_TAILS},
            {**weight_digits, "true account": account.encode(), "true password": password.encode()},
            id="verify_derived_credentials",
        ),
        pytest.param(
            {"op": "verify_zeq_user1_password", "cpu": CPU, "disk": DISK, "salts": LONG_TAILS},
            {
                "true password": generate_zeq_user1_password(CPU, DISK, LONG_TAILS).encode(),
                "its digest": sha(db_source).encode(),
            },
            id="verify_zeq_user1_password",
        ),
        pytest.param(
            {"op": "rule_sealer", "salts": LONG_TAILS, "rule": RULE, "verified_rule": VERIFIED_RULE},
            {**weight_digits, **sealer_credentials()},
            id="rule_sealer",
        ),
    ]


@pytest.mark.parametrize(("case", "needles"), cases())
def test_no_key_material_is_left_in_memory(case: dict[str, object], needles: dict[str, bytes]) -> None:
    assert len(str(A * B)) > 40
    names = list(needles)
    runs = run_fresh_processes(
        {"pk": PERSONAL_KEY, "w": WEIGHT, "a": A, "b": B, **case}, [telling_part(needles[name]) for name in names]
    )
    left = {}
    for i, name in enumerate(names):
        holding = [run[i] for run in runs if run[i]]
        if holding:
            left[name] = f"in {len(holding)} of {len(runs)} processes, in {sorted(set().union(*holding))}"
    assert left == {}


def telling_part(needle: bytes) -> bytes:
    """The allocator writes its own bookkeeping over the start of a freed block: the second half
    of a needle is enough to tell (16 bytes at least, so that no chance match counts)."""
    return needle[min(len(needle) // 2, max(len(needle) - 16, 0)) :]


def test_the_scan_finds_what_is_there() -> None:
    # the host's own argument stays (it is the host's): proof that the scan sees the heap
    assert run_case(
        {"op": "get_aes_key_2", "pk": PERSONAL_KEY, "w": WEIGHT, "a": A, "b": B}, [PERSONAL_KEY.encode()]
    ) != [set()]


def test_the_scan_reads_the_stack() -> None:
    # the environment lies at the top of the main thread's stack
    marker = "the stack of the test " + sha("marker")
    found = run_case(
        {"op": "get_aes_key_2", "pk": PERSONAL_KEY, "w": WEIGHT, "a": A, "b": B},
        [marker.encode()],
        env={**os.environ, "ZEQ_TEST_MARKER": marker},
    )
    assert "[stack]" in found[0]
