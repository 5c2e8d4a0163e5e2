"""ProcessController: the library's process-wide connection, which always
goes to the build's controller port (81): the simulator must listen on
127.0.0.254:81, so these need root and the port free, else they are
skipped."""

from __future__ import annotations

import os
from typing import Callable, Iterator

import pytest

import orvane
from support import SIM_VERSION, Simulator, wait_until

ADDRESS = "127.0.0.254"
PORT = 81


@pytest.fixture
def process_controller(start_simulator: Callable[..., Simulator]) -> Iterator[orvane.ProcessController]:
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        pytest.skip("the simulator must listen on %s:%d, which needs root" % (ADDRESS, PORT))
    try:
        start_simulator(address=ADDRESS, port=PORT)
    except RuntimeError as error:
        pytest.skip(str(error))  # the port is taken
    controller = orvane.ProcessController()
    controller.set_host(ADDRESS)
    try:
        controller.connect(timeout=15)
        yield controller
    finally:
        controller.close()


def test_round_trip(process_controller: orvane.ProcessController) -> None:
    c = process_controller
    assert c.is_connected and c.controller_type == 2
    assert wait_until(lambda: c.version() == SIM_VERSION)
    assert orvane.ProcessController().is_connected  # one connection per process
    c.move_to(3, 16.547, speed=40)
    assert c.is_still(3) and c.position(3) == 16.547
    assert c.wait_at_rest([3], timeout=1)
    c.home(3)
    assert c.position(3) == 0.0
    assert c.soft_limits(0) == orvane.SoftLimits(-10000.0, 10000.0)
    with pytest.raises(orvane.ConversionError, match="invalid stoi argument") as error:
        c.command(5, 0, "A" + ",1" * 23)
    assert error.value.kind == "invalid_argument"
    c.close()
    assert not c.is_connected
    with pytest.raises(orvane.NotConnectedError):
        c.positions()
