"""Controller (a handle of its own) against simulators on loopback ports: what the Python layer adds."""

from __future__ import annotations

import gc, logging, math, socket
from typing import Any, Callable, List

import pytest

import orvane
from orvane import _operations
from support import HIGH_INPUTS, LOOPBACK, SIM_VERSION, Simulator, wait_until


def unused_port() -> int:
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return int(s.getsockname()[1])


def test_round_trip(controller: orvane.Controller, simulator: Simulator) -> None:
    assert (controller.address, controller.port) == (LOOPBACK, simulator.port)
    assert controller.is_ready and controller.version() == SIM_VERSION
    assert controller.inputs() == tuple(n in HIGH_INPUTS for n in range(1, 25))
    assert orvane.library_version() == orvane.__version__
    controller.move_to(0, 16.547, speed=-40)  # waits; the magnitude counts
    assert controller.is_still(0) and controller.position(0) == 16.547  # not 16.547000885009766
    status = controller.status()
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


@pytest.mark.parametrize("call, exception, message", [
    (lambda c: c.move_to(6, 1.0, speed=10), orvane.RefusedError, r"set_speed\(6, 10.0\) was refused: .*0..5"),
    (lambda c: c.move_to(0, math.nan, speed=10), orvane.RefusedError, "finite"),
    (lambda c: c.set_output(1, 256), orvane.RefusedError, "0..255"),
    (lambda c: c.zero(6), orvane.RefusedError, "axis count"),
    (lambda c: c.soft_limits(6), orvane.RefusedError, "0..5"),
    # Checked before the library: ctypes would wrap 2**32 round to 0.
    (lambda c: c.move_to(2**32, 1.0, speed=10), ValueError, "32-bit"),
    (lambda c: c.set_speed(1.0, 10), TypeError, "integer"),
    (lambda c: c.send_command("a\0b"), ValueError, "NUL"),
    (lambda c: c.wait_at_rest(6), ValueError, "0..5"),
    (lambda c: c.wait_homed([]), ValueError, "at least one axis"),
    (lambda c: c.set_output_levels([1] * 23), ValueError, "24"),
    (lambda c: c.set_parameters(0, [0] * 20), ValueError, "21"),
])
def test_refusals_raise(controller: orvane.Controller, call: Callable[[orvane.Controller], Any], exception: type,
                        message: str) -> None:
    with pytest.raises(exception, match=message):
        call(controller)


@pytest.mark.parametrize("text, kind, code, library_text", [
    ("x" + ",0" * 20, "invalid_argument", -2, "invalid stoi argument"),
    ("99999999999" + ",0" * 20, "out_of_range", -3, "stoi argument out of range"),
])
def test_a_library_error_keeps_its_kind_and_text(controller: orvane.Controller, text: str, kind: str, code: int,
                                                 library_text: str) -> None:
    with pytest.raises(orvane.ConversionError) as error:
        controller.command(3, 4, text)
    assert isinstance(error.value, ValueError)
    assert (error.value.kind, error.value.code, error.value.library_text) == (kind, code, library_text)
    assert str(error.value) == "command(3): " + library_text
    assert controller.max_speed(4) == 100  # nothing stored


def test_result_texts_of_any_size(controller: orvane.Controller, monkeypatch: pytest.MonkeyPatch) -> None:
    whole = controller.parameters(0)
    monkeypatch.setattr(_operations, "INITIAL_TEXT_CAPACITY", 1)  # the call is repeated with the room asked for
    assert controller.parameters(0) == whole and controller.version() == SIM_VERSION


def test_disconnect_connect_and_close(controller: orvane.Controller) -> None:
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
    controller.close()
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


def test_callbacks(simulator: Simulator, caplog: pytest.LogCaptureFixture) -> None:
    events: List[bool] = []
    with orvane.Controller(simulator.address, simulator.port, timeout=15, on_connection_change=events.append):
        pass
    assert events == [True, False]

    def fail(up: bool) -> None:
        raise RuntimeError("callback broke")

    with caplog.at_level(logging.ERROR, logger="orvane"):
        with orvane.Controller(simulator.address, simulator.port, timeout=15, on_connection_change=fail):
            pass
    failures = [r for r in caplog.records if "on_connection_change(True) failed" in r.getMessage()]
    assert failures and failures[0].exc_info and "callback broke" in str(failures[0].exc_info[1])


def test_garbage_collection_closes_and_callbacks_live_as_long_as_the_handle(simulator: Simulator) -> None:
    events: List[bool] = []
    controller = orvane.Controller(simulator.address, simulator.port, timeout=0, on_connection_change=events.append)
    gc.collect()  # the ctypes callback objects are held by nothing the test sees
    assert controller.wait_ready(15) and events == [True]
    finalizer = controller._finalizer
    del controller
    gc.collect()
    assert not finalizer.alive and events == [True]  # a Controller that is gone is told nothing


def test_library_messages_go_to_logging(library_loaded: None, caplog: pytest.LogCaptureFixture,
                                        capfd: pytest.CaptureFixture[str]) -> None:
    port = unused_port()
    with caplog.at_level(logging.INFO, logger="orvane"):
        with orvane.Controller(LOOPBACK, port, timeout=0, reconnect_pause=0.02):
            assert wait_until(lambda: any(r.levelno == logging.WARNING for r in caplog.records), timeout=15)
    records = [r for r in caplog.records if r.name == "orvane"]
    assert records and all(r.getMessage().startswith("%s:%d: " % (LOOPBACK, port)) for r in records)
    assert {logging.INFO, logging.WARNING} <= {r.levelno for r in records}
    assert capfd.readouterr() == ("", "")  # nothing printed by the library, GBK or other
