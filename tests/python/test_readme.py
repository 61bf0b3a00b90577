"""The README's examples run as written, from a folder outside the repository (a host's
own), and its table of the frozen Chinese texts gives a meaning for every one of them."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
EXAMPLES = re.findall(r"```python\n(.*?)```", README, re.S)
CHINESE = re.compile(r"[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]")


def test_the_readme_has_examples() -> None:
    assert len(EXAMPLES) >= 2


@pytest.mark.parametrize("source", EXAMPLES, ids=[f"example-{n}" for n in range(len(EXAMPLES))])
def test_example_runs_from_any_folder(source: str, tmp_path: pathlib.Path) -> None:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # nothing of the repository on the path
    result = subprocess.run(
        [sys.executable, "-c", source], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr


def frozen_chinese_texts() -> list[str]:
    """The string literals of src/core/host_texts.hpp that hold Chinese."""
    header = (ROOT / "src" / "core" / "host_texts.hpp").read_text(encoding="utf-8")
    code = "\n".join(line.partition("//")[0] for line in header.splitlines())  # comments repeat the texts
    return [text for text in re.findall(r'"((?:[^"\\]|\\.)*)"', code) if CHINESE.search(text)]


def chinese_table() -> dict[str, str]:
    """Each Chinese piece in the first cell of a README table row -> that row's meaning
    (a composed text is a row of its pieces, "`动态盐`…`不存在`")."""
    meanings = {}
    for line in README.splitlines():
        if not line.startswith("| `"):
            continue
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        for piece in re.findall(r"`([^`]*)`", cells[0]):
            if CHINESE.search(piece):
                meanings[piece] = cells[1]
    return meanings


def test_every_frozen_chinese_text_has_its_meaning_in_the_readme() -> None:
    texts = frozen_chinese_texts()
    assert len(texts) > 30
    meanings = chinese_table()
    for text in texts:
        assert text in meanings, text
        assert meanings[text] and not CHINESE.search(meanings[text]), text
