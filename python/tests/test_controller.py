"""The Controller against the simulator on the default controller address."""

import math

import pytest

import orvane
from support import ADDRESS, HIGH_INPUTS, SIM_VERSION, wait_until

TOLERANCE = 0.002  # one count is 0.001 units with the simulator's parameters


def at(controller, axis, target):
    return controller.is_still(axis) and abs(controller.position(axis) - target) < TOLERANCE


def test_connected_to_the_simulator(controller):
    assert controller.is_connected
    assert controller.controller_type == 2
    assert controller.axis_count == 6
    assert wait_until(lambda: controller.version() != "")
    assert controller.version() == SIM_VERSION
    assert orvane.library_version() == orvane.__version__


def test_positions_are_six_floats(controller):
    positions = controller.positions()
    assert isinstance(positions, tuple) and len(positions) == 6
    assert all(isinstance(p, float) for p in positions)
    assert controller.position(3) == positions[3]


def test_move_one_axis(controller):
    target = controller.position(0) + 2.5
    controller.set_speed(0, -40)  # the magnitude counts
    controller.move_to(0, target)
    controller.wait_still(0)
    assert controller.position(0) == pytest.approx(target, abs=TOLERANCE)


def test_move_three_axes_together(controller):
    for axis in range(3):
        controller.set_speed(axis, 50)
    controller.move_xyz(1.0, -2.0, 3.0)
    assert wait_until(lambda: at(controller, 0, 1.0) and at(controller, 1, -2.0) and at(controller, 2, 3.0))


def test_home(controller):
    controller.set_speed(1, 50)
    controller.move_to(1, 1.5)
    assert wait_until(lambda: at(controller, 1, 1.5))
    controller.home(1)
    assert wait_until(lambda: controller.is_homed(1) and at(controller, 1, 0.0))


def test_jog_stop_and_zero(controller):
    controller.set_speed(2, 30)
    start = controller.position(2)
    controller.jog(2, positive=False)
    assert wait_until(lambda: controller.position(2) < start - 0.5)
    controller.stop(2, 1)
    controller.wait_still(2)
    controller.zero(2)
    assert wait_until(lambda: at(controller, 2, 0.0))


def test_refused_calls_raise_refused_error(controller):
    with pytest.raises(orvane.RefusedError, match=r"set_speed\(0, 0\) was refused"):
        controller.set_speed(0, 0)
    with pytest.raises(orvane.RefusedError, match="axis count"):
        controller.move_to(6, 1.0)
    with pytest.raises(orvane.RefusedError):
        controller.move_to(0, math.nan)
    with pytest.raises(orvane.RefusedError):
        controller.move_xyz(0.0, math.inf, 0.0)
    with pytest.raises(orvane.RefusedError, match="1..24"):
        controller.set_output(25, 1)
    with pytest.raises(orvane.RefusedError, match="0..255"):
        controller.set_output(1, 256)
    with pytest.raises(orvane.RefusedError):
        controller.input(0)
    with pytest.raises(orvane.RefusedError):
        controller.acc_time(6)
    with pytest.raises(orvane.RefusedError):
        controller.parameters(-1)
    with pytest.raises(orvane.RefusedError):
        controller.soft_limits(6)


def test_arguments_that_do_not_fit_a_c_int(controller):
    # ctypes would wrap 2**32 round to axis 0.
    with pytest.raises(ValueError, match="32-bit"):
        controller.move_to(2**32, 1.0)
    with pytest.raises(TypeError):
        controller.set_speed(1.0, 10)
    with pytest.raises(ValueError, match="NUL"):
        controller.send_command("a\0b")


def test_axis_queries(controller):
    assert controller.acc_time(0) == pytest.approx(0.2)
    assert controller.max_speed(5) == 100
    assert controller.soft_limits(0) == (-10000.0, 10000.0)
    assert controller.axis_rotation(0) is False
    assert isinstance(controller.is_homed(5), bool)


def test_inputs(controller):
    expected = tuple(n in HIGH_INPUTS for n in range(1, 25))
    assert controller.inputs() == expected
    assert [controller.input(n) for n in range(1, 25)] == list(expected)
    assert controller.io_text().startswith("IN=" + "".join("1" if level else "0" for level in expected))


def test_status(controller):
    positions, counts = controller.status()
    assert len(positions) == 6 and len(counts) == 12
    assert all(isinstance(c, int) for c in counts)
    assert positions == pytest.approx(controller.positions(), abs=TOLERANCE)


def test_parameters_round_trip(controller):
    original = controller.parameters(4)
    assert len(original) == orvane.PARAMETER_COUNT
    assert all(isinstance(v, int) for v in original[:10])
    assert all(isinstance(v, float) for v in original[10:])
    changed = list(original)
    changed[12] = 90.25  # maximum speed
    try:
        controller.set_parameters(4, changed)
        assert controller.parameters(4)[12] == 90.25
        assert controller.max_speed(4) == 90
    finally:
        controller.set_parameters(4, original)
    assert controller.parameters(4) == original


def test_set_parameters_checks_its_values(controller):
    values = list(controller.parameters(4))
    with pytest.raises(ValueError, match="21"):
        controller.set_parameters(4, values[:20])
    values[2] = 2.5
    with pytest.raises(ValueError, match="whole number"):
        controller.set_parameters(4, values)


def test_conversion_errors(controller):
    with pytest.raises(orvane.ConversionError, match="invalid stoi argument") as error:
        controller.command(3, 4, "x" + ",0" * 20)
    assert error.value.kind == "invalid_argument"
    assert isinstance(error.value, ValueError)
    with pytest.raises(orvane.ConversionError, match="stoi argument out of range") as error:
        controller.command(3, 4, "99999999999" + ",0" * 20)
    assert error.value.kind == "out_of_range"
    with pytest.raises(orvane.ConversionError, match="invalid stoi argument"):
        controller.command(5, 0, "A" + ",1" * 23)
    # Nothing was stored.
    assert controller.max_speed(4) == 100


def test_output_levels(controller):
    original = controller.output_levels()
    assert len(original) == 24 and all(1 <= level <= 16 for level in original)
    try:
        controller.set_output_levels([0, 17, 5] + [1] * 21)
        assert controller.output_levels()[:3] == (1, 16, 5)  # clamped
    finally:
        controller.set_output_levels(original)
    with pytest.raises(ValueError, match="24"):
        controller.set_output_levels([1] * 23)


def test_outputs(controller):
    controller.set_all_outputs(True)
    controller.set_output(1, 10)
    controller.set_output_on(2, False)
    controller.set_all_outputs(False)


def test_fly_capture(controller):
    controller.set_fly(0, 4, 5)  # axis 0, four samples 5 ms apart
    assert controller.fly_settings() == (0, 4, 5)
    controller.start_fly(0, 0)  # now
    assert wait_until(lambda: len(controller.fly_positions()) == 4)
    here = controller.position(0)
    assert all(p == pytest.approx(here, abs=TOLERANCE) for p in controller.fly_positions())
    controller.trim_fly(2)
    assert wait_until(lambda: len(controller.fly_positions()) == 2)


def test_raw_text(controller):
    controller.clear_raw_reply()
    assert controller.raw_reply() == ""
    # The simulator answers text it does not understand with an echo.
    assert controller.raw("hello there\n", timeout=5) == "echo hello there"


def test_free_and_numbered_commands(controller):
    controller.send_command("abc")
    controller.send_command("xyz", axis=1)
    assert controller.command(101, 4) == (1, None)
    assert controller.command(7) == (1, None)  # unknown: does nothing
    assert controller.command(2001, 6) == (0, None)  # axis above 5: refused
    result, text = controller.command(102, 0)
    assert result == 1 and text in ("0", "1")


def test_set_host_and_connect_timeout(controller):
    # Nothing listens on .253: the switch leaves the link down.
    assert controller.set_host("253") is False
    with pytest.raises(orvane.NotConnectedError, match="not connected"):
        controller.positions()
    controller.close()
    with pytest.raises(orvane.NotConnectedError, match="within"):
        controller.connect(timeout=0.5)
    # A whole dotted address is used as it is.
    controller.set_host(ADDRESS)
    controller.wait_connected(timeout=15)
    assert controller.controller_type == 2


def test_close_and_context_manager(controller):
    controller.close()
    assert not controller.is_connected
    assert controller.controller_type == 0
    with pytest.raises(orvane.NotConnectedError) as error:
        controller.set_speed(0, 10)
    assert isinstance(error.value, ConnectionError)
    # Answers that need no connection.
    assert controller.soft_limits(0) == (-10000.0, 10000.0)
    assert len(controller.fly_settings()) == 3

    with orvane.Controller() as other:
        assert other.is_connected
        assert controller.is_connected  # one connection per process
    assert not controller.is_connected
