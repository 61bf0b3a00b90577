"""The README's examples run as written, from the repository root."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), re.S)


def test_the_readme_has_examples() -> None:
    assert len(EXAMPLES) >= 2


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example-{n}" for n in range(len(EXAMPLES))])
def test_example_runs(source: str) -> None:
    result = subprocess.run([sys.executable, "-c", source], cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
