"""Shared test set-up: the host application's stand-in modules live in tests/support;
a thread that shows whether a call gives the GIL up."""

from __future__ import annotations

import pathlib
import sys
import threading
import time

import pytest

SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "support"
if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))


@pytest.fixture
def counter_thread():
    """A thread counting whenever it holds the GIL; the main thread gives the GIL up
    only where it blocks or where the layer releases it."""
    state = {"count": 0, "stop": False}

    def count():
        while not state["stop"]:
            state["count"] += 1
            time.sleep(0)  # releases the GIL between counts

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    thread = threading.Thread(target=count, daemon=True)
    thread.start()
    try:
        yield state
    finally:
        state["stop"] = True
        sys.setswitchinterval(old_interval)
        thread.join()
