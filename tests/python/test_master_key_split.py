"""Root key parsing, its defaults and its debug lines."""

from __future__ import annotations

import logging
import subprocess
import sys

import pytest

from zeq.domain.crypto_layer import master_key_split
from zeq.domain.crypto_layer.master_key_split import (
    DEFAULT_WEIGHT_PARAM,
    get_personal_key,
    get_weight_param,
    parse_root_key,
)

LOGGER = "zeq.domain.crypto_layer.master_key_split"
MISSING = "root_key format missing weight parameter, using default value 1000"
NON_NUMERIC = "root_key format contains non-numeric weight parameter, using default value 1000"


@pytest.mark.parametrize(
    ("root_key", "parsed", "line"),
    [
        ("", ("", 1000), None),
        ("personalkey", ("personalkey", 1000), MISSING),
        ("_42", ("", 42), None),
        ("abc_", ("abc", 1000), NON_NUMERIC),
        ("ab_cd_5", ("ab", 1000), NON_NUMERIC),
        ("ab_0", ("ab", 0), None),
        ("ab_-7", ("ab", -7), None),
        ("ab_42 ", ("ab", 1000), NON_NUMERIC),
        ("密钥_1733817600123456", ("密钥", 1733817600123456), None),
        ("k_12345678901234567890123", ("k", 12345678901234567890123), None),
        ("\ud800_5", ("\ud800", 5), None),
    ],
)
def test_parse_root_key(caplog, root_key: str, parsed: tuple[str, int], line: str | None) -> None:
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert parse_root_key(root_key) == parsed
        parse_lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
        caplog.clear()
        assert get_personal_key(root_key) == parsed[0]
        assert get_weight_param(root_key) == parsed[1]
        getter_lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
    expected = [] if line is None else [(LOGGER, logging.DEBUG, line)]
    assert parse_lines == expected
    assert getter_lines == expected * 2  # each getter logs what parse_root_key logs


def test_module_constants() -> None:
    assert DEFAULT_WEIGHT_PARAM == 1000
    assert master_key_split.logger is logging.getLogger(LOGGER)


@pytest.mark.parametrize("call", [parse_root_key, get_personal_key, get_weight_param])
@pytest.mark.parametrize("value", [None, b"a_1", 5, type("S", (str,), {})("a_1")])
def test_root_key_must_be_text(call, value) -> None:
    with pytest.raises(TypeError):
        call(value)


def test_records_name_the_layer_s_operation_module_and_file(caplog) -> None:
    def host_function() -> str:
        return get_personal_key("personalkey")

    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        assert host_function() == "personalkey"
    (record,) = caplog.records
    assert (record.name, record.funcName, record.module, record.pathname, record.lineno) == (
        LOGGER,
        "parse_root_key",
        "master_key_split",
        master_key_split.__file__,
        0,
    )


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), RecursionError("deep")])
def test_what_escapes_a_logging_handler_leaves_the_operation(raising_handler, capfd, exception) -> None:
    raising_handler(LOGGER, exception)
    with pytest.raises(type(exception)) as caught:
        parse_root_key("abc_")
    assert caught.value is exception
    assert "Exception ignored" not in capfd.readouterr().err


# ---------------------------------------------------------------- the logger's isEnabledFor
# While the logger's isEnabledFor is logging's own, the layer reads its answer
# where that method reads it; any replacement of it is called instead.


@pytest.fixture
def split_logger():
    """The module's logger with its level, disabled flag and cache restored after the test."""
    logger = logging.getLogger(LOGGER)
    level, disabled = logger.level, logger.disabled
    yield logger
    logger.__dict__.pop("isEnabledFor", None)
    logger.disabled = disabled
    logger.setLevel(level)
    logging.disable(logging.NOTSET)


class Lines(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.lines: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(record.getMessage())


@pytest.fixture
def lines(split_logger):
    handler = Lines()
    split_logger.addHandler(handler)
    yield handler.lines
    split_logger.removeHandler(handler)


def logs(lines: list[str]) -> bool:
    """Whether one parse of a key without weight writes its debug line."""
    before = len(lines)
    assert parse_root_key("personalkey") == ("personalkey", 1000)
    return len(lines) > before


def test_the_standard_method_is_answered_from_the_logger_s_state(split_logger, lines) -> None:
    called: list[str] = []

    def profile(frame, event, arg) -> None:
        if event == "call":
            called.append(frame.f_code.co_name)

    logs(lines)  # the level cache now holds the answer
    sys.setprofile(profile)
    try:
        assert not logs(lines)
    finally:
        sys.setprofile(None)
    assert "isEnabledFor" not in called


def test_level_changes_after_the_first_call_are_obeyed(split_logger, lines) -> None:
    assert not logs(lines)
    split_logger.setLevel(logging.DEBUG)  # empties the cache
    assert logs(lines)
    assert logs(lines)
    split_logger.setLevel(logging.INFO)
    assert not logs(lines)
    split_logger.setLevel(logging.NOTSET)
    logging.getLogger().setLevel(logging.DEBUG)  # the effective level, through the root
    try:
        assert logs(lines)
    finally:
        logging.getLogger().setLevel(logging.WARNING)
    assert not logs(lines)


def test_logging_disable_and_the_disabled_flag_are_obeyed(split_logger, lines) -> None:
    split_logger.setLevel(logging.DEBUG)
    assert logs(lines)
    logging.disable(logging.DEBUG)
    assert not logs(lines)
    logging.disable(logging.NOTSET)
    assert logs(lines)
    split_logger.disabled = True
    assert not logs(lines)
    split_logger.disabled = False
    assert logs(lines)


def test_the_level_cache_answers_as_the_standard_method_would(split_logger, lines) -> None:
    # The standard method trusts its cache over the level; so does the layer.
    logs(lines)
    split_logger._cache[logging.DEBUG] = True
    assert logs(lines)
    split_logger._cache[logging.DEBUG] = 0  # not a bool: the method is asked, and answers it
    assert not logs(lines)
    split_logger._cache[logging.DEBUG] = [1]
    assert logs(lines)
    split_logger._cache.clear()
    assert not logs(lines)
    split_logger.disabled = 1  # not a bool either: the method is asked
    split_logger._cache[logging.DEBUG] = True
    assert not logs(lines)


def counting(method):
    calls: list[int] = []

    def is_enabled_for(*args):
        calls.append(args[-1])
        return method(*args)

    return is_enabled_for, calls


def test_a_method_replaced_on_the_logger_is_called(split_logger, lines) -> None:
    replacement, calls = counting(lambda level: True)
    split_logger.isEnabledFor = replacement
    assert logs(lines)
    assert calls == [logging.DEBUG]
    del split_logger.isEnabledFor
    assert not logs(lines)
    assert calls == [logging.DEBUG]


def test_a_method_replaced_on_the_class_is_called(split_logger, lines, monkeypatch) -> None:
    assert not logs(lines)  # answered from the cache: the class was found standard
    replacement, calls = counting(lambda self, level: True)
    monkeypatch.setattr(logging.Logger, "isEnabledFor", replacement)
    assert logs(lines)
    assert calls == [logging.DEBUG]
    monkeypatch.undo()
    assert not logs(lines)
    monkeypatch.setattr(logging.Logger, "isEnabledFor", replacement)  # again, once the standard one was back
    assert logs(lines)
    assert calls == [logging.DEBUG] * 2


def test_a_change_to_a_base_class_is_obeyed(split_logger, lines, monkeypatch) -> None:
    split_logger._cache[logging.DEBUG] = True
    assert logs(lines)
    # `disabled` as a property of a class the logger derives from: the standard method reads it
    monkeypatch.setattr(logging.Filterer, "disabled", property(lambda self: True), raising=False)
    split_logger._cache[logging.DEBUG] = True
    assert not logs(lines)
    monkeypatch.undo()
    assert logs(lines)


def test_a_subclass_s_method_and_attributes_are_obeyed(split_logger, lines, monkeypatch) -> None:
    replacement, calls = counting(lambda self, level: True)
    monkeypatch.setattr(split_logger, "__class__", type("Replacing", (logging.Logger,), {"isEnabledFor": replacement}))
    assert logs(lines)
    assert calls == [logging.DEBUG]

    reads: list[bool] = []

    def disabled(self) -> bool:
        reads.append(True)
        return False

    # `disabled` as a property: host code, run as often as the host's own debug() runs it
    monkeypatch.setattr(
        split_logger, "__class__", type("Property", (logging.Logger,), {"disabled": property(disabled)})
    )
    split_logger._cache[logging.DEBUG] = True
    split_logger.debug(MISSING)
    host_reads = len(reads)
    assert logs(lines)
    assert len(reads) == 2 * host_reads
    monkeypatch.setattr(split_logger, "__class__", type("Plain", (logging.Logger,), {}))
    assert logs(lines)  # a subclass that changes nothing is still answered from the cache


def test_a_logger_class_set_before_the_module_loads_is_obeyed() -> None:
    # logging.setLoggerClass: the module's logger is made of the host's class.
    code = """
import logging
calls = []
class HostLogger(logging.Logger):
    def isEnabledFor(self, level):
        calls.append(level)
        return True
logging.setLoggerClass(HostLogger)
lines = []
handler = logging.Handler()
handler.emit = lambda record: lines.append(record.getMessage())
logging.getLogger("zeq.domain.crypto_layer.master_key_split").addHandler(handler)
from zeq.domain.crypto_layer.master_key_split import logger, parse_root_key
assert type(logger) is HostLogger
parse_root_key("personalkey")
parse_root_key("personalkey")
print(calls, lines)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == f"[10, 10] [{MISSING!r}, {MISSING!r}]"
