"""Shared by the tests and their fixtures: orvane-sim on free loopback ports, and waiting."""

import subprocess, threading, time
from typing import Callable, List, Optional

LOOPBACK = "127.0.0.1"
SIM_VERSION = "pytest-sim 2.5"
HIGH_INPUTS = (2, 9, 17)


def wait_until(condition: Callable[[], bool], timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Simulator:
    """orvane-sim on a loopback address; port 0 lets it pick a free one, which it prints."""

    def __init__(self, program: str, address: str = LOOPBACK, port: int = 0, extra: Optional[List[str]] = None) -> None:
        command = [program, "--bind", address, "--port", str(port), "--version-text", SIM_VERSION]
        command += ["--input=%d=1" % n for n in HIGH_INPUTS] + (extra or [])
        self.address = address
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()  # "listening on ADDRESS:PORT", or the error
        if "listening on" not in line:
            self.stop()
            raise RuntimeError("orvane-sim did not start on %s:%d: %s" % (address, port, line.strip() or "no output"))
        self.port = int(line.split("listening on", 1)[1].split()[0].rsplit(":", 1)[1])
        threading.Thread(target=self.process.stdout.read, daemon=True).start()  # a full pipe would block it

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)
