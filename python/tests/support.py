"""What the tests share with their fixtures: how the simulator is set up,
and waiting for a condition."""

import time

ADDRESS = "127.0.0.254"
PORT = 81
SIM_VERSION = "pytest-sim 2.5"
HIGH_INPUTS = (2, 9, 17)


def wait_until(condition, timeout=10.0):
    """Polls condition until it is true; False after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True
