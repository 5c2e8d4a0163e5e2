"""Exceptions raised by the orvane package."""


class OrvaneError(Exception):
    """Base class of every error this package raises."""


class LibraryNotFoundError(OrvaneError, OSError):
    """The orvane shared library could not be found or loaded."""


class NotConnectedError(OrvaneError, ConnectionError):
    """The call needs the link to the controller, and it is down."""


class RefusedError(OrvaneError):
    """The library refused the call: an argument failed one of its checks
    (axis, input or output number, value) while the link was up."""


class ConversionError(OrvaneError, ValueError):
    """A field of a parameter or level text did not convert to a number.

    ``kind`` is ``"invalid_argument"`` (not a number) or ``"out_of_range"``;
    the message is the library's own ("invalid stoi argument", ...).
    """

    def __init__(self, message, kind):
        super().__init__(message)
        self.kind = kind


class ReplyTimeoutError(OrvaneError, TimeoutError):
    """The controller did not answer in time."""
