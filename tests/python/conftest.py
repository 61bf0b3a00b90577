"""Shared test set-up: the host application's stand-in modules live in tests/support."""

from __future__ import annotations

import pathlib
import sys

SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "support"
if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))
