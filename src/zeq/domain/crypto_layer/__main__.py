"""``python -m zeq.domain.crypto_layer``: the layer at work on this machine.

Without options it prints the device report: the three device factors with their
flags, sandbox mode, the device signature and the sandbox fallback signature.
With ``--root-key`` it also walks one item through the layer. The root key is a
secret: it is read from the terminal without echo, or from standard input when
that is not a terminal, and never taken from the command line or printed whole.
"""

from __future__ import annotations

import argparse
import getpass
import json
import sys
from typing import Any, NoReturn, TextIO

EXIT_USAGE = 2


class UserError(Exception):
    """A mistake the user can mend; reported in one line with exit status 2."""


def device_report() -> dict[str, Any]:
    from . import device_signature

    status = device_signature.get_hardware_collection_status()
    return {
        "factors": status,
        "sandbox_mode": device_signature.is_sandbox_mode(),
        "device_signature": device_signature.get_device_signature(),
        "sandbox_fallback_signature": device_signature.get_sandbox_fallback_fingerprint(),
    }


def read_root_key(stream: TextIO) -> str:
    if stream.isatty():
        root_key = getpass.getpass("Root key (personal_key_weight): ")
    else:
        root_key = stream.readline().rstrip("\r\n")
    if not root_key:
        raise UserError("no root key given")
    return root_key


def masked(secret: str) -> str:
    """Enough of a secret to recognise it, never enough to use it."""
    if len(secret) <= 4:
        return "*" * len(secret)
    return f"{secret[:2]}{'*' * (len(secret) - 4)}{secret[-2:]}"


def item_road(root_key: str, info_type: str, agent_name: str, content: str) -> dict[str, Any]:
    from . import access_derivation, derived_salt, master_key_split, per_info_key

    personal_key, weight_separator, weight_text = root_key.partition("_")
    if not weight_separator or not weight_text.isascii() or not weight_text.isdigit():
        raise UserError("malformed root key: expected the personal key, '_' and the weight digits")
    personal_key, weight_param = master_key_split.parse_root_key(root_key)
    try:
        salts = derived_salt.extract_derived_salts(personal_key, weight_param)
    except derived_salt.DerivedSaltError as error:
        raise UserError(f"malformed root key: {error}") from None

    item_errors = (ValueError, access_derivation.CredentialGenerationError, per_info_key.PerInfoKeyError)
    try:
        return walk_item(personal_key, weight_param, salts, info_type, agent_name, content)
    except item_errors as error:
        raise UserError(f"the sample item cannot go through the layer: {error}") from None


def walk_item(personal_key: str, weight_param: int, salts: dict[str, int], info_type: str, agent_name: str,
              content: str) -> dict[str, Any]:
    from . import access_derivation, entry_digest, per_info_key, vault_entry
    from . import device_signature, sha256_hash

    _cpu_serial, disk_id, _board = device_signature.get_hardware_info()
    environment_cipher = sha256_hash(disk_id)
    account, password = access_derivation.generate_derived_credentials(
        info_type, agent_name, environment_cipher, weight_param, salts
    )
    query_account, query_password = access_derivation.generate_query_credentials(
        info_type, agent_name, disk_id, weight_param, salts
    )
    digest = entry_digest.generate_entry_digest(
        info_type, agent_name, environment_cipher=environment_cipher, weight_param=weight_param, salts=salts
    )
    virtual_account, virtual_password = entry_digest.extract_account_password(digest, salts)
    ciphertext, key_n = per_info_key.encrypt_info(content)
    decrypted = per_info_key.decrypt_info(ciphertext, key_n)
    record = vault_entry.VaultEntry(
        info_type=info_type,
        info_owner=agent_name,
        info_plaintext=content,
        extract_account=sha256_hash(account),
        extract_password=sha256_hash(password),
        hardware_hash=sha256_hash(device_signature.get_device_signature()),
    )
    return {
        "root_key": {"personal_key": masked(personal_key), "weight_param_digits": len(str(weight_param))},
        "salts": salts,
        "item": {"info_type": info_type, "agent_name": agent_name, "content_length": len(content)},
        "derived_credentials": {"extract_account": account, "extract_password": password},
        "query_credentials": {"extract_account": query_account, "extract_password": query_password},
        "entry_digest": {"digest": digest, "virtual_account": virtual_account, "virtual_password": virtual_password},
        "first_layer": {"ciphertext": ciphertext, "key_n": key_n, "decrypts_back": decrypted == content},
        "vault_entry": {"record": str(record), "valid": record.validate()},
    }


def print_human(report: dict[str, Any], out: TextIO) -> None:
    device = report["device"]
    out.write("Device\n")
    for name, status in device["factors"].items():
        flags = [flag for flag in ("failed", "unknown") if status[flag]]
        out.write(f"  {name:<12} {status['value']}{'  [' + ', '.join(flags) + ']' if flags else ''}\n")
    out.write(f"  {'sandbox mode':<12} {'yes' if device['sandbox_mode'] else 'no'}\n")
    out.write(f"  {'signature':<12} {device['device_signature']}\n")
    out.write(f"  {'sandbox sig.':<12} {device['sandbox_fallback_signature']}\n")
    road = report.get("item_road")
    if road is None:
        return
    out.write("\nOne item through the layer\n")
    out.write(f"  root key     personal key {road['root_key']['personal_key']}, "
              f"weight of {road['root_key']['weight_param_digits']} digits\n")
    out.write("  salts        " + " ".join(f"{k}={v}" for k, v in road["salts"].items()) + "\n")
    item = road["item"]
    out.write(f"  item         {item['info_type']} of {item['agent_name']}, {item['content_length']} characters\n")
    for label, key in (("derived", "derived_credentials"), ("query", "query_credentials")):
        pair = road[key]
        out.write(f"  {label:<12} account {pair['extract_account']}  password {pair['extract_password']}\n")
    digest = road["entry_digest"]
    out.write(f"  entry digest {digest['digest']}\n")
    out.write(f"  virtual      account {digest['virtual_account']}  password {digest['virtual_password']}\n")
    layer = road["first_layer"]
    out.write(f"  encrypted    {layer['ciphertext'][:60]}{'...' if len(layer['ciphertext']) > 60 else ''}\n")
    out.write(f"  key_n        {layer['key_n']}\n")
    out.write(f"  decrypted    {'matches the content' if layer['decrypts_back'] else 'DOES NOT MATCH'}\n")
    out.write(f"  record       {road['vault_entry']['record']}  valid: {road['vault_entry']['valid']}\n")


class ArgumentParser(argparse.ArgumentParser):
    """Never repeats unknown arguments: one of them may be a root key typed in by mistake."""

    def error(self, message: str) -> NoReturn:
        if message.startswith("unrecognized arguments"):
            message = "unrecognized arguments (the root key is read from standard input, never from the command line)"
        super().error(message)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = ArgumentParser(
        prog="python -m zeq.domain.crypto_layer",
        description="Show the crypto layer at work on this machine.",
    )
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument(
        "--root-key",
        action="store_true",
        help="also walk one item through the layer; the root key is read from the terminal "
        "(without echo) or from standard input",
    )
    parser.add_argument("--info-type", default="phone_number", help="information type of the sample item")
    parser.add_argument("--agent", default="agent-7", help="agent name of the sample item")
    parser.add_argument("--content", default="+86 138 0000 0000", help="content of the sample item")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None, stdin: TextIO | None = None, stdout: TextIO | None = None) -> int:
    args = parse_args(argv)
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    try:
        report: dict[str, Any] = {"device": device_report()}
        if args.root_key:
            root_key = read_root_key(stdin)
            report["item_road"] = item_road(root_key, args.info_type, args.agent, args.content)
    except UserError as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    if args.json:
        json.dump(report, stdout, ensure_ascii=False, indent=2)
        stdout.write("\n")
    else:
        print_human(report, stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
