"""Finding and loading the orvane shared library, and the C prototypes.

Search order:
1. the path in the environment variable ORVANE_LIBRARY (when set, it is the
   only place looked at, so a wrong setting is reported, not bypassed);
2. the package's own directory (a library copied there before installing);
3. the system's library search (ctypes.util.find_library, then the loader's
   own search: LD_LIBRARY_PATH, the ldconfig cache, PATH on Windows).
"""

from __future__ import annotations

import atexit
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from . import _log
from .errors import LibraryNotFoundError

ENVIRONMENT_VARIABLE = "ORVANE_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES: Tuple[str, ...] = ("orvane.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("liborvane.dylib", "liborvane.0.dylib")
else:
    _FILE_NAMES = ("liborvane.so", "liborvane.so.0")

# Where a library shipped inside the package lies.
PACKAGE_DIRECTORY = os.path.dirname(os.path.abspath(__file__))

# The C interface uses __stdcall on 32-bit Windows only (ORVANE_CALL): the
# library and its callbacks alike.
_STDCALL = sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4
if _STDCALL:
    _Loader: Any = ctypes.WinDLL  # type: ignore[attr-defined]
    _FunctionType: Any = ctypes.WINFUNCTYPE  # type: ignore[attr-defined]
else:
    _Loader = ctypes.CDLL
    _FunctionType = ctypes.CFUNCTYPE

# void handler(void* user_data, int level, const char* message)
LogHandler = _FunctionType(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
# void handler(void* user_data, int connected)
ConnectionHandler = _FunctionType(None, ctypes.c_void_p, ctypes.c_int)


class Options(ctypes.Structure):
    """orvane_options; filled by orvane_options_init before use."""

    _fields_ = [
        ("size", ctypes.c_size_t),
        ("host", ctypes.c_char_p),
        ("port", ctypes.c_int),
        ("connect_timeout_ms", ctypes.c_int),
        ("reconnect_pause_ms", ctypes.c_int),
        ("wait_connected_ms", ctypes.c_int),
        ("log_handler", LogHandler),
        ("log_user_data", ctypes.c_void_p),
        ("connection_handler", ConnectionHandler),
        ("connection_user_data", ctypes.c_void_p),
    ]


_c_int = ctypes.c_int
_c_uint = ctypes.c_uint
_c_size = ctypes.c_size_t
_c_handle = ctypes.c_void_p
_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_double_p = ctypes.POINTER(ctypes.c_double)
_c_char_p = ctypes.c_char_p
_c_buffer = ctypes.POINTER(ctypes.c_char)

_Prototype = Tuple[Any, Tuple[Any, ...]]

# The operations that exist twice: orvane_NAME on the process-wide connection
# and orvane_ctl_NAME on a handle (the handle first). name: (result type,
# argument types), as in orvane_c.h.
_OPERATIONS: Dict[str, _Prototype] = {
    "cmd": (_c_int, (_c_int, _c_int, _c_char_p, _c_buffer, _c_size, ctypes.POINTER(_c_size))),
    "set_speed": (_c_int, (_c_int, ctypes.c_float)),
    "single_move_to": (_c_int, (_c_int, ctypes.c_double)),
    "xyz_move_to": (_c_int, (ctypes.c_double, ctypes.c_double, ctypes.c_double)),
    "go_home": (_c_int, (_c_int, ctypes.c_float)),
    "jog_move": (_c_int, (_c_int, _c_int)),
    "stop": (_c_int, (_c_int, _c_int)),
    "zero": (_c_int, (_c_int,)),
    "set_fly": (_c_int, (_c_int, _c_int, _c_int)),
    "start_fly": (_c_int, (_c_int, _c_int)),
    "trim_fly": (_c_int, (_c_int,)),
    "set_output_value": (_c_int, (_c_int, _c_int)),
    "set_output_on": (_c_int, (_c_int, _c_int)),
    "set_output_all": (_c_int, (_c_int,)),
    "get_type": (_c_int, ()),
    "get_acc_time": (_c_int, (_c_int, _c_double_p)),
    "get_axis_rotation": (_c_int, (_c_int, _c_int_p)),
    "get_fly": (_c_int, (_c_int_p, _c_int_p, _c_int_p)),
    "get_fly_pos": (_c_int, (_c_double_p, _c_size)),
    "get_home_state": (_c_int, (_c_int, _c_int_p)),
    "get_input_bit": (_c_int, (_c_int, _c_int_p)),
    "get_input_bits": (_c_int, (_c_int_p,)),
    "get_soft_limits": (_c_int, (_c_int, _c_double_p, _c_double_p)),
    "get_max_speed": (_c_int, (_c_int, _c_int_p)),
    "get_move_state": (_c_int, (_c_int, _c_int_p)),
    "get_pos": (_c_int, (_c_double_p,)),
}

# Functions with one form only.
_SINGLE: Dict[str, _Prototype] = {
    "orvane_version": (_c_char_p, ()),
    "orvane_last_error": (_c_char_p, ()),
    "orvane_strerror": (_c_char_p, (_c_int,)),
    "orvane_set_log_handler": (None, (LogHandler, ctypes.c_void_p)),
    "orvane_initial": (_c_int, ()),
    "orvane_close": (_c_int, ()),
    "orvane_is_connect": (_c_int, ()),
    "orvane_options_init": (None, (ctypes.POINTER(Options),)),
    "orvane_create": (_c_int, (ctypes.POINTER(Options), ctypes.POINTER(_c_handle))),
    "orvane_destroy": (_c_int, (_c_handle,)),
    "orvane_ctl_address": (_c_int, (_c_handle, _c_char_p, _c_size)),
    "orvane_ctl_port": (_c_int, (_c_handle,)),
    "orvane_ctl_initial": (_c_int, (_c_handle,)),
    "orvane_ctl_close": (_c_int, (_c_handle,)),
    "orvane_ctl_is_connect": (_c_int, (_c_handle,)),
    "orvane_ctl_is_ready": (_c_int, (_c_handle,)),
    "orvane_ctl_wait_connected": (_c_int, (_c_handle, _c_int)),
    "orvane_ctl_wait_ready": (_c_int, (_c_handle, _c_int)),
    "orvane_ctl_wait_at_rest": (_c_int, (_c_handle, _c_uint, _c_int)),
    "orvane_ctl_wait_homed": (_c_int, (_c_handle, _c_uint, _c_int)),
}


def _prototypes() -> Iterator[Tuple[str, _Prototype]]:
    yield from _SINGLE.items()
    for name, (result, arguments) in _OPERATIONS.items():
        yield "orvane_" + name, (result, arguments)
        yield "orvane_ctl_" + name, (result, (_c_handle,) + arguments)


def _candidates() -> Iterator[Tuple[str, str]]:
    """(path or name, where it came from) pairs, in search order."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        yield explicit, "the environment variable " + ENVIRONMENT_VARIABLE
        return
    for name in _FILE_NAMES:
        path = os.path.join(PACKAGE_DIRECTORY, name)
        if os.path.exists(path):
            yield path, "the package directory"
    found = ctypes.util.find_library("orvane")
    if found:
        yield found, "the system library search"
    for name in _FILE_NAMES:
        yield name, "the loader's search path"


def _open(path: str) -> Any:
    library = _Loader(path)
    for name, (result, arguments) in _prototypes():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFoundError(
                "%s is not an orvane library with the C interface and controller handles (no %s)" % (path, name)
            ) from None
        function.restype = result
        function.argtypes = arguments
    return library


# A path given for the library: str or any os.PathLike (pathlib.Path, ...).
PathLike = Union[str, os.PathLike]


def open_library(path: Optional[PathLike] = None) -> Any:
    """Loads the library from path, or from the search order above; raises
    LibraryNotFoundError with every place tried. The result is a ctypes
    library object with the prototypes set; its ``_name`` is the path or
    name it was loaded from."""
    if path is not None:
        candidates: Sequence[Tuple[str, str]] = [(os.fspath(path), "the path given")]
    else:
        candidates = list(_candidates())
    tried: List[str] = []
    for candidate, origin in candidates:
        try:
            return _open(candidate)
        except OSError as error:
            tried.append("%s (from %s): %s" % (candidate, origin, error))
    raise LibraryNotFoundError(
        "cannot load the orvane shared library; set %s to its path. Tried:\n  %s"
        % (ENVIRONMENT_VARIABLE, "\n  ".join(tried))
    )


_lock = threading.Lock()
_default: Optional[Any] = None


def library() -> Any:
    """The library found by the search order, loaded once per process; its
    process-wide connection logs to the "orvane" logger from then on."""
    global _default
    with _lock:
        if _default is None:
            loaded = open_library()
            route_process_log(loaded)
            _default = loaded
        return _default


# ---- The process-wide connection's messages --------------------------------

# Libraries whose process-wide log handler is ours, with the callback object
# (which must outlive its use by the library).
_routed: Dict[int, Tuple[Any, Any]] = {}
_routed_lock = threading.Lock()


def route_process_log(lib: Any) -> None:
    """Sends the messages of lib's process-wide connection to the "orvane"
    logger instead of the library's default (GBK text on standard output).
    Once per library; undone at interpreter exit."""
    with _routed_lock:
        if id(lib) in _routed:
            return
        callback = LogHandler(_log.LogRoute())
        lib.orvane_set_log_handler(callback, None)
        if not _routed:
            atexit.register(_unroute_all)
        _routed[id(lib)] = (lib, callback)


# Set when a ProcessController started lib's process-wide connection.
_started: Dict[int, Any] = {}


def note_process_start(lib: Any) -> None:
    with _routed_lock:
        _started[id(lib)] = lib


def _unroute_all() -> None:
    """At exit, before the interpreter goes: stops the process-wide
    connections that Python started (while their messages still reach
    logging) and hands the log back to the library, so that no library
    thread calls into a finished interpreter."""
    with _routed_lock:
        for lib in _started.values():
            lib.orvane_close()
        _started.clear()
        for lib, _callback in _routed.values():
            lib.orvane_set_log_handler(ctypes.cast(None, LogHandler), None)
        # The callbacks stay referenced: a message already under way may
        # still be running in one.
