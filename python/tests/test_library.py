"""Finding the shared library, result codes, values and log levels: what the package does around the
library's calls. Needs no simulator."""

from __future__ import annotations

import ctypes.util, logging, os, shutil, struct, subprocess, sys
from pathlib import Path
from typing import Any, Optional, Tuple, Type

import pytest

import orvane
from orvane import _library, errors
from orvane._log import LogRoute
from orvane._operations import axis_mask, number_text
from orvane._values import float32

LIBRARY = os.environ.get("ORVANE_LIBRARY", "")
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="uses liborvane.so and the loader")


def loaded() -> Any:
    try:
        return orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        pytest.skip(str(error))


def test_a_missing_library_is_reported_with_its_path(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    missing = tmp_path / "liborvane.so"
    with pytest.raises(orvane.LibraryNotFoundError, match=str(missing)):
        orvane.open_library(missing)
    # The environment variable is then the only place looked at.
    monkeypatch.setenv("ORVANE_LIBRARY", str(missing))
    with pytest.raises(orvane.LibraryNotFoundError) as error:
        orvane.open_library()
    assert "ORVANE_LIBRARY" in str(error.value) and str(missing) in str(error.value)
    assert "package directory" not in str(error.value)


@linux_only
def test_next_to_the_package_before_the_system(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    loaded()
    shutil.copy(LIBRARY, tmp_path / "liborvane.so")
    monkeypatch.delenv("ORVANE_LIBRARY")
    monkeypatch.setattr(_library, "PACKAGE_DIRECTORY", str(tmp_path))
    assert orvane.open_library()._name == str(tmp_path / "liborvane.so")


@linux_only
def test_then_the_system_loader(tmp_path: Path) -> None:
    loaded()
    if any(os.path.exists(os.path.join(orvane.PACKAGE_DIRECTORY, n)) for n in ("liborvane.so", "liborvane.so.0")):
        pytest.skip("this installation ships the library in the package directory")
    shutil.copy(LIBRARY, tmp_path / "liborvane.so")
    environment = {k: v for k, v in os.environ.items() if k != "ORVANE_LIBRARY"}
    environment["LD_LIBRARY_PATH"] = str(tmp_path)  # read at process start: a process of its own
    program = "import orvane; print(orvane.library_path()); print(orvane.library_version())"
    result = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    name, version = result.stdout.split()
    assert name.startswith("liborvane.so") and version == orvane.__version__


@linux_only
def test_another_library_is_not_taken_for_orvane() -> None:
    with pytest.raises(orvane.LibraryNotFoundError, match="not an orvane library"):
        orvane.open_library(ctypes.util.find_library("c"))


@pytest.mark.parametrize("code, exception, base", [
    (-4, orvane.BadArgumentError, ValueError),
    (-5, orvane.InCallbackError, RuntimeError),
    (-6, orvane.ClosedError, orvane.OrvaneError),
    (-7, orvane.NoResourcesError, MemoryError),
    (-99, orvane.OrvaneError, Exception),
])
def test_result_codes_become_exceptions_with_the_library_text(code: int, exception: Type[orvane.OrvaneError],
                                                              base: type) -> None:
    lib = loaded()
    text = lib.orvane_strerror(code).decode()
    error = errors.error_for_code(code, "call()", lambda c: lib.orvane_strerror(c).decode())
    assert type(error) is exception and isinstance(error, base)
    assert error.code == code and str(error) == "call(): " + text and text


@pytest.mark.parametrize("function, arguments, result", [  # null handles and null pointers
    ("orvane_ctl_get_pos", (None, None), errors.E_BAD_ARGUMENT),
    ("orvane_ctl_cmd", (None, 2001, 0, b"", None, 0, None), errors.E_BAD_ARGUMENT),
    ("orvane_destroy", (None,), errors.OK),
    ("orvane_create", (None, None), errors.E_BAD_ARGUMENT),
    ("orvane_get_pos", (None,), errors.REFUSED),
    ("orvane_cmd", (0, 0, None, None, 0, None), errors.REFUSED),
])
def test_null_arguments(function: str, arguments: Tuple[Any, ...], result: int) -> None:
    assert getattr(loaded(), function)(*arguments) == result


def single(value: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", value))[0])


@pytest.mark.parametrize("value, shown", [
    (single(16.547), 16.547), (16.547000885009766, 16.547), (single(1234.5678), 1234.5677), (single(1e-7), 1e-7),
    (single(3.4028234663852886e38), 3.4028235e38), (0.0, 0.0),
    (1e39, 1e39),  # beyond single precision: left alone
    (float("inf"), float("inf")),
], ids=repr)
def test_single_precision_values_are_shown_as_meant(value: float, shown: float) -> None:
    assert float32(value) == shown
    if abs(value) < 1e38:
        assert single(float32(value)) == single(value)
    assert float32(float("nan")) != float32(float("nan"))


def test_parameter_texts_and_axis_masks() -> None:
    assert [number_text(7, True), number_text(-3.0, True), number_text(0.2, False)] == ["7", "-3", "0.2"]
    assert number_text(1e-7, False) == "0.0000001"  # no exponent
    assert number_text(-10000, False) == "-10000.0"
    for value, whole in ((2.5, True), (float("nan"), False)):
        with pytest.raises(ValueError):
            number_text(value, whole)
    assert [axis_mask(a) for a in (0, 5, [0, 2], (0, 1, 2), range(6))] == [1, 32, 5, 7, 63]


@pytest.mark.parametrize("level, python_level, label, message, text", [
    (1, logging.INFO, None, "trying".encode(), "trying"),
    (2, logging.WARNING, "127.0.0.1:81", "\u91cd\u65b0\u8fde\u63a5\u5931\u8d25".encode(),
     "127.0.0.1:81: \u91cd\u65b0\u8fde\u63a5\u5931\u8d25"),
    (3, logging.ERROR, None, b"send failed", "send failed"),
    (9, logging.WARNING, None, b"\xd6\xd8", "\ufffd\ufffd"),  # not UTF-8: replaced, not raised
])
def test_log_levels(level: int, python_level: int, label: Optional[str], message: bytes, text: str,
                    caplog: pytest.LogCaptureFixture) -> None:
    with caplog.at_level(logging.DEBUG, logger="orvane.test"):
        LogRoute(label, logging.getLogger("orvane.test"))(None, level, message)
    [record] = caplog.records
    assert (record.levelno, record.getMessage()) == (python_level, text)
    assert LogRoute().logger.name == orvane.LOGGER_NAME == "orvane"
