"""Shared test set-up: the host application's stand-in modules live in tests/support;
a thread that shows whether a call gives the GIL up; a host logging handler that raises."""

from __future__ import annotations

import logging
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


@pytest.fixture
def raising_handler():
    """attach(logger_name, exception): the logger, at debug level, gets a handler whose
    emit raises `exception`, as a host's own handler may."""
    attached = []

    class Raising(logging.Handler):
        def __init__(self, exception: BaseException) -> None:
            super().__init__(logging.DEBUG)
            self.exception = exception

        def emit(self, record: logging.LogRecord) -> None:
            raise self.exception

    def attach(logger_name: str, exception: BaseException) -> None:
        logger = logging.getLogger(logger_name)
        handler = Raising(exception)
        attached.append((logger, handler, logger.level))
        logger.addHandler(handler)
        logger.setLevel(logging.DEBUG)

    yield attach
    for logger, handler, level in attached:
        logger.removeHandler(handler)
        logger.setLevel(level)
