"""Finding the shared library, and what the package checks before calling
it. Needs no simulator."""

import ctypes.util
import sys

import pytest

import orvane
from orvane.controller import _number_text


def test_a_missing_library_is_reported_with_its_path(tmp_path):
    missing = tmp_path / "liborvane.so"
    with pytest.raises(orvane.LibraryNotFoundError, match=str(missing)):
        orvane.open_library(missing)


def test_the_environment_variable_is_the_only_place_looked_at(tmp_path, monkeypatch):
    missing = str(tmp_path / "elsewhere.so")
    monkeypatch.setenv("ORVANE_LIBRARY", missing)
    with pytest.raises(orvane.LibraryNotFoundError) as error:
        orvane.open_library()
    message = str(error.value)
    assert "ORVANE_LIBRARY" in message and missing in message
    assert "package directory" not in message


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses the C library as a stranger")
def test_another_library_is_not_taken_for_orvane():
    libc = ctypes.util.find_library("c")
    with pytest.raises(orvane.LibraryNotFoundError, match="not an orvane library"):
        orvane.open_library(libc)


def test_parameter_texts():
    assert _number_text(7, True) == "7"
    assert _number_text(-3.0, True) == "-3"
    assert _number_text(0.2, False) == "0.2"
    assert _number_text(1e-7, False) == "0.0000001"  # no exponent
    assert _number_text(-10000, False) == "-10000.0"
    with pytest.raises(ValueError):
        _number_text(2.5, True)
    with pytest.raises(ValueError):
        _number_text(float("nan"), False)


def test_library_version():
    try:
        orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        pytest.skip(str(error))
    parts = orvane.library_version().split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)
