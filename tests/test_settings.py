"""The one rule for settings read from the environment."""

import pytest

from velto_ai_sdk import settings


@pytest.mark.parametrize(
    "raw, expected",
    [(None, 7), ("", 7), ("   ", 7), (" 12 ", 12), ("1", 1), ("100", 100)],
)
def test_integer_in_range_or_default(monkeypatch, raw, expected):
    if raw is None:
        monkeypatch.delenv("VELTO_TEST_N", raising=False)
    else:
        monkeypatch.setenv("VELTO_TEST_N", raw)
    assert settings.integer("VELTO_TEST_N", 7, 1, 100) == expected


@pytest.mark.parametrize(
    "raw, message",
    [
        ("0", "VELTO_TEST_N must be a whole number from 1 to 100, not '0'"),
        ("101", "VELTO_TEST_N must be a whole number from 1 to 100, not '101'"),
        ("2.5", "VELTO_TEST_N must be a whole number from 1 to 100, not '2.5'"),
        ("ten", "VELTO_TEST_N must be a whole number from 1 to 100, not 'ten'"),
    ],
)
def test_integer_out_of_range_is_an_error_never_clamped(monkeypatch, raw, message):
    monkeypatch.setenv("VELTO_TEST_N", raw)
    with pytest.raises(settings.SettingError) as caught:
        settings.integer("VELTO_TEST_N", 7, 1, 100)
    assert str(caught.value) == message
    assert isinstance(caught.value, ValueError)


@pytest.mark.parametrize("raw", ["nan", "inf", "-0.5", "x"])
def test_number_refuses_what_is_not_a_finite_value_in_range(monkeypatch, raw):
    monkeypatch.setenv("VELTO_TEST_S", raw)
    with pytest.raises(settings.SettingError, match=r"^VELTO_TEST_S must be a number, 0 seconds or more, not "):
        settings.number("VELTO_TEST_S", 1.0, 0, unit=" seconds")


def test_number_accepts_fractions_and_bounds(monkeypatch):
    monkeypatch.setenv("VELTO_TEST_S", "0.25")
    assert settings.number("VELTO_TEST_S", 1.0, 0.1, 10) == 0.25
    monkeypatch.setenv("VELTO_TEST_S", "10")
    assert settings.number("VELTO_TEST_S", 1.0, 0.1, 10) == 10.0


@pytest.mark.parametrize("raw, expected", [(None, False), ("1", True), ("TRUE", True), ("on", True), ("0", False), ("no", False)])
def test_flag(monkeypatch, raw, expected):
    if raw is None:
        monkeypatch.delenv("VELTO_TEST_F", raising=False)
    else:
        monkeypatch.setenv("VELTO_TEST_F", raw)
    assert settings.flag("VELTO_TEST_F") is expected


def test_flag_refuses_a_word_it_does_not_know(monkeypatch):
    monkeypatch.setenv("VELTO_TEST_F", "maybe")
    with pytest.raises(settings.SettingError, match="VELTO_TEST_F must be 1 or 0"):
        settings.flag("VELTO_TEST_F")


def test_names_drop_spaces_and_empty_entries(monkeypatch):
    monkeypatch.setenv("VELTO_TEST_L", " A, ,B ,, C")
    assert settings.names("VELTO_TEST_L") == ["A", "B", "C"]
    monkeypatch.delenv("VELTO_TEST_L")
    assert settings.names("VELTO_TEST_L") == []


@pytest.mark.parametrize("blank", ["", "   "])
def test_a_blank_value_is_unset_for_the_command_line_and_the_account_key(monkeypatch, blank):
    from velto_ai_sdk import api, cli

    for name in ("VELTO_MEDIA_DIR", "VELTO_ENV_DIR", "VELTO_API_KEY"):
        monkeypatch.setenv(name, blank)
    options = cli.parser().parse_args(["ask", "--engine", "postgresql", "how many?"])
    assert options.media == "velto_media"
    assert cli.account_key_of(options) == "local"
    monkeypatch.delenv("VELTO_ENV_DIR")
    default = cli.default_environment()
    monkeypatch.setenv("VELTO_ENV_DIR", blank)
    assert cli.default_environment() == default
    with pytest.raises(ValueError, match="needs the account key"):
        api.flush_usage()
