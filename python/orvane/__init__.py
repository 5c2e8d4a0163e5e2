"""Python interface to the orvane motion-controller client library.

Pure Python (ctypes): it loads the orvane shared library (liborvane.so,
orvane.dll) from the path in ORVANE_LIBRARY, from this package's directory,
or from the system's library search, and calls its C interface.

    import orvane
    with orvane.Controller("192.168.0.7", 81) as controller:
        controller.move_to(0, 12.5, speed=20)     # returns at rest
        print(controller.positions())

The library's messages go to the "orvane" logger (logging).
"""

from ._library import ENVIRONMENT_VARIABLE, PACKAGE_DIRECTORY, open_library
from ._log import LOGGER_NAME
from ._operations import AXES, INT_PARAMETER_COUNT, IOS, PARAMETER_COUNT
from ._values import FlySettings, SoftLimits, Status
from .controller import Controller
from .errors import (
    BadArgumentError,
    ClosedError,
    ConversionError,
    InCallbackError,
    LibraryNotFoundError,
    MotionTimeoutError,
    NoResourcesError,
    NotConnectedError,
    OrvaneError,
    RefusedError,
    ReplyTimeoutError,
)
from .process import ProcessController

__version__ = "0.1.0"


def library_version() -> str:
    """The version of the loaded orvane shared library, such as "0.1.0"."""
    from ._library import library

    return library().orvane_version().decode("latin-1")  # type: ignore[no-any-return]


def library_path() -> str:
    """Where the loaded orvane shared library came from: the path or name it
    was loaded by."""
    from ._library import library

    return library()._name  # type: ignore[no-any-return]


__all__ = [
    "AXES",
    "ENVIRONMENT_VARIABLE",
    "INT_PARAMETER_COUNT",
    "IOS",
    "LOGGER_NAME",
    "PACKAGE_DIRECTORY",
    "PARAMETER_COUNT",
    "BadArgumentError",
    "ClosedError",
    "Controller",
    "ConversionError",
    "FlySettings",
    "InCallbackError",
    "LibraryNotFoundError",
    "MotionTimeoutError",
    "NoResourcesError",
    "NotConnectedError",
    "OrvaneError",
    "ProcessController",
    "RefusedError",
    "ReplyTimeoutError",
    "SoftLimits",
    "Status",
    "library_path",
    "library_version",
    "open_library",
]
