"""What the tests share with their fixtures: starting simulators on free
loopback ports, and waiting for a condition."""

from __future__ import annotations

import os
import subprocess
import threading
import time
from typing import Callable, List, Optional

LOOPBACK = "127.0.0.1"
SIM_VERSION = "pytest-sim 2.5"
HIGH_INPUTS = (2, 9, 17)


def wait_until(condition: Callable[[], bool], timeout: float = 10.0) -> bool:
    """Polls condition until it is true; False after timeout seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Simulator:
    """An orvane-sim process on a loopback address; port 0 lets it pick a
    free port, which it prints."""

    def __init__(self, program: str, address: str = LOOPBACK, port: int = 0, version: str = SIM_VERSION,
                 extra: Optional[List[str]] = None) -> None:
        command = [program, "--bind", address, "--port", str(port), "--version-text", version]
        for number in HIGH_INPUTS:
            command += ["--input", "%d=1" % number]
        command += extra or []
        self.address = address
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # Ready once it says so; the first line is either that or the error.
        first_line: List[str] = []
        reader = threading.Thread(target=lambda: first_line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout=30)
        line = first_line[0] if first_line else ""
        if "listening on" not in line:
            self.stop()
            raise RuntimeError("orvane-sim did not start on %s:%d: %s" % (address, port, line.strip() or "no output"))
        self.port = int(line.split("listening on", 1)[1].split()[0].rsplit(":", 1)[1])
        # Keep reading so a full pipe never blocks it.
        threading.Thread(target=self.process.stdout.read, daemon=True).start()

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def simulator_program() -> Optional[str]:
    program = os.environ.get("ORVANE_SIM")
    return program if program and os.path.isfile(program) else None
