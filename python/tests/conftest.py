"""Fixtures: the simulator on the library's default controller address and a
Controller connected to it.

The library's process-wide connection always starts at the default address
(127.0.0.254, port 81), so the simulator must listen there: that needs root
(port 81). Paths come from the caller:
  ORVANE_LIBRARY  the shared library (liborvane.so / orvane.dll)
  ORVANE_SIM      the orvane-sim program
Tests that need them are skipped, with the reason, when they are missing.
"""

import os
import subprocess
import threading
import time

import pytest

import orvane
from support import ADDRESS, HIGH_INPUTS, PORT, SIM_VERSION


def _skip_reason():
    if not os.environ.get("ORVANE_SIM"):
        return "ORVANE_SIM is not set (path of the orvane-sim program)"
    if not os.path.isfile(os.environ["ORVANE_SIM"]):
        return "ORVANE_SIM=%s does not exist" % os.environ["ORVANE_SIM"]
    if hasattr(os, "geteuid") and os.geteuid() != 0:
        return "the simulator must listen on %s:%d, which needs root" % (ADDRESS, PORT)
    try:
        orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        return str(error)
    return None


@pytest.fixture(scope="session")
def simulator():
    reason = _skip_reason()
    if reason:
        pytest.skip(reason)
    command = [
        os.environ["ORVANE_SIM"],
        "--bind", ADDRESS,
        "--port", str(PORT),
        "--version-text", SIM_VERSION,
    ]
    for number in HIGH_INPUTS:
        command += ["--input", "%d=1" % number]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    # Ready once it says so; the first line is either that or the error.
    first_line = []
    reader = threading.Thread(target=lambda: first_line.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout=30)
    line = first_line[0] if first_line else ""
    if "listening on" not in line:
        process.kill()
        process.wait()
        pytest.fail("orvane-sim did not start on %s:%d: %s" % (ADDRESS, PORT, line.strip() or "no output"))
    # Keep reading so a full pipe never blocks it.
    threading.Thread(target=lambda: process.stdout.read(), daemon=True).start()

    yield process

    orvane.Controller().close()
    process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@pytest.fixture
def controller(simulator):
    """A Controller connected to the simulator; each test starts connected,
    whatever the test before it left."""
    c = orvane.Controller()
    if not c.is_connected or c.controller_type == 0:
        c.connect(timeout=15)
    # Parameters and levels arrive shortly after the first status.
    deadline = time.monotonic() + 15
    while c.max_speed(0) == 0 or 0 in c.output_levels():
        assert time.monotonic() < deadline, "the simulator's parameters and levels did not arrive"
        time.sleep(0.01)
    yield c
