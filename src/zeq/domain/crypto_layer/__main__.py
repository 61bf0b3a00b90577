"""``python -m zeq.domain.crypto_layer``: the layer at work on this machine.

Without options it prints the device report: the three device factors with their
flags, sandbox mode, the device signature and the sandbox fallback signature.
With ``--root-key`` it also walks one item through the layer. The root key is a
secret: it is read from the terminal without echo, or from standard input when
that is not a terminal, and never taken from the command line or printed. The
salts, credentials, entry digest and per-info key of the walk are printed only
with ``--show-secrets``. Nothing the user typed is ever repeated in an error:
a mistyped option may hold a secret.
"""

from __future__ import annotations

import argparse
import getpass
import json
import sys
from collections.abc import Sequence
from typing import Any, BinaryIO, NoReturn, TextIO

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it


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


SECRETS_NOTE = (
    "note: --show-secrets prints the salts, the derived, query and virtual credentials, "
    "the entry digest and the per-info key in the clear"
)


def read_root_key(stream: TextIO) -> str:
    try:
        if stream.isatty():
            root_key = getpass.getpass("Root key (personal_key_weight): ")
        else:
            root_key = read_line(stream)
    except UnicodeError:
        raise UserError("the root key is not valid text") from None
    root_key = root_key.rstrip("\r\n")
    if not root_key:
        raise UserError("no root key given")
    return root_key


def read_line(stream: TextIO) -> str:
    """One line, decoded strictly: the stream's own error handler might let bad bytes through."""
    raw: BinaryIO | None = getattr(stream, "buffer", None)
    if raw is None:
        return stream.readline()
    return raw.readline().decode(stream.encoding or "utf-8")


def masked(secret: str) -> str:
    """A secret shown by its length only."""
    return "*" * len(secret)


def check_weight_size(weight_text: str) -> None:
    """The host converts integers of at most so many digits to and from text."""
    limit = sys.get_int_max_str_digits()
    if limit and len(weight_text.lstrip("0")) > limit:
        raise UserError(f"malformed root key: the weight has more than {limit} digits")


def item_road(root_key: str, info_type: str, agent_name: str, content: str, show_secrets: bool) -> dict[str, Any]:
    from . import access_derivation, derived_salt, master_key_split, per_info_key

    personal_key, weight_separator, weight_text = root_key.partition("_")
    if not weight_separator or not weight_text.isascii() or not weight_text.isdigit():
        raise UserError("malformed root key: expected the personal key, '_' and the weight digits")
    check_weight_size(weight_text)
    personal_key, weight_param = master_key_split.parse_root_key(root_key)
    try:
        salts = derived_salt.extract_derived_salts(personal_key, weight_param)
    except derived_salt.DerivedSaltError as error:
        raise UserError(f"malformed root key: {error}") from None

    item_errors = (ValueError, access_derivation.CredentialGenerationError, per_info_key.PerInfoKeyError)
    try:
        return walk_item(personal_key, weight_param, salts, info_type, agent_name, content, show_secrets)
    except item_errors as error:
        raise UserError(f"the sample item cannot go through the layer: {error}") from None


def walk_item(
    personal_key: str,
    weight_param: int,
    salts: dict[str, int],
    info_type: str,
    agent_name: str,
    content: str,
    show_secrets: bool,
) -> dict[str, Any]:
    from . import access_derivation, device_signature, entry_digest, per_info_key, sha256_hash, vault_entry

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
    road: dict[str, Any] = {
        "root_key": {"personal_key": masked(personal_key), "weight_param_digits": len(str(weight_param))},
        "item": {"info_type": info_type, "agent_name": agent_name, "content_length": len(content)},
        "first_layer": {"ciphertext": ciphertext, "decrypts_back": decrypted == content},
        "vault_entry": {"record": str(record), "valid": record.validate()},
        "secrets_shown": show_secrets,
    }
    if show_secrets:
        road["salts"] = salts
        road["derived_credentials"] = {"extract_account": account, "extract_password": password}
        road["query_credentials"] = {"extract_account": query_account, "extract_password": query_password}
        road["entry_digest"] = {
            "digest": digest,
            "virtual_account": virtual_account,
            "virtual_password": virtual_password,
        }
        road["first_layer"]["key_n"] = key_n
    return road


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
    out.write(
        f"  root key     personal key of {len(road['root_key']['personal_key'])} characters, "
        f"weight of {road['root_key']['weight_param_digits']} digits\n"
    )
    item = road["item"]
    out.write(f"  item         {item['info_type']} of {item['agent_name']}, {item['content_length']} characters\n")
    if road["secrets_shown"]:
        out.write("  salts        " + " ".join(f"{k}={v}" for k, v in road["salts"].items()) + "\n")
        for label, key in (("derived", "derived_credentials"), ("query", "query_credentials")):
            pair = road[key]
            out.write(f"  {label:<12} account {pair['extract_account']}  password {pair['extract_password']}\n")
        digest = road["entry_digest"]
        out.write(f"  entry digest {digest['digest']}\n")
        out.write(f"  virtual      account {digest['virtual_account']}  password {digest['virtual_password']}\n")
    else:
        out.write("  secrets      salts, credentials, entry digest and key_n not shown (--show-secrets shows them)\n")
    layer = road["first_layer"]
    out.write(f"  encrypted    {layer['ciphertext'][:60]}{'...' if len(layer['ciphertext']) > 60 else ''}\n")
    if road["secrets_shown"]:
        out.write(f"  key_n        {layer['key_n']}\n")
    out.write(f"  decrypted    {'matches the content' if layer['decrypts_back'] else 'DOES NOT MATCH'}\n")
    out.write(f"  record       {road['vault_entry']['record']}  valid: {road['vault_entry']['valid']}\n")


class ArgumentParser(argparse.ArgumentParser):
    """Reports every mistake in one line of its own words, exit status 2.

    argparse's own messages quote what was typed ("ignored explicit argument
    'VALUE'", abbreviations expanded, unknown words); one of them may be a root
    key typed in by mistake, so at most the name of one of our options is shown.
    """

    NOT_HERE = "(the root key is read from standard input, never from the command line)"

    def error(self, message: str) -> NoReturn:
        raise UsageError(self.own_words(message))

    def own_words(self, message: str) -> str:
        for action in self._actions:
            name = "/".join(action.option_strings)
            if not name or not message.startswith(f"argument {name}: "):
                continue
            reason = message[len(f"argument {name}: ") :]
            if reason.startswith("ignored explicit argument"):
                return f"{name} takes no value {self.NOT_HERE}"
            if reason.startswith("expected"):
                return f"{name} needs a value"
            if reason.startswith("invalid"):
                return f"{name} needs a value that is valid text"
            return f"{name} is used wrongly"
        return f"unrecognized arguments {self.NOT_HERE}"

    def parse_args(
        self,
        args: Sequence[str] | None = None,  # type: ignore[override]
        namespace: None = None,
    ) -> argparse.Namespace:
        # Text attached to a short option ("-hVALUE"): argparse versions differ on
        # it (newer ones show the help first), so it is refused here, alike.
        for arg in sys.argv[1:] if args is None else args:
            if arg.startswith("-") and not arg.startswith("--") and len(arg) > 2:
                self.error("argument -h/--help: ignored explicit argument" if arg.startswith("-h") else "")
        return super().parse_args(args, namespace)


class UsageError(UserError):
    """A command line that cannot be read."""


def text_option(value: str) -> str:
    """An option's text, refused when it is not valid text (bytes the system could not decode)."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise argparse.ArgumentTypeError("invalid text") from None
    return value


SAMPLE_INFO_TYPE = "phone_number"
SAMPLE_AGENT = "agent-7"
SAMPLE_CONTENT = "+86 138 0000 0000"

EPILOG = f"""\
the root key:
  personal-key_weight-digits: the personal key (at least 8 characters), '_' and
  the weight parameter's digits, e.g. correct-horse-battery_1733817600123456.
  It is read from the terminal without echo, or from standard input when that is
  not a terminal; never from the command line, and it is never printed.

exit status:
  0    the report was printed
  {EXIT_USAGE}    a mistake: an unknown, misspelt or abbreviated option (options are
       spelt out in full), a value given to a flag, a malformed root key, input
       that is not valid text; one "error: ..." line on standard error
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
"""


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = ArgumentParser(
        prog="python -m zeq.domain.crypto_layer",
        description="Show the crypto layer at work on this machine: the device report and,\n"
        "with --root-key, one sample item's road through the layer.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        # An abbreviation is a misspelling: "--root" is no option of ours.
        allow_abbrev=False,
    )
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    parser.add_argument(
        "--root-key",
        action="store_true",
        help="also walk one item through the layer; the root key is read from the terminal "
        "(without echo) or from standard input",
    )
    parser.add_argument(
        "--show-secrets",
        action="store_true",
        help="with --root-key: also print the salts, the derived, query and virtual credentials, "
        "the entry digest and the per-info key",
    )
    parser.add_argument(
        "--info-type",
        default=SAMPLE_INFO_TYPE,
        type=text_option,
        help="information type of the sample item (default: %(default)s)",
    )
    parser.add_argument(
        "--agent", default=SAMPLE_AGENT, type=text_option, help="agent name of the sample item (default: %(default)s)"
    )
    parser.add_argument(
        "--content",
        default=SAMPLE_CONTENT,
        type=text_option,
        help="content of the sample item (default: '%(default)s')",
    )
    return parser.parse_args(argv)


def main(argv: list[str] | None = None, stdin: TextIO | None = None, stdout: TextIO | None = None) -> int:
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    try:
        args = parse_args(argv)
        if args.show_secrets:
            print(
                SECRETS_NOTE if args.root_key else "note: --show-secrets shows nothing without --root-key",
                file=sys.stderr,
            )
        report: dict[str, Any] = {"device": device_report()}
        if args.root_key:
            root_key = read_root_key(stdin)
            report["item_road"] = item_road(root_key, args.info_type, args.agent, args.content, args.show_secrets)
    except UserError as error:
        print(f"error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if args.json:
        json.dump(report, stdout, ensure_ascii=False, indent=2)
        stdout.write("\n")
    else:
        print_human(report, stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
