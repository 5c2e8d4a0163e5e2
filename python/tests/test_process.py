"""ProcessController: the library's process-wide connection."""

import os, subprocess, sys

import pytest

import orvane
from support import SIM_VERSION, wait_until


def test_round_trip(start_simulator) -> None:  # type: ignore[no-untyped-def]
    # Always to the build's controller port (81) on 127.0.0.254: needs root and the port free.
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        pytest.skip("the simulator must listen on 127.0.0.254:81, which needs root")
    try:
        start_simulator(address="127.0.0.254", port=81)
    except RuntimeError as error:
        pytest.skip(str(error))  # the port is taken
    c = orvane.ProcessController()
    c.set_host("127.0.0.254")
    try:
        c.connect(timeout=15)
        assert c.is_connected and c.controller_type == 2
        assert wait_until(lambda: c.version() == SIM_VERSION)
        assert orvane.ProcessController().is_connected  # one connection per process
        c.move_to(3, 16.547, speed=40)
        assert c.is_still(3) and c.position(3) == 16.547 and c.wait_at_rest([3], timeout=1)
        c.home(3)
        assert c.position(3) == 0.0 and c.soft_limits(0) == orvane.SoftLimits(-10000.0, 10000.0)
        with pytest.raises(orvane.ConversionError, match="invalid stoi argument") as error:
            c.command(5, 0, "A" + ",1" * 23)
        assert error.value.kind == "invalid_argument"
    finally:
        c.close()
    assert not c.is_connected
    with pytest.raises(orvane.NotConnectedError):
        c.positions()


def test_the_process_wide_connection_logs_to_logging(library_loaded: None) -> None:
    # A process of its own: the process-wide connection is one per process.
    program = ("import logging, time, orvane\n"
               "logging.basicConfig(level=logging.INFO, format='%(levelname)s %(name)s %(message)s')\n"
               "orvane.ProcessController().set_host('127.0.0.253')\n"  # nothing listens there
               "time.sleep(0.3)\n")  # a window for its first attempts
    environment = {k: v for k, v in os.environ.items() if k != "ORVANE_LOG"}
    result = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""  # the library's default: GBK on standard output
    assert b"WARNING orvane " in result.stderr
