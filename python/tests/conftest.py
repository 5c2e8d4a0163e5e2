"""Fixtures: simulators on free loopback ports, and Controllers connected to
them. Nothing here needs root.

Paths come from the caller:
  ORVANE_LIBRARY  the shared library (liborvane.so / orvane.dll)
  ORVANE_SIM      the orvane-sim program
Tests that need them are skipped, with the reason, when they are missing.
"""

from __future__ import annotations

import os
from typing import Callable, Iterator, List

import pytest

import orvane
from support import Simulator, simulator_program


@pytest.fixture(scope="session")
def library_loaded() -> None:
    try:
        orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        pytest.skip(str(error))


@pytest.fixture
def start_simulator(library_loaded: None) -> Iterator[Callable[..., Simulator]]:
    """Starts simulators (Simulator(...) arguments after the program); they
    are stopped after the test."""
    program = simulator_program()
    if program is None:
        pytest.skip("ORVANE_SIM is not set to the orvane-sim program (%r)" % os.environ.get("ORVANE_SIM"))
    started: List[Simulator] = []

    def start(**arguments: object) -> Simulator:
        simulator = Simulator(program, **arguments)  # type: ignore[arg-type]
        started.append(simulator)
        return simulator

    yield start
    for simulator in started:
        simulator.stop()


@pytest.fixture
def simulator(start_simulator: Callable[..., Simulator]) -> Simulator:
    return start_simulator()


@pytest.fixture
def controller(simulator: Simulator) -> Iterator[orvane.Controller]:
    """A Controller, ready, on a simulator of its own."""
    with orvane.Controller(simulator.address, simulator.port, timeout=15) as c:
        yield c
