"""ProcessController: the library's single process-wide connection, the
one the C++ exports and orvane_initial ... orvane_close drive."""

from __future__ import annotations

import time
from types import TracebackType
from typing import Any, Dict, Optional, Type, Union

from . import _library
from ._library import PathLike
from ._operations import AXES, Axes, Operations, axis_mask, mask_axes, poll
from .errors import NotConnectedError, ReplyTimeoutError

# The speeds set through the process-wide connection, per loaded library:
# every ProcessController of a library shares its connection.
_process_speeds: Dict[int, Dict[int, float]] = {}


class ProcessController(Operations):
    """The library's process-wide connection, to the build's default
    controller address (or the one set with set_host) at the build's port.

    Every ProcessController object drives that same connection, as do C and
    C++ code in the process that use the exports. Nothing connects until
    connect() (or a ``with`` block). For a controller at another port, or
    several controllers, use Controller.

    Refused calls raise: NotConnectedError while the link is down,
    RefusedError when an argument failed the library's checks.
    """

    def __init__(self, library_path: Optional[PathLike] = None) -> None:
        """library_path: load this shared library instead of searching."""
        if library_path is None:
            self._lib = _library.library()
        else:
            self._lib = _library.open_library(library_path)
            _library.route_process_log(self._lib)
        self._speeds = _process_speeds.setdefault(id(self._lib), {})

    def _call(self, name: str, *arguments: Any) -> int:
        return getattr(self._lib, "orvane_" + name)(*arguments)  # type: ignore[no-any-return]

    def _is_connected(self) -> bool:
        return self._lib.orvane_is_connect() == 1  # type: ignore[no-any-return]

    def _has_status(self) -> bool:
        return self._is_connected() and self._lib.orvane_get_type() != 0

    # ---- Connection -----------------------------------------------------

    def connect(self, timeout: float = 5.0) -> None:
        """Starts the connection and waits until the controller has reported
        its state once (its type is known). The library retries a link that
        does not come up every 3 s by itself; after timeout seconds the
        attempt is given up (closed) and NotConnectedError raised."""
        _library.note_process_start(self._lib)
        self._lib.orvane_initial()
        if not poll(self._has_status, timeout):
            state = "no status from" if self._is_connected() else "cannot reach"
            self._lib.orvane_close()
            raise NotConnectedError("%s the controller within %g s" % (state, timeout))

    def close(self) -> None:
        """Stops the connection and its reconnection attempts (for every
        ProcessController: there is one connection)."""
        self._lib.orvane_close()

    @property
    def is_connected(self) -> bool:
        """True while the link to the controller is up."""
        return self._is_connected()

    def wait_connected(self, timeout: float = 5.0) -> None:
        """Waits until the link is up and the controller has reported its
        state; raises NotConnectedError after timeout seconds."""
        if not poll(self._has_status, timeout):
            raise NotConnectedError("the link to the controller is not up after %g s" % timeout)

    def set_host(self, host: Union[str, int], notify_controller: bool = False) -> bool:
        """Reconnects to another controller address: host is a host number on
        the controller network (such as "254") or a whole dotted IPv4
        address. With notify_controller the controller is first sent its new
        host number. Blocks about 0.5 s (5 s when notifying); returns whether
        the link is up afterwards (it keeps retrying by itself)."""
        _library.note_process_start(self._lib)
        self._switch_host(host, notify_controller)
        return self.is_connected

    def __enter__(self) -> "ProcessController":
        self.connect()
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    # ---- Waits (by polling: the process-wide connection has no waits) ---

    def wait_at_rest(self, axes: Axes, timeout: Optional[float] = 30.0) -> bool:
        """Waits until every axis named (one axis, or several) stands still:
        True, or False after timeout seconds (None: no limit)."""
        named = mask_axes(axis_mask(axes))
        return poll(lambda: all(self.is_still(a) for a in named), timeout)

    def wait_homed(self, axes: Axes, timeout: Optional[float] = 60.0) -> bool:
        """Waits until every axis named reports itself homed; as
        wait_at_rest."""
        named = mask_axes(axis_mask(axes))
        return poll(lambda: all(self.is_homed(a) for a in named), timeout)

    def wait_still(self, axis: int, timeout: float = 10.0) -> None:
        """Waits until the axis stands still; raises ReplyTimeoutError after
        timeout seconds."""
        if not 0 <= axis < AXES:
            raise ValueError("axis must be 0..5, not %d" % axis)
        start = time.monotonic()
        if not self.wait_at_rest(axis, timeout):
            raise ReplyTimeoutError("axis %d still moving after %g s" % (axis, time.monotonic() - start))
