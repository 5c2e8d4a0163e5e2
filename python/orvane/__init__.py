"""Python interface to the orvane motion-controller client library.

Pure Python (ctypes): it loads the orvane shared library (liborvane.so,
orvane.dll) from the path in ORVANE_LIBRARY, from this package's directory,
or from the system's library search, and calls its C interface.

    import orvane
    with orvane.Controller() as controller:
        controller.set_speed(0, 20)
        controller.move_to(0, 12.5)
        controller.wait_still(0)
        print(controller.positions())
"""

from ._library import ENVIRONMENT_VARIABLE, open_library
from .controller import AXES, IOS, PARAMETER_COUNT, Controller, library_version
from .errors import (
    ConversionError,
    LibraryNotFoundError,
    NotConnectedError,
    OrvaneError,
    RefusedError,
    ReplyTimeoutError,
)

__version__ = "0.1.0"

__all__ = [
    "AXES",
    "IOS",
    "PARAMETER_COUNT",
    "ENVIRONMENT_VARIABLE",
    "Controller",
    "ConversionError",
    "LibraryNotFoundError",
    "NotConnectedError",
    "OrvaneError",
    "RefusedError",
    "ReplyTimeoutError",
    "library_version",
    "open_library",
]
