"""Root key parsing, its defaults and its debug lines."""

from __future__ import annotations

import logging

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
