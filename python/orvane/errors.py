"""Exceptions raised by the orvane package, and which one a result code of
the C interface becomes."""

from __future__ import annotations

from typing import Callable, Dict, Optional, Type

# Result codes of the C interface (orvane_c.h).
OK = 1
REFUSED = 0
E_BUFFER_TOO_SMALL = -1
E_INVALID_ARGUMENT = -2
E_OUT_OF_RANGE = -3
E_BAD_ARGUMENT = -4
E_IN_CALLBACK = -5
E_CLOSED = -6
E_NO_RESOURCES = -7


class OrvaneError(Exception):
    """Base class of every error this package raises. ``code`` is the C
    interface's result code behind it, when there is one (else None)."""

    code: Optional[int] = None

    def __init__(self, message: str, code: Optional[int] = None) -> None:
        super().__init__(message)
        if code is not None:
            self.code = code


class LibraryNotFoundError(OrvaneError, OSError):
    """The orvane shared library could not be found or loaded."""


class NotConnectedError(OrvaneError, ConnectionError):
    """The call needs the link to the controller, and it is down."""

    code = REFUSED


class RefusedError(OrvaneError):
    """The library refused the call: an argument failed one of its checks
    (axis, input or output number, value) while the link was up."""

    code = REFUSED


class ConversionError(OrvaneError, ValueError):
    """A field of a parameter or level text did not convert to a number.

    ``kind`` is ``"invalid_argument"`` (not a number) or ``"out_of_range"``;
    the message ends with the library's own text ("invalid stoi argument",
    "stof argument out of range", ...), which ``library_text`` holds alone.
    """

    def __init__(self, message: str, kind: str, library_text: str = "", code: Optional[int] = None) -> None:
        super().__init__(message, code)
        self.kind = kind
        self.library_text = library_text


class BadArgumentError(OrvaneError, ValueError):
    """The library found an argument null or out of range (a wait's axis
    mask, an option of a Controller)."""

    code = E_BAD_ARGUMENT


class InCallbackError(OrvaneError, RuntimeError):
    """Not allowed inside the library's own handlers: a connection or log
    callback tried to close or switch its own Controller."""

    code = E_IN_CALLBACK


class ClosedError(OrvaneError):
    """The Controller was closed: before the call, or while it waited."""

    code = E_CLOSED


class NoResourcesError(OrvaneError, MemoryError):
    """The library could get no memory or no thread."""

    code = E_NO_RESOURCES


class ReplyTimeoutError(OrvaneError, TimeoutError):
    """The controller did not answer in time."""


class MotionTimeoutError(OrvaneError, TimeoutError):
    """A move or homing that was waited for did not end in time (the axis
    may still be moving)."""


# Result code -> exception class, for the codes that always mean an error.
ERRORS: Dict[int, Type[OrvaneError]] = {
    E_BAD_ARGUMENT: BadArgumentError,
    E_IN_CALLBACK: InCallbackError,
    E_CLOSED: ClosedError,
    E_NO_RESOURCES: NoResourcesError,
}

# orvane_cmd's conversion errors: code -> kind.
CONVERSION_KINDS: Dict[int, str] = {
    E_INVALID_ARGUMENT: "invalid_argument",
    E_OUT_OF_RANGE: "out_of_range",
}


def error_for_code(code: int, call: str, strerror: Callable[[int], str]) -> OrvaneError:
    """The exception for a negative result code of a call other than the
    conversion errors (see ConversionError), with the library's text."""
    cls = ERRORS.get(code, OrvaneError)
    return cls("%s: %s" % (call, strerror(code)), code)
