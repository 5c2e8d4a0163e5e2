"""Controller: one motion controller at an address and port of its own,
over a controller handle of the library (orvane_create ... orvane_destroy)."""

from __future__ import annotations

import ctypes
import logging
import math
import threading
import time
import weakref
from types import TracebackType
from typing import Any, Callable, Dict, Optional, Tuple, Type

from . import _library
from ._library import ConnectionHandler, LogHandler, Options, PathLike
from ._log import LogRoute
from ._operations import Axes, Operations, axis_mask, c_int, c_text, mask_axes
from .errors import (
    E_BUFFER_TOO_SMALL,
    E_CLOSED,
    E_IN_CALLBACK,
    ClosedError,
    InCallbackError,
    NotConnectedError,
    error_for_code,
)

# A wait is made of C waits this long at most, so that Ctrl-C (which Python
# handles between calls) gets through while a thread waits.
WAIT_SLICE_MS = 200

_INT_MAX = 2**31 - 1


def _milliseconds(seconds: Optional[float], name: str, minimum: int = 0) -> int:
    """seconds as the library's int milliseconds; None: as long as an int
    can say (about 24 days)."""
    if seconds is None:
        return _INT_MAX
    seconds = float(seconds)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError("%s must be a number of seconds >= 0, not %r" % (name, seconds))
    return max(minimum, min(_INT_MAX, int(math.ceil(seconds * 1000))))


def _release(lib: Any, handle: int, keep: Tuple[Any, ...]) -> None:
    """Destroys a handle; keep holds its callbacks until that is done.

    Runs from close(), from garbage collection and at interpreter exit. When
    the last reference went inside one of the handle's own callbacks, the
    library cannot destroy it there: another thread does."""
    if lib.orvane_destroy(handle) == E_IN_CALLBACK:
        threading.Thread(target=_release, args=(lib, handle, keep), name="orvane-destroy", daemon=True).start()


def _connection_trampoline(owner: "weakref.ReferenceType[Controller]", route: LogRoute) -> Callable[[Any, int], None]:
    """The C connection handler: calls the owner's on_connection_change.
    Holds the owner weakly, so that a callback that refers to its
    Controller does not keep it alive."""

    def handle(_user_data: Any, connected: int) -> None:
        try:
            controller = owner()
            callback = controller.on_connection_change if controller is not None else None
            if callback is not None:
                callback(connected != 0)
        except Exception:
            route.logger.exception("%s: on_connection_change(%r) failed", route.label, connected != 0)

    return handle


class Controller(Operations):
    """One motion controller, at an address and port of its own.

    Creating a Controller starts its connection: it connects in the
    background and reconnects by itself whenever the link drops. Any number
    of Controllers may run at once, each on its own controller. Close it
    with close() or a ``with`` block; one that is garbage collected or still
    open at interpreter exit is closed then.

        with orvane.Controller("192.168.0.7", 81) as c:
            c.move_to(0, 12.5, speed=20)          # returns at rest
            print(c.positions())

    The library's messages about the link go to the "orvane" logger, each
    after "address:port: ".

    Refused calls raise: NotConnectedError while the link is down,
    RefusedError when an argument failed the library's checks, ClosedError
    once the Controller is closed (also a wait under way when another
    thread closes it). Every method may be called from any thread.
    """

    on_connection_change: Optional[Callable[[bool], None]]
    """Called with True when the link comes up and False when it goes down,
    on one of the library's threads (or, for the last False, the thread that
    closes). It must return quickly, and must not close this Controller
    (that raises InCallbackError); exceptions it raises are logged."""

    def __init__(
        self,
        host: Optional[str] = None,
        port: Optional[int] = None,
        *,
        timeout: Optional[float] = 5.0,
        connect_timeout: float = 1.0,
        reconnect_pause: float = 3.0,
        on_connection_change: Optional[Callable[[bool], None]] = None,
        logger: Optional[logging.Logger] = None,
        library_path: Optional[PathLike] = None,
    ) -> None:
        """host: dotted IPv4 address or host name; port: TCP port (1..65535).
        Each defaults to the library build's controller address and port.

        timeout: seconds to wait here until the controller is ready (link up,
        parameters, levels and version arrived); NotConnectedError when it is
        not, and nothing is left running. 0 or None: return at once and let
        the link come up in the background (see wait_ready).
        connect_timeout: limit of one connection attempt; reconnect_pause:
        pause between attempts while the link is down (seconds).
        logger: where the library's messages go (default: "orvane").
        library_path: use this shared library instead of searching."""
        self._handle: Optional[int] = None
        self._state = threading.Condition()
        self._calls = 0
        self._closing = False
        self._closer: Optional[int] = None
        self._speeds: Dict[int, float] = {}
        self.on_connection_change = on_connection_change

        self._lib = _library.library() if library_path is None else _library.open_library(library_path)
        options = Options()
        self._lib.orvane_options_init(ctypes.byref(options))
        if host is not None:
            options.host = c_text(host, "host")
        if port is not None:
            port = c_int(port, "port")
            if not 1 <= port <= 65535:
                raise ValueError("port must be 1..65535, not %d" % port)
            options.port = port
        options.connect_timeout_ms = _milliseconds(connect_timeout, "connect_timeout", minimum=1)
        options.reconnect_pause_ms = _milliseconds(reconnect_pause, "reconnect_pause")

        self._log_route = LogRoute("%s:%d" % (host, options.port) if host is not None else None, logger)
        log_callback = LogHandler(self._log_route)
        connection_callback = ConnectionHandler(_connection_trampoline(weakref.ref(self), self._log_route))
        options.log_handler = log_callback
        options.connection_handler = connection_callback

        handle = ctypes.c_void_p()
        result = self._lib.orvane_create(ctypes.byref(options), ctypes.byref(handle))
        if result != 1:
            raise error_for_code(result, "Controller(%r, %r)" % (host, port), self._strerror)
        assert handle.value is not None
        self._handle = handle.value
        # The callbacks live as long as the handle, whoever ends it.
        self._finalizer = weakref.finalize(self, _release, self._lib, handle.value, (log_callback, connection_callback))
        self._log_route.label = "%s:%d" % (self.address, self.port)

        if timeout:
            if not self.wait_ready(timeout):
                where = self._log_route.label
                state = "no parameters from" if self.is_connected else "cannot reach"
                self.close()
                raise NotConnectedError("%s the controller at %s within %g s" % (state, where, timeout))

    def __repr__(self) -> str:
        if self._handle is None:
            return "<orvane.Controller closed>"
        return "<orvane.Controller %s%s>" % (self._log_route.label, " connected" if self.is_connected else "")

    # ---- The handle -----------------------------------------------------

    def _enter(self) -> int:
        with self._state:
            if self._handle is None or self._closing:
                raise ClosedError("the Controller is closed", E_CLOSED)
            self._calls += 1
            return self._handle

    def _leave(self) -> None:
        with self._state:
            self._calls -= 1
            if self._calls == 0:
                self._state.notify_all()

    def _call(self, name: str, *arguments: Any) -> int:
        handle = self._enter()
        try:
            return getattr(self._lib, "orvane_ctl_" + name)(handle, *arguments)  # type: ignore[no-any-return]
        finally:
            self._leave()

    def _is_connected(self) -> bool:
        return self._call("is_connect") == 1

    def close(self) -> None:
        """Stops the connection (sending what is queued while the link is
        up) and frees the handle; waits under way on other threads raise
        ClosedError. Afterwards every call raises ClosedError. Closing again
        does nothing. Not allowed in this Controller's own callbacks
        (InCallbackError)."""
        with self._state:
            if self._closer == threading.get_ident():
                return  # from the last connection callback, which close() runs
            while self._closing:
                self._state.wait()
            if self._handle is None:
                return
            self._closing = True
            self._closer = threading.get_ident()
            handle = self._handle
        try:
            # Wakes the waits; the calls under way end.
            result = self._lib.orvane_ctl_close(handle)
            if result == E_IN_CALLBACK:
                raise InCallbackError("close(): %s" % self._strerror(result), result)
            with self._state:
                while self._calls:
                    self._state.wait()
            self._finalizer()
            with self._state:
                self._handle = None
        finally:
            with self._state:
                self._closing = False
                self._closer = None
                self._state.notify_all()

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return self._handle is None

    def __enter__(self) -> "Controller":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        self.close()

    @property
    def address(self) -> str:
        """The controller's address (as given, or switched to by set_host)."""
        capacity = 64
        while True:
            buffer = ctypes.create_string_buffer(capacity)
            result = self._call("address", buffer, capacity)
            if result == E_BUFFER_TOO_SMALL:
                capacity *= 4
                continue
            self._check(result, "address", "")
            return buffer.value.decode("utf-8", "replace")

    @property
    def port(self) -> int:
        """The controller's TCP port."""
        return self._call("port")

    # ---- Connection -----------------------------------------------------

    @property
    def is_connected(self) -> bool:
        """True while the link to the controller is up."""
        return self._is_connected()

    @property
    def is_ready(self) -> bool:
        """True when connected and the controller's parameters, output
        levels and version have arrived since (before that they read as
        their defaults)."""
        return self._call("is_ready") == 1

    def connect(self, timeout: Optional[float] = 5.0) -> None:
        """Starts the connection again after disconnect() (one attempt here,
        then in the background) and waits until the controller is ready;
        raises NotConnectedError after timeout seconds (the link goes on
        trying). On a running Controller it only waits."""
        result = self._call("initial")
        if result < 0:
            self._check(result, "connect()", "")
        if timeout and not self.wait_ready(timeout):
            raise NotConnectedError("the controller at %s is not ready after %g s" % (self._log_route.label, timeout))

    def disconnect(self) -> None:
        """Stops the connection, sending what is queued while the link is up,
        until connect(). The Controller stays usable; waits under way raise
        ClosedError, and so do waits until connect()."""
        result = self._call("close")
        if result < 0:
            self._check(result, "disconnect()", "")

    def set_host(self, host: str, notify_controller: bool = False) -> bool:
        """Moves this Controller to another address, keeping its port: a host
        number on the build's controller network (such as "254"), a dotted
        IPv4 address or a host name. With notify_controller the controller
        is first sent its new host number. Blocks about 0.5 s (5 s when
        notifying); returns whether the link is up afterwards (it keeps
        trying by itself)."""
        self._switch_host(host, notify_controller)
        self._log_route.label = "%s:%d" % (self.address, self.port)
        return self.is_connected

    # ---- Waits ----------------------------------------------------------

    def _wait(self, name: str, arguments: Tuple[Any, ...], timeout: Optional[float], call: str) -> bool:
        limit = _milliseconds(timeout, "timeout")
        deadline = time.monotonic() + limit / 1000.0
        while True:
            remaining = max(0, int(math.ceil((deadline - time.monotonic()) * 1000)))
            result = self._call(name, *arguments, min(WAIT_SLICE_MS, remaining))
            if result == 1:
                return True
            if result == E_CLOSED:
                raise ClosedError("%s: the Controller was closed or disconnected" % call, result)
            if result < 0:
                raise error_for_code(result, call, self._strerror)
            if remaining <= WAIT_SLICE_MS:  # that call waited out the rest
                return False

    def wait_connected(self, timeout: Optional[float] = 5.0) -> bool:
        """Waits until the link is up: True, or False after timeout seconds
        (None: no limit; 0: only looks). ClosedError when the Controller is
        closed or disconnected meanwhile."""
        return self._wait("wait_connected", (), timeout, "wait_connected()")

    def wait_ready(self, timeout: Optional[float] = 5.0) -> bool:
        """Waits until the controller is ready (see is_ready); as
        wait_connected."""
        return self._wait("wait_ready", (), timeout, "wait_ready()")

    def wait_at_rest(self, axes: Axes, timeout: Optional[float] = 30.0) -> bool:
        """Waits until every axis named (one axis, or several) stands still,
        as status replies after the last move command tell; as
        wait_connected."""
        mask = axis_mask(axes)
        return self._wait("wait_at_rest", (mask,), timeout, "wait_at_rest(%r)" % (mask_axes(mask),))

    def wait_homed(self, axes: Axes, timeout: Optional[float] = 60.0) -> bool:
        """Waits until every axis named reports itself homed; as
        wait_connected."""
        mask = axis_mask(axes)
        return self._wait("wait_homed", (mask,), timeout, "wait_homed(%r)" % (mask_axes(mask),))
