"""Finding and loading the orvane shared library, and the C prototypes.

Search order:
1. the path in the environment variable ORVANE_LIBRARY (when set, it is the
   only place looked at, so a wrong setting is reported, not bypassed);
2. the package's own directory (a library copied there before installing);
3. the system's library search (ctypes.util.find_library, then the loader's
   own search: LD_LIBRARY_PATH, the ldconfig cache, PATH on Windows).
"""

import ctypes
import ctypes.util
import os
import sys
import threading

from .errors import LibraryNotFoundError

ENVIRONMENT_VARIABLE = "ORVANE_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ("orvane.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("liborvane.dylib", "liborvane.0.dylib")
else:
    _FILE_NAMES = ("liborvane.so", "liborvane.so.0")

# The C interface uses __stdcall on 32-bit Windows only (ORVANE_CALL).
if sys.platform == "win32" and ctypes.sizeof(ctypes.c_void_p) == 4:
    _Loader = ctypes.WinDLL
else:
    _Loader = ctypes.CDLL

_c_int = ctypes.c_int
_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_double_p = ctypes.POINTER(ctypes.c_double)

# name: (result type, argument types), as in orvane_c.h.
_PROTOTYPES = {
    "orvane_version": (ctypes.c_char_p, ()),
    "orvane_last_error": (ctypes.c_char_p, ()),
    "orvane_initial": (_c_int, ()),
    "orvane_close": (_c_int, ()),
    "orvane_is_connect": (_c_int, ()),
    "orvane_cmd": (
        _c_int,
        (_c_int, _c_int, ctypes.c_char_p, ctypes.POINTER(ctypes.c_char), ctypes.c_size_t,
         ctypes.POINTER(ctypes.c_size_t)),
    ),
    "orvane_set_speed": (_c_int, (_c_int, ctypes.c_float)),
    "orvane_single_move_to": (_c_int, (_c_int, ctypes.c_double)),
    "orvane_xyz_move_to": (_c_int, (ctypes.c_double, ctypes.c_double, ctypes.c_double)),
    "orvane_go_home": (_c_int, (_c_int, ctypes.c_float)),
    "orvane_jog_move": (_c_int, (_c_int, _c_int)),
    "orvane_stop": (_c_int, (_c_int, _c_int)),
    "orvane_zero": (_c_int, (_c_int,)),
    "orvane_set_fly": (_c_int, (_c_int, _c_int, _c_int)),
    "orvane_start_fly": (_c_int, (_c_int, _c_int)),
    "orvane_trim_fly": (_c_int, (_c_int,)),
    "orvane_set_output_value": (_c_int, (_c_int, _c_int)),
    "orvane_set_output_on": (_c_int, (_c_int, _c_int)),
    "orvane_set_output_all": (_c_int, (_c_int,)),
    "orvane_get_type": (_c_int, ()),
    "orvane_get_acc_time": (_c_int, (_c_int, _c_double_p)),
    "orvane_get_axis_rotation": (_c_int, (_c_int, _c_int_p)),
    "orvane_get_fly": (_c_int, (_c_int_p, _c_int_p, _c_int_p)),
    "orvane_get_fly_pos": (_c_int, (_c_double_p, ctypes.c_size_t)),
    "orvane_get_home_state": (_c_int, (_c_int, _c_int_p)),
    "orvane_get_input_bit": (_c_int, (_c_int, _c_int_p)),
    "orvane_get_input_bits": (_c_int, (_c_int_p,)),
    "orvane_get_soft_limits": (_c_int, (_c_int, _c_double_p, _c_double_p)),
    "orvane_get_max_speed": (_c_int, (_c_int, _c_int_p)),
    "orvane_get_move_state": (_c_int, (_c_int, _c_int_p)),
    "orvane_get_pos": (_c_int, (_c_double_p,)),
}


def _candidates():
    """(path or name, where it came from) pairs, in search order."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        yield explicit, "the environment variable " + ENVIRONMENT_VARIABLE
        return
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _FILE_NAMES:
        path = os.path.join(here, name)
        if os.path.exists(path):
            yield path, "the package directory"
    found = ctypes.util.find_library("orvane")
    if found:
        yield found, "the system library search"
    for name in _FILE_NAMES:
        yield name, "the loader's search path"


def _open(path):
    library = _Loader(path)
    for name, (result, arguments) in _PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFoundError(
                "%s is not an orvane library with the C interface (no %s)" % (path, name)
            ) from None
        function.restype = result
        function.argtypes = arguments
    return library


def open_library(path=None):
    """Loads the library from path, or from the search order above; raises
    LibraryNotFoundError with every place tried."""
    if path is not None:
        candidates = [(os.fspath(path), "the path given")]
    else:
        candidates = list(_candidates())
    tried = []
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
_default = None


def library():
    """The library found by the search order, loaded once per process."""
    global _default
    with _lock:
        if _default is None:
            _default = open_library()
        return _default
