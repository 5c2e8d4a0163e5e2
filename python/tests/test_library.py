"""Finding the shared library, result codes, values and log levels: what the
package does around the library's calls. Needs no simulator."""

from __future__ import annotations

import ctypes
import ctypes.util
import logging
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any, Optional, Tuple, Type

import pytest

import orvane
from orvane import _library, errors
from orvane._log import LogRoute
from orvane._operations import axis_mask, number_text
from orvane._values import float32

LIBRARY = os.environ.get("ORVANE_LIBRARY", "")


def loaded() -> Any:
    try:
        return orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        pytest.skip(str(error))


# ---- Finding the library ---------------------------------------------------


def test_a_missing_library_is_reported_with_its_path(tmp_path: Path) -> None:
    missing = tmp_path / "liborvane.so"
    with pytest.raises(orvane.LibraryNotFoundError, match=str(missing)):
        orvane.open_library(missing)


def test_the_environment_variable_is_the_only_place_looked_at(tmp_path: Path,
                                                              monkeypatch: pytest.MonkeyPatch) -> None:
    missing = str(tmp_path / "elsewhere.so")
    monkeypatch.setenv("ORVANE_LIBRARY", missing)
    with pytest.raises(orvane.LibraryNotFoundError) as error:
        orvane.open_library()
    message = str(error.value)
    assert "ORVANE_LIBRARY" in message and missing in message
    assert "package directory" not in message


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="copies liborvane.so")
def test_next_to_the_package_before_the_system(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    loaded()
    copy = tmp_path / "liborvane.so"
    shutil.copy(LIBRARY, copy)
    monkeypatch.delenv("ORVANE_LIBRARY")
    monkeypatch.setattr(_library, "PACKAGE_DIRECTORY", str(tmp_path))
    assert orvane.open_library()._name == str(copy)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses LD_LIBRARY_PATH")
def test_then_the_system_loader(tmp_path: Path) -> None:
    loaded()
    if any(os.path.exists(os.path.join(orvane.PACKAGE_DIRECTORY, n)) for n in ("liborvane.so", "liborvane.so.0")):
        pytest.skip("this installation ships the library in the package directory")
    shutil.copy(LIBRARY, tmp_path / "liborvane.so")
    environment = {k: v for k, v in os.environ.items() if k != "ORVANE_LIBRARY"}
    environment["LD_LIBRARY_PATH"] = str(tmp_path)
    # The loader reads LD_LIBRARY_PATH at process start: a process of its own.
    program = "import orvane; print(orvane.library_path()); print(orvane.library_version())"
    result = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    name, version = result.stdout.split()
    assert name.startswith("liborvane.so") and version == orvane.__version__


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses the C library as a stranger")
def test_another_library_is_not_taken_for_orvane() -> None:
    libc = ctypes.util.find_library("c")
    with pytest.raises(orvane.LibraryNotFoundError, match="not an orvane library"):
        orvane.open_library(libc)


def test_library_version() -> None:
    loaded()
    parts = orvane.library_version().split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)


# ---- Result codes ------------------------------------------------------------

ERROR_CODES = [
    # (code, exception, also a)
    (-4, orvane.BadArgumentError, ValueError),
    (-5, orvane.InCallbackError, RuntimeError),
    (-6, orvane.ClosedError, orvane.OrvaneError),
    (-7, orvane.NoResourcesError, MemoryError),
    (-99, orvane.OrvaneError, Exception),
]


@pytest.mark.parametrize("code, exception, base", ERROR_CODES)
def test_result_codes_become_exceptions_with_the_library_text(code: int, exception: Type[orvane.OrvaneError],
                                                              base: type) -> None:
    lib = loaded()
    text = lib.orvane_strerror(code).decode()
    error = errors.error_for_code(code, "call()", lambda c: lib.orvane_strerror(c).decode())
    assert type(error) is exception and isinstance(error, base)
    assert error.code == code and str(error) == "call(): " + text and text


NULL_CALLS = [
    # (function, arguments, result): null handles and null pointers
    ("orvane_ctl_get_pos", (None, None), errors.E_BAD_ARGUMENT),
    ("orvane_ctl_is_connect", (None,), errors.E_BAD_ARGUMENT),
    ("orvane_ctl_wait_ready", (None, 0), errors.E_BAD_ARGUMENT),
    ("orvane_ctl_cmd", (None, 2001, 0, b"", None, 0, None), errors.E_BAD_ARGUMENT),
    ("orvane_destroy", (None,), errors.OK),
    ("orvane_create", (None, None), errors.E_BAD_ARGUMENT),
    ("orvane_get_pos", (None,), errors.REFUSED),
    ("orvane_cmd", (2001, 0, b"", None, 16, None), errors.REFUSED),
    ("orvane_cmd", (0, 0, None, None, 0, None), errors.REFUSED),
]


@pytest.mark.parametrize("function, arguments, result", NULL_CALLS)
def test_null_arguments(function: str, arguments: Tuple[Any, ...], result: int) -> None:
    assert getattr(loaded(), function)(*arguments) == result


# ---- Values --------------------------------------------------------------------


def single(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


@pytest.mark.parametrize(
    "value, shown",
    [
        (single(16.547), 16.547),
        (16.547000885009766, 16.547),
        (single(0.2), 0.2),
        (single(-10000.0), -10000.0),
        (single(1234.5678), 1234.5677),
        (single(1e-7), 1e-7),
        (single(3.4028234663852886e38), 3.4028235e38),
        (0.0, 0.0),
        (1e39, 1e39),  # beyond single precision: left alone
        (float("inf"), float("inf")),
    ],
    ids=repr,
)
def test_single_precision_values_are_shown_as_meant(value: float, shown: float) -> None:
    assert float32(value) == shown
    if abs(value) < 1e38:
        assert single(float32(value)) == single(value)


def test_nan_stays_nan() -> None:
    assert float32(float("nan")) != float32(float("nan"))


def test_parameter_texts() -> None:
    assert number_text(7, True) == "7"
    assert number_text(-3.0, True) == "-3"
    assert number_text(0.2, False) == "0.2"
    assert number_text(1e-7, False) == "0.0000001"  # no exponent
    assert number_text(-10000, False) == "-10000.0"
    with pytest.raises(ValueError):
        number_text(2.5, True)
    with pytest.raises(ValueError):
        number_text(float("nan"), False)


@pytest.mark.parametrize("axes, mask", [(0, 1), (5, 32), ([0, 2], 5), ((0, 1, 2), 7), (range(6), 63)])
def test_axis_masks(axes: Any, mask: int) -> None:
    assert axis_mask(axes) == mask


# ---- Log levels ------------------------------------------------------------------


@pytest.mark.parametrize(
    "level, python_level, label, message, text",
    [
        (1, logging.INFO, None, "trying".encode(), "trying"),
        (2, logging.WARNING, "127.0.0.1:81", "\u91cd\u65b0\u8fde\u63a5\u5931\u8d25".encode(),
         "127.0.0.1:81: \u91cd\u65b0\u8fde\u63a5\u5931\u8d25"),
        (3, logging.ERROR, None, b"send failed", "send failed"),
        (9, logging.WARNING, None, b"\xd6\xd8", "\ufffd\ufffd"),  # not UTF-8: replaced, not raised
    ],
    ids=["info", "warning-utf8", "error", "unknown-level-not-utf8"],
)
def test_log_levels(level: int, python_level: int, label: Optional[str], message: bytes, text: str,
                    caplog: pytest.LogCaptureFixture) -> None:
    logger = logging.getLogger("orvane.test")
    with caplog.at_level(logging.DEBUG, logger="orvane.test"):
        LogRoute(label, logger)(None, level, message)
    [record] = caplog.records
    assert (record.levelno, record.getMessage()) == (python_level, text)
    assert LogRoute().logger.name == orvane.LOGGER_NAME == "orvane"


def test_the_process_wide_connection_logs_to_logging(library_loaded: None) -> None:
    # A process of its own: the process-wide connection is one per process.
    program = (
        "import logging, time, orvane\n"
        "logging.basicConfig(level=logging.INFO, format='%(levelname)s %(name)s %(message)s')\n"
        "p = orvane.ProcessController()\n"
        "p.set_host('127.0.0.253')\n"  # nothing listens there
        "time.sleep(0.3)\n"
    )
    environment = dict(os.environ)
    environment.pop("ORVANE_LOG", None)
    result = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""  # the library's default: GBK on standard output
    assert b"WARNING orvane " in result.stderr
