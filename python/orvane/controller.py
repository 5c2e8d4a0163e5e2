"""The Controller class: the library's connection to the motion controller,
with Python values in and out and exceptions instead of return codes."""

import ctypes
import math
import operator
import time
from decimal import Decimal

from . import _library
from .errors import ConversionError, NotConnectedError, RefusedError, ReplyTimeoutError

AXES = 6
IOS = 24
PARAMETER_COUNT = 21
INT_PARAMETER_COUNT = 10

# Texts travel as bytes; Latin-1 maps every byte to one character and back.
ENCODING = "latin-1"

# Codes of the numbered entry point (orvane_c.h).
CMD_FREE_COMMAND = 0
CMD_READ_STATUS = 1
CMD_READ_PARAMETERS = 2
CMD_WRITE_PARAMETERS = 3
CMD_READ_LEVELS = 4
CMD_WRITE_LEVELS = 5
CMD_AXIS_COMMAND = 100
CMD_AXIS_REQUEST = 101
CMD_PARAMETER_6_FLAG = 102
CMD_IO_TEXT = 103
CMD_VERSION = 2001
CMD_RAW_SEND = 5000
CMD_RAW_REPLY = 5010
CMD_CLEAR_RAW_REPLY = 5011
CMD_NEW_HOST = 6000
CMD_SWITCH_HOST = 6001

_TEXT_CODES = frozenset(
    (CMD_READ_STATUS, CMD_READ_PARAMETERS, CMD_READ_LEVELS, CMD_PARAMETER_6_FLAG, CMD_IO_TEXT, CMD_VERSION, CMD_RAW_REPLY)
)

_E_BUFFER_TOO_SMALL = -1
_E_INVALID_ARGUMENT = -2
_E_OUT_OF_RANGE = -3

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1


def library_version():
    """The version of the loaded orvane shared library, such as "0.1.0"."""
    return _library.library().orvane_version().decode(ENCODING)


def _int(value, name):
    """A Python int that fits a C int (ctypes would silently wrap it)."""
    value = operator.index(value)
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError("%s %d does not fit a 32-bit int" % (name, value))
    return value


def _text(value, name):
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    elif isinstance(value, str):
        data = value.encode(ENCODING)
    else:
        raise TypeError("%s must be str or bytes, not %s" % (name, type(value).__name__))
    if b"\0" in data:
        raise ValueError("%s must not contain a NUL character" % name)
    return data


def _number_text(value, integral):
    """A parameter value as the library and the controller read it: ints in
    decimal, floats in positional notation (never an exponent)."""
    if integral:
        if isinstance(value, float):
            if not value.is_integer():
                raise ValueError("parameter value %r must be a whole number" % value)
            value = int(value)
        return str(operator.index(value))
    value = float(value)
    if not math.isfinite(value):
        raise ValueError("parameter value %r is not a finite number" % value)
    return format(Decimal(repr(value)), "f")


class Controller:
    """The connection to the controller.

    The library holds one connection per process, to the build's default
    controller address (or the one set with set_host); every Controller
    object drives that same connection. Nothing connects until connect()
    (or a ``with`` block).

    Refused calls raise: NotConnectedError while the link is down,
    RefusedError when an argument failed the library's checks.
    """

    def __init__(self, library_path=None):
        """library_path: load this shared library instead of searching."""
        self._lib = _library.library() if library_path is None else _library.open_library(library_path)

    # ---- Connection -----------------------------------------------------

    def connect(self, timeout=5.0):
        """Starts the connection and waits until the controller has reported
        its state once (its type is known). The library retries a link that
        does not come up every 3 s by itself; after timeout seconds the
        attempt is given up (closed) and NotConnectedError raised."""
        self._lib.orvane_initial()
        deadline = time.monotonic() + timeout
        while not (self._lib.orvane_is_connect() and self._lib.orvane_get_type() != 0):
            if time.monotonic() > deadline:
                state = "no status from" if self._lib.orvane_is_connect() else "cannot reach"
                self._lib.orvane_close()
                raise NotConnectedError("%s the controller within %g s" % (state, timeout))
            time.sleep(0.01)

    def close(self):
        """Stops the connection and its reconnection attempts."""
        self._lib.orvane_close()

    @property
    def is_connected(self):
        """True while the link to the controller is up."""
        return self._lib.orvane_is_connect() == 1

    def wait_connected(self, timeout=5.0):
        """Waits until the link is up and the controller has reported its
        state; raises NotConnectedError after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not (self._lib.orvane_is_connect() and self._lib.orvane_get_type() != 0):
            if time.monotonic() > deadline:
                raise NotConnectedError("the link to the controller is not up after %g s" % timeout)
            time.sleep(0.01)

    def set_host(self, host, notify_controller=False):
        """Reconnects to another controller address: host is a host number on
        the controller network (such as "254") or a whole dotted IPv4
        address. With notify_controller the controller is first sent its new
        host number. Blocks about 0.5 s (5 s when notifying); returns whether
        the link is up afterwards (it keeps retrying by itself)."""
        text = _text(str(host) if isinstance(host, int) else host, "host")
        if notify_controller:
            self._command(CMD_NEW_HOST, 0, text, "set_host(%r, notify_controller=True)" % (host,))
        else:
            self._lib.orvane_cmd(CMD_SWITCH_HOST, 0, text, None, 0, None)
        return self.is_connected

    def __enter__(self):
        self.connect()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ---- Results --------------------------------------------------------

    def _check(self, result, call, guard):
        if result == 1:
            return
        if not self._lib.orvane_is_connect():
            raise NotConnectedError("%s: not connected to the controller" % call)
        raise RefusedError("%s was refused: %s" % (call, guard) if guard else "%s was refused" % call)

    def _cmd(self, code, axis, data, call):
        """One numbered command: (result, text), text being the result text
        of the text codes (None for the others or when refused)."""
        capacity = 256
        needed = ctypes.c_size_t(0)
        while True:
            buffer = ctypes.create_string_buffer(capacity) if code in _TEXT_CODES else None
            result = self._lib.orvane_cmd(code, axis, data, buffer, capacity if buffer else 0, ctypes.byref(needed))
            if result == _E_BUFFER_TOO_SMALL:
                # The text may grow again before the retry.
                capacity = max(needed.value, capacity * 2)
                continue
            if result in (_E_INVALID_ARGUMENT, _E_OUT_OF_RANGE):
                message = self._lib.orvane_last_error().decode(ENCODING)
                kind = "invalid_argument" if result == _E_INVALID_ARGUMENT else "out_of_range"
                raise ConversionError("%s: %s" % (call, message), kind)
            if buffer is None or result != 1:
                return result, None
            return result, buffer.value.decode(ENCODING)

    def _command(self, code, axis, text, call):
        """Runs one numbered command and raises when it is refused; returns
        the result text for the text codes, None for the others."""
        result, value = self._cmd(code, _int(axis, "axis"), _text(text, "text"), call)
        if code == CMD_WRITE_PARAMETERS:
            guard = "the text must hold exactly %d fields and the axis be 0..5" % PARAMETER_COUNT
        elif code == CMD_WRITE_LEVELS:
            guard = "the text must hold exactly %d fields" % IOS
        else:
            guard = "the axis must be 0..5"
        self._check(result, call, guard)
        return value

    def command(self, code, axis=0, text=""):
        """The numbered entry point as it is: returns (result, text), where
        text is the result text of the codes that give one (else None).
        Raises only ConversionError (codes 3 and 5); the library's return
        value (1 done, 0 refused) is left to the caller."""
        code = _int(code, "code")
        return self._cmd(code, _int(axis, "axis"), _text(text, "text"), "command(%d)" % code)

    # ---- Motion ---------------------------------------------------------

    def set_speed(self, axis, speed):
        """Stores |speed| as the axis's speed for its next move or jog."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_set_speed(axis, float(speed)), "set_speed(%d, %r)" % (axis, speed),
                    "the axis must be 0..5 and the speed not 0")

    def move_to(self, axis, position):
        """Moves one axis to position at its stored speed."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_single_move_to(axis, float(position)), "move_to(%d, %r)" % (axis, position),
                    "the axis must be below the controller's axis count and the position finite")

    def move_xyz(self, x, y, z):
        """Moves axes 0, 1 and 2 together so that they arrive at once. Queued
        even while the link is down."""
        result = self._lib.orvane_xyz_move_to(float(x), float(y), float(z))
        if result != 1:
            raise RefusedError("move_xyz(%r, %r, %r) was refused: the targets must be finite" % (x, y, z))

    def home(self, axis, speed=0.0):
        """Homes the axis; a speed below 0.1 uses its homing-speed parameter."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_go_home(axis, float(speed)), "home(%d)" % axis,
                    "the axis must be below the controller's axis count")

    def jog(self, axis, positive=True):
        """Jogs the axis at its stored speed until stop()."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_jog_move(axis, 1 if positive else 0), "jog(%d)" % axis,
                    "the axis must be below the controller's axis count")

    def stop(self, axis, mode=0):
        """Stops the axis; mode goes to the controller unchanged."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_stop(axis, _int(mode, "mode")), "stop(%d, %r)" % (axis, mode),
                    "the axis must be 0..5")

    def zero(self, axis):
        """Makes the axis's present position its zero."""
        axis = _int(axis, "axis")
        self._check(self._lib.orvane_zero(axis), "zero(%d)" % axis,
                    "the axis must be below the controller's axis count")

    def wait_still(self, axis, timeout=10.0):
        """Waits until the axis stands still (its move-state bit is 1);
        raises ReplyTimeoutError after timeout seconds."""
        deadline = time.monotonic() + timeout
        while not self.is_still(axis):
            if time.monotonic() > deadline:
                raise ReplyTimeoutError("axis %d still moving after %g s" % (axis, timeout))
            time.sleep(0.01)

    # ---- Queries --------------------------------------------------------

    @property
    def controller_type(self):
        """The controller's type code (1: three axes, 2 or 3: six); 0 while
        not connected."""
        return self._lib.orvane_get_type()

    @property
    def axis_count(self):
        """3 or 6, from the controller's type."""
        return 3 if self.controller_type == 1 else AXES

    def positions(self):
        """The positions of all six axes, as a tuple of 6 floats."""
        values = (ctypes.c_double * AXES)()
        self._check(self._lib.orvane_get_pos(values), "positions()", "")
        return tuple(values)

    def position(self, axis):
        """The position of one axis."""
        axis = _int(axis, "axis")
        if not 0 <= axis < AXES:
            raise ValueError("axis must be 0..5, not %d" % axis)
        return self.positions()[axis]

    def is_still(self, axis):
        """The axis's move-state bit: True while it stands still."""
        return self._flag(self._lib.orvane_get_move_state, axis, "is_still")

    def is_homed(self, axis):
        """The axis's home-state bit."""
        return self._flag(self._lib.orvane_get_home_state, axis, "is_homed")

    def axis_rotation(self, axis):
        """Whether the axis's rotation flag (parameter 5) is set."""
        return self._flag(self._lib.orvane_get_axis_rotation, axis, "axis_rotation",
                          "the axis must be below the controller's axis count")

    def _flag(self, function, axis, name, guard="the axis must be 0..5"):
        axis = _int(axis, "axis")
        value = ctypes.c_int(0)
        self._check(function(axis, ctypes.byref(value)), "%s(%d)" % (name, axis), guard)
        return value.value != 0

    def acc_time(self, axis):
        """The axis's acceleration time."""
        axis = _int(axis, "axis")
        value = ctypes.c_double(0.0)
        self._check(self._lib.orvane_get_acc_time(axis, ctypes.byref(value)), "acc_time(%d)" % axis,
                    "the axis must be 0..5")
        return value.value

    def max_speed(self, axis):
        """The axis's maximum speed, truncated to an int."""
        axis = _int(axis, "axis")
        value = ctypes.c_int(0)
        self._check(self._lib.orvane_get_max_speed(axis, ctypes.byref(value)), "max_speed(%d)" % axis,
                    "the axis must be 0..5")
        return value.value

    def soft_limits(self, axis):
        """The axis's usable range (left, right): its soft limits moved
        inwards by the soft-limit margin. Needs no connection."""
        axis = _int(axis, "axis")
        left, right = ctypes.c_double(0.0), ctypes.c_double(0.0)
        if self._lib.orvane_get_soft_limits(axis, ctypes.byref(left), ctypes.byref(right)) != 1:
            raise RefusedError("soft_limits(%d) was refused: the axis must be 0..5" % axis)
        return left.value, right.value

    def status(self):
        """(positions, counts): the six positions and the controller's twelve
        raw counts (six pulse counts, then six encoder counts)."""
        text = self._command(CMD_READ_STATUS, 0, b"", "status()")
        fields = text.split(",")
        return tuple(float(v) for v in fields[:AXES]), tuple(int(v) for v in fields[AXES:])

    # ---- Inputs ---------------------------------------------------------

    def input(self, number):
        """The level of input 1..24."""
        number = _int(number, "input")
        value = ctypes.c_int(0)
        self._check(self._lib.orvane_get_input_bit(number, ctypes.byref(value)), "input(%d)" % number,
                    "the input must be 1..24")
        return value.value != 0

    def inputs(self):
        """All 24 input levels as a tuple of bools, input 1 first."""
        values = (ctypes.c_int * IOS)()
        self._check(self._lib.orvane_get_input_bits(values), "inputs()", "")
        return tuple(v != 0 for v in values)

    # ---- Outputs --------------------------------------------------------

    def set_output(self, output, value):
        """Sets output 1..24 to value (0..255) times its level."""
        output = _int(output, "output")
        value = _int(value, "value")
        self._check(self._lib.orvane_set_output_value(output, value), "set_output(%d, %d)" % (output, value),
                    "the output must be 1..24 and the value 0..255")

    def set_output_on(self, output, on=True):
        """Switches output 1..24 fully on (255 times its level) or off."""
        output = _int(output, "output")
        self._check(self._lib.orvane_set_output_on(output, 1 if on else 0), "set_output_on(%d)" % output,
                    "the output must be 1..24")

    def set_all_outputs(self, on):
        """Switches all 24 outputs fully on or off."""
        self._check(self._lib.orvane_set_output_all(1 if on else 0), "set_all_outputs(%r)" % (on,), "")

    def output_levels(self):
        """The 24 output levels (1..16; 0 while not yet known)."""
        text = self._command(CMD_READ_LEVELS, 0, b"", "output_levels()")
        return tuple(int(v) for v in text.split(","))

    def set_output_levels(self, levels):
        """Sets the 24 output levels (clamped to 1..16 by the library)."""
        levels = [_int(v, "level") for v in levels]
        if len(levels) != IOS:
            raise ValueError("set_output_levels needs %d levels, got %d" % (IOS, len(levels)))
        self._command(CMD_WRITE_LEVELS, 0, ",".join(str(v) for v in levels), "set_output_levels()")

    # ---- Axis parameters ------------------------------------------------

    def parameters(self, axis):
        """The axis's 21 parameters: fields 0..9 as ints, 10..20 as floats."""
        axis = _int(axis, "axis")
        text = self._command(CMD_READ_PARAMETERS, axis, b"", "parameters(%d)" % axis)
        fields = text.split(",")
        return tuple(int(v) for v in fields[:INT_PARAMETER_COUNT]) + tuple(
            float(v) for v in fields[INT_PARAMETER_COUNT:]
        )

    def set_parameters(self, axis, values):
        """Sets the axis's 21 parameters (ints for fields 0..9, numbers for
        10..20) and sends them to the controller."""
        axis = _int(axis, "axis")
        values = list(values)
        if len(values) != PARAMETER_COUNT:
            raise ValueError("set_parameters needs %d values, got %d" % (PARAMETER_COUNT, len(values)))
        text = ",".join(_number_text(v, k < INT_PARAMETER_COUNT) for k, v in enumerate(values))
        self._command(CMD_WRITE_PARAMETERS, axis, text, "set_parameters(%d)" % axis)

    # ---- Fly triggering -------------------------------------------------

    def set_fly(self, first, second, third):
        """Sends the three fly settings."""
        args = (_int(first, "first"), _int(second, "second"), _int(third, "third"))
        self._check(self._lib.orvane_set_fly(*args), "set_fly%r" % (args,), "")

    def fly_settings(self):
        """The three fly settings, as last set or reported."""
        values = [ctypes.c_int(0) for _ in range(3)]
        self._lib.orvane_get_fly(*(ctypes.byref(v) for v in values))
        return tuple(v.value for v in values)

    def start_fly(self, first, second):
        """Forgets the captured positions and starts a capture (blocks 50 ms)."""
        args = (_int(first, "first"), _int(second, "second"))
        self._check(self._lib.orvane_start_fly(*args), "start_fly%r" % (args,), "")

    def trim_fly(self, value):
        """Forgets the captured positions and sends a trim (blocks 50 ms)."""
        value = _int(value, "value")
        self._check(self._lib.orvane_trim_fly(value), "trim_fly(%d)" % value, "")

    def fly_positions(self):
        """The captured fly positions, as a tuple of floats."""
        while True:
            count = self._lib.orvane_get_fly_pos(None, 0)
            values = (ctypes.c_double * max(count, 1))()
            held = self._lib.orvane_get_fly_pos(values, count)
            if held <= count:  # else the list grew in between: again
                return tuple(values[:held])

    # ---- Texts and raw commands -----------------------------------------

    def version(self):
        """The controller's version text ("" until it has answered)."""
        return self._command(CMD_VERSION, 0, b"", "version()")

    def io_text(self):
        """The controller's I/O text."""
        return self._command(CMD_IO_TEXT, 0, b"", "io_text()")

    def send_command(self, text, axis=None):
        """Queues a free command: "2000:text!", or "200:axis,text!" with an
        axis."""
        if axis is None:
            self._command(CMD_FREE_COMMAND, 0, text, "send_command(%r)" % (text,))
        else:
            self._command(CMD_AXIS_COMMAND, axis, text, "send_command(%r, axis=%r)" % (text, axis))

    def send_raw(self, text):
        """Sends text to the controller exactly as given (add any "!" or line
        feed yourself), with polling paused for 1 s; blocks for that time."""
        self._command(CMD_RAW_SEND, 0, text, "send_raw(%r)" % (text,))

    def raw_reply(self):
        """The controller's last answer to raw text. After send_raw it reads
        "-1" until the controller's answer arrives; the answer then stays
        until the next send_raw, clear_raw_reply (which empties it: "") or a
        disconnect ("-1")."""
        return self._command(CMD_RAW_REPLY, 0, b"", "raw_reply()")

    def clear_raw_reply(self):
        """Empties the last raw answer."""
        self._command(CMD_CLEAR_RAW_REPLY, 0, b"", "clear_raw_reply()")

    def raw(self, text, timeout=3.0):
        """Sends raw text (see send_raw) and returns the controller's answer.

        Raises ReplyTimeoutError when no answer has arrived timeout seconds
        after send_raw has returned."""
        self.clear_raw_reply()
        self.send_raw(text)
        deadline = time.monotonic() + timeout
        while True:
            reply = self.raw_reply()
            if reply not in ("", "-1"):
                return reply
            if time.monotonic() > deadline:
                raise ReplyTimeoutError("no answer to raw text %r within %g s" % (text, timeout))
            time.sleep(0.01)
