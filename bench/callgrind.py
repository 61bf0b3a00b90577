"""Instructions per call under callgrind: ``python bench/callgrind.py [--floor] NAME...``.

For each case whose name contains NAME, the case's layer call (or, with --floor, its
floor) runs n and 2n times in a fresh interpreter under ``valgrind --tool=callgrind``;
the difference of the two instruction totals divided by n is what one call costs,
start-up and imports not. The loop and the call of the case's lambda are included:
the first line gives what they cost alone (a lambda returning None). Only the
cases file that holds the case is imported, so that the large inputs of the other
files are not built under valgrind.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

DRIVER = """
import importlib, sys
sys.path.insert(0, {here!r})
module = importlib.import_module({module!r})
if {name!r}:
    case = next(c for c in module.CASES if c.name == {name!r})
    fn = case.floor if {floor!r} else case.layer
else:
    fn = lambda: None
for _ in range(200):
    fn()
for _ in range({count}):
    fn()
"""


def cases_holding(word: str) -> list[tuple[str, str]]:
    """(module, case name) of every case whose name contains ``word``."""
    found = []
    for path in sorted(HERE.glob("cases_*.py")):
        # Names are read from the source: importing would build every input of the file.
        for name in re.findall(r'Case\(\s*"([^"]+)"', path.read_text()):
            if word in name:
                found.append((path.stem, name))
    return found


def instructions(module: str, name: str, count: int, floor: bool) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        script = DRIVER.format(here=str(HERE), module=module, name=name, count=count, floor=floor)
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", script],
            check=True,
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        for line in out.read_text().splitlines():
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals")


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="+")
    parser.add_argument("--floor", action="store_true", help="measure the case's floor instead of the layer")
    parser.add_argument("-n", type=int, default=2000, help="calls of the shorter run")
    args = parser.parse_args(argv)
    once = instructions("common", "", args.n, False)
    twice = instructions("common", "", 2 * args.n, False)
    print(f"{'(the loop and an empty lambda)':<46}        {(twice - once) / args.n:9,.0f} instructions per call")
    for word in args.names:
        for module, name in cases_holding(word):
            once = instructions(module, name, args.n, args.floor)
            twice = instructions(module, name, 2 * args.n, args.floor)
            what = "floor" if args.floor else "layer"
            print(f"{name:<46} {what}: {(twice - once) / args.n:9,.0f} instructions per call", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
