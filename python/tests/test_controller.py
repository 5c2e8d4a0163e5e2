"""Controller (a handle of its own) against simulators on loopback ports:
what the Python layer adds on top of the library."""

from __future__ import annotations

import ctypes
import gc
import logging
import math
import socket
import threading
import time
from typing import Any, Callable, List, Optional

import pytest

import orvane
from orvane import _operations
from support import HIGH_INPUTS, LOOPBACK, SIM_VERSION, Simulator, wait_until


def unused_port() -> int:
    """A loopback port that nothing listens on (it was free a moment ago)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((LOOPBACK, 0))
        return int(s.getsockname()[1])


def test_ready_on_its_own_address_and_port(controller: orvane.Controller, simulator: Simulator) -> None:
    assert (controller.address, controller.port) == (LOOPBACK, simulator.port)
    assert controller.is_connected and controller.is_ready
    assert controller.version() == SIM_VERSION
    assert controller.inputs() == tuple(n in HIGH_INPUTS for n in range(1, 25))
    assert orvane.library_version() == orvane.__version__


def test_move_with_wait_returns_at_rest_with_the_position_as_given(controller: orvane.Controller) -> None:
    controller.move_to(0, 16.547, speed=-40)  # the magnitude counts
    assert controller.is_still(0)
    # Single precision inside the library; 16.547, not 16.547000885009766.
    assert controller.position(0) == 16.547
    status = controller.status()
    assert isinstance(status, orvane.Status)
    assert status.positions == (16.547, 0.0, 0.0, 0.0, 0.0, 0.0)
    assert status.pulse_counts[0] == 16547 and len(status.encoder_counts) == 6
    controller.move_xyz(1.5, -2.0, 0.25, speed=50)
    assert controller.positions()[:3] == (1.5, -2.0, 0.25)


def test_a_move_needs_a_speed(controller: orvane.Controller) -> None:
    with pytest.raises(ValueError, match=r"no speed set for axis 2; pass speed="):
        controller.move_to(2, 1.0)
    controller.set_speed(0, 10)
    with pytest.raises(ValueError, match=r"no speed set for axis 1, 2;"):
        controller.move_xyz(1.0, 1.0, 1.0, wait=False)
    with pytest.raises(ValueError, match="one decimal"):
        controller.set_speed(2, 0.04)  # would reach the controller as 0.0
    controller.set_speed(2, 30)
    controller.move_to(2, 1.0)  # the speed set before
    assert controller.position(2) == 1.0


REFUSALS = [
    # (call, exception, message)
    pytest.param(lambda c: c.move_to(6, 1.0, speed=10), orvane.RefusedError,
                 r"set_speed\(6, 10.0\) was refused: .*0..5", id="move-axis-6"),
    pytest.param(lambda c: c.zero(6), orvane.RefusedError, "axis count", id="zero-axis-6"),
    pytest.param(lambda c: c.move_to(0, math.nan, speed=10), orvane.RefusedError, "finite", id="move-to-nan"),
    pytest.param(lambda c: c.move_xyz(0.0, math.inf, 0.0, speed=10), orvane.RefusedError, "finite", id="xyz-to-inf"),
    pytest.param(lambda c: c.set_output(25, 1), orvane.RefusedError, "1..24", id="output-25"),
    pytest.param(lambda c: c.set_output(1, 256), orvane.RefusedError, "0..255", id="output-value-256"),
    pytest.param(lambda c: c.parameters(-1), orvane.RefusedError, "0..5", id="parameters-axis-minus-1"),
    pytest.param(lambda c: c.soft_limits(6), orvane.RefusedError, "0..5", id="soft-limits-axis-6"),
    # Checked before the library: ctypes would wrap 2**32 round to 0.
    pytest.param(lambda c: c.move_to(2**32, 1.0, speed=10), ValueError, "32-bit", id="axis-beyond-c-int"),
    pytest.param(lambda c: c.set_speed(1.0, 10), TypeError, "integer", id="axis-not-an-int"),
    pytest.param(lambda c: c.send_command("a\0b"), ValueError, "NUL", id="text-with-nul"),
    pytest.param(lambda c: c.wait_at_rest(6), ValueError, "0..5", id="wait-axis-6"),
    pytest.param(lambda c: c.wait_homed([]), ValueError, "at least one axis", id="wait-no-axis"),
    pytest.param(lambda c: c.set_output_levels([1] * 23), ValueError, "24", id="23-levels"),
    pytest.param(lambda c: c.set_parameters(0, [0] * 20), ValueError, "21", id="20-parameters"),
]


@pytest.mark.parametrize("call, exception, message", REFUSALS)
def test_refusals_raise(controller: orvane.Controller, call: Callable[[orvane.Controller], Any],
                        exception: type, message: str) -> None:
    with pytest.raises(exception, match=message):
        call(controller)


@pytest.mark.parametrize(
    "code, text, kind, library_text",
    [
        (3, "x" + ",0" * 20, "invalid_argument", "invalid stoi argument"),
        (3, "99999999999" + ",0" * 20, "out_of_range", "stoi argument out of range"),
        (3, "0," * 10 + "y" + ",0" * 10, "invalid_argument", "invalid stof argument"),
        (5, "A" + ",1" * 23, "invalid_argument", "invalid stoi argument"),
    ],
)
def test_conversion_errors_keep_kind_and_text(controller: orvane.Controller, code: int, text: str, kind: str,
                                              library_text: str) -> None:
    with pytest.raises(orvane.ConversionError) as error:
        controller.command(code, 4, text)
    assert isinstance(error.value, ValueError)
    assert (error.value.kind, error.value.library_text) == (kind, library_text)
    assert str(error.value) == "command(%d): %s" % (code, library_text)
    assert error.value.code == {"invalid_argument": -2, "out_of_range": -3}[kind]
    assert controller.max_speed(4) == 100  # nothing stored


def test_result_texts_of_any_size(controller: orvane.Controller, monkeypatch: pytest.MonkeyPatch) -> None:
    whole = controller.parameters(0)
    # The library asks for more room; the call is repeated with it.
    monkeypatch.setattr(_operations, "INITIAL_TEXT_CAPACITY", 1)
    assert controller.parameters(0) == whole
    assert controller.version() == SIM_VERSION
    # What the library says when the buffer is short.
    lib = controller._lib
    needed = ctypes.c_size_t(0)
    small = ctypes.create_string_buffer(4)
    result = lib.orvane_ctl_cmd(controller._handle, 2001, 0, b"", small, 4, ctypes.byref(needed))
    assert (result, small.value, needed.value) == (-1, b"", len(SIM_VERSION) + 1)
    assert lib.orvane_ctl_cmd(controller._handle, 2001, 0, b"", None, 0, ctypes.byref(needed)) == -1


def test_disconnect_and_connect(controller: orvane.Controller) -> None:
    controller.disconnect()
    assert not controller.is_connected
    with pytest.raises(orvane.NotConnectedError, match="not connected") as error:
        controller.set_speed(0, 10)
    assert isinstance(error.value, ConnectionError)
    with pytest.raises(orvane.ClosedError):
        controller.wait_ready(1)  # nothing running to wait for
    assert controller.soft_limits(0) == (-10000.0, 10000.0)  # needs no link
    controller.connect(timeout=15)
    assert controller.is_ready


def test_a_wait_ends_when_another_thread_closes(library_loaded: None) -> None:
    controller = orvane.Controller(LOOPBACK, unused_port(), timeout=0)
    outcome: List[BaseException] = []

    def wait() -> None:
        try:
            controller.wait_connected(timeout=60)
        except BaseException as error:  # noqa: B036 - the test looks at it
            outcome.append(error)

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.3)
    started = time.monotonic()
    controller.close()
    waiter.join(timeout=10)
    assert time.monotonic() - started < 5
    assert len(outcome) == 1 and isinstance(outcome[0], orvane.ClosedError)
    assert controller.closed
    with pytest.raises(orvane.ClosedError, match="closed"):
        controller.positions()
    controller.close()  # again: nothing


def test_controller_options_are_checked(library_loaded: None) -> None:
    for port in (0, 65536):
        with pytest.raises(ValueError, match="1..65535"):
            orvane.Controller(LOOPBACK, port, timeout=0)
    with pytest.raises(ValueError, match="reconnect_pause"):
        orvane.Controller(LOOPBACK, 1, timeout=0, reconnect_pause=-1)
    with pytest.raises(orvane.NotConnectedError, match="cannot reach"):
        orvane.Controller(LOOPBACK, unused_port(), timeout=0.3)


def test_connection_callback(simulator: Simulator) -> None:
    events: List[bool] = []
    with orvane.Controller(simulator.address, simulator.port, timeout=15, on_connection_change=events.append):
        pass
    assert events == [True, False]


def test_a_failing_callback_is_logged(simulator: Simulator, caplog: pytest.LogCaptureFixture) -> None:
    def fail(up: bool) -> None:
        raise RuntimeError("callback broke")

    with caplog.at_level(logging.ERROR, logger="orvane"):
        with orvane.Controller(simulator.address, simulator.port, timeout=15, on_connection_change=fail):
            pass
    failures = [r for r in caplog.records if "on_connection_change(True) failed" in r.getMessage()]
    assert failures and failures[0].exc_info and "callback broke" in str(failures[0].exc_info[1])


def test_a_callback_cannot_close_its_own_controller(simulator: Simulator) -> None:
    holder: List[orvane.Controller] = []
    seen: List[Optional[BaseException]] = []

    def on_change(up: bool) -> None:
        if up:
            wait_until(lambda: bool(holder), timeout=10)
            try:
                holder[0].close()
                seen.append(None)
            except orvane.OrvaneError as error:
                seen.append(error)

    controller = orvane.Controller(simulator.address, simulator.port, timeout=0, on_connection_change=on_change)
    holder.append(controller)
    try:
        assert wait_until(lambda: bool(seen), timeout=15)
        assert isinstance(seen[0], orvane.InCallbackError) and isinstance(seen[0], RuntimeError)
        assert "handlers" in str(seen[0])
        assert not controller.closed
    finally:
        controller.close()


def test_garbage_collection_closes_and_callbacks_live_as_long_as_the_handle(simulator: Simulator) -> None:
    events: List[bool] = []
    controller = orvane.Controller(simulator.address, simulator.port, timeout=0, on_connection_change=events.append)
    gc.collect()  # the ctypes callback objects are held by nothing the test sees
    assert controller.wait_ready(15) and events == [True]
    finalizer = controller._finalizer
    del controller
    gc.collect()
    assert not finalizer.alive
    assert events == [True]  # a Controller that is gone is told nothing


def test_library_messages_go_to_logging(library_loaded: None, caplog: pytest.LogCaptureFixture,
                                        capfd: pytest.CaptureFixture[str]) -> None:
    port = unused_port()
    with caplog.at_level(logging.INFO, logger="orvane"):
        with orvane.Controller(LOOPBACK, port, timeout=0, reconnect_pause=0.02):
            assert wait_until(lambda: any(r.levelno == logging.WARNING for r in caplog.records), timeout=15)
    prefix = "%s:%d: " % (LOOPBACK, port)
    records = [r for r in caplog.records if r.name == "orvane"]
    assert records and all(r.getMessage().startswith(prefix) for r in records)
    assert {logging.INFO, logging.WARNING} <= {r.levelno for r in records}
    out, err = capfd.readouterr()
    assert out == "" and err == ""  # nothing printed by the library, GBK or other
