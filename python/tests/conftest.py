"""Simulators on free loopback ports and Controllers on them; paths from ORVANE_LIBRARY and ORVANE_SIM."""

import os
from typing import Callable, Iterator, List

import pytest

import orvane
from support import Simulator


@pytest.fixture(scope="session")
def library_loaded() -> None:
    try:
        orvane.open_library()
    except orvane.LibraryNotFoundError as error:
        pytest.skip(str(error))


@pytest.fixture
def start_simulator(library_loaded: None) -> Iterator[Callable[..., Simulator]]:
    """Starts simulators (Simulator's arguments after the program), stopped after the test."""
    program = os.environ.get("ORVANE_SIM", "")
    if not os.path.isfile(program):
        pytest.skip("ORVANE_SIM is not set to the orvane-sim program (%r)" % program)
    started: List[Simulator] = []
    yield lambda **arguments: started.append(Simulator(program, **arguments)) or started[-1]  # type: ignore
    for simulator in started:
        simulator.stop()


@pytest.fixture
def simulator(start_simulator: Callable[..., Simulator]) -> Simulator:
    return start_simulator()


@pytest.fixture
def controller(simulator: Simulator) -> Iterator[orvane.Controller]:
    with orvane.Controller(simulator.address, simulator.port, timeout=15) as c:
        yield c
