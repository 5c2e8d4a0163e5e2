"""The operations both controller classes offer, with Python values in and
out and exceptions instead of result codes.

A subclass says how one C function is called (on a handle, or on the
process-wide connection) and how to wait for axes; everything else is
here."""

from __future__ import annotations

import ctypes
import math
import operator
import time
from decimal import Decimal
from typing import Any, Callable, Dict, Iterable, Optional, Tuple, Union

from ._values import FlySettings, SoftLimits, Status, float32, float32s
from .errors import (
    CONVERSION_KINDS,
    E_BUFFER_TOO_SMALL,
    ConversionError,
    MotionTimeoutError,
    NotConnectedError,
    RefusedError,
    ReplyTimeoutError,
    error_for_code,
)

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

TEXT_CODES = frozenset(
    (CMD_READ_STATUS, CMD_READ_PARAMETERS, CMD_READ_LEVELS, CMD_PARAMETER_6_FLAG, CMD_IO_TEXT, CMD_VERSION, CMD_RAW_REPLY)
)

# The first buffer offered for a result text; the library says when it needs
# more, and the call is repeated with that.
INITIAL_TEXT_CAPACITY = 256

# A speed goes to the controller with one decimal: below this it would be 0.0.
MINIMUM_SPEED = 0.05

_INT_MIN = -(2**31)
_INT_MAX = 2**31 - 1

Axes = Union[int, Iterable[int]]
Text = Union[str, bytes, bytearray]


def c_int(value: Any, name: str) -> int:
    """A Python int that fits a C int (ctypes would silently wrap it)."""
    value = operator.index(value)
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError("%s %d does not fit a 32-bit int" % (name, value))
    return value  # type: ignore[no-any-return]


def c_text(value: Text, name: str) -> bytes:
    if isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    elif isinstance(value, str):
        data = value.encode(ENCODING)
    else:
        raise TypeError("%s must be str or bytes, not %s" % (name, type(value).__name__))
    if b"\0" in data:
        raise ValueError("%s must not contain a NUL character" % name)
    return data


def axis_mask(axes: Axes) -> int:
    """Bit a for every axis a of axes (one axis or several), checked."""
    numbers = [axes] if isinstance(axes, int) else list(axes)
    if not numbers:
        raise ValueError("name at least one axis")
    mask = 0
    for axis in numbers:
        axis = operator.index(axis)
        if not 0 <= axis < AXES:
            raise ValueError("axis must be 0..5, not %d" % axis)
        mask |= 1 << axis
    return mask


def mask_axes(mask: int) -> Tuple[int, ...]:
    return tuple(axis for axis in range(AXES) if mask & (1 << axis))


def number_text(value: Any, integral: bool) -> str:
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


def check_speed(speed: float) -> float:
    speed = float(speed)
    if not math.isfinite(speed) or abs(speed) < MINIMUM_SPEED:
        raise ValueError(
            "speed %r is not usable: the controller gets it with one decimal, so it must be finite "
            "and at least %g in size" % (speed, MINIMUM_SPEED)
        )
    return speed


class Operations:
    """What a controller object can do. Subclasses provide _call,
    _is_connected, wait_at_rest and wait_homed, and set _lib and _speeds."""

    _lib: Any
    # The speed set on each axis through this object (the library forgets
    # nothing, but has no way to say whether a speed was ever set).
    _speeds: Dict[int, float]

    # ---- What a subclass provides -------------------------------------

    def _call(self, name: str, *arguments: Any) -> int:
        """Calls the C operation name ("set_speed", "cmd", ...) and returns
        its result."""
        raise NotImplementedError

    def _is_connected(self) -> bool:
        raise NotImplementedError

    def wait_at_rest(self, axes: Axes, timeout: Optional[float] = 30.0) -> bool:
        raise NotImplementedError

    def wait_homed(self, axes: Axes, timeout: Optional[float] = 60.0) -> bool:
        raise NotImplementedError

    # ---- Results --------------------------------------------------------

    def _strerror(self, code: int) -> str:
        return self._lib.orvane_strerror(code).decode(ENCODING)  # type: ignore[no-any-return]

    def _check(self, result: int, call: str, guard: str) -> None:
        if result == 1:
            return
        if result < 0:
            raise error_for_code(result, call, self._strerror)
        if not self._is_connected():
            raise NotConnectedError("%s: not connected to the controller" % call)
        raise RefusedError("%s was refused: %s" % (call, guard) if guard else "%s was refused" % call)

    def _cmd(self, code: int, axis: int, data: bytes, call: str) -> Tuple[int, Optional[str]]:
        """One numbered command: (result, text), text being the result text
        of the text codes (None for the others or when refused)."""
        capacity = INITIAL_TEXT_CAPACITY
        needed = ctypes.c_size_t(0)
        while True:
            buffer = ctypes.create_string_buffer(capacity) if code in TEXT_CODES else None
            result = self._call("cmd", code, axis, data, buffer, capacity if buffer is not None else 0,
                                ctypes.byref(needed))
            if result == E_BUFFER_TOO_SMALL:
                # The text may grow again before the retry.
                capacity = max(needed.value, capacity * 2)
                continue
            if result in CONVERSION_KINDS:
                # Kept per thread by the library, and this is the same thread.
                text = self._lib.orvane_last_error().decode(ENCODING)
                raise ConversionError("%s: %s" % (call, text), CONVERSION_KINDS[result], text, result)
            if buffer is None or result != 1:
                return result, None
            return result, buffer.value.decode(ENCODING)

    def _command(self, code: int, axis: int, text: Text, call: str) -> Optional[str]:
        """Runs one numbered command and raises when it is refused; returns
        the result text for the text codes, None for the others."""
        result, value = self._cmd(code, c_int(axis, "axis"), c_text(text, "text"), call)
        if code == CMD_WRITE_PARAMETERS:
            guard = "the text must hold exactly %d fields and the axis be 0..5" % PARAMETER_COUNT
        elif code == CMD_WRITE_LEVELS:
            guard = "the text must hold exactly %d fields" % IOS
        else:
            guard = "the axis must be 0..5"
        self._check(result, call, guard)
        return value

    def _text_command(self, code: int, axis: int, call: str) -> str:
        value = self._command(code, axis, b"", call)
        assert value is not None
        return value

    def command(self, code: int, axis: int = 0, text: Text = "") -> Tuple[int, Optional[str]]:
        """The numbered entry point as it is: returns (result, text), where
        text is the result text of the codes that give one (else None).
        Raises ConversionError (codes 3 and 5), and ClosedError on a closed
        Controller; the library's other results (1 done, 0 refused) are left
        to the caller."""
        code = c_int(code, "code")
        return self._cmd(code, c_int(axis, "axis"), c_text(text, "text"), "command(%d)" % code)

    # ---- Motion ---------------------------------------------------------

    def set_speed(self, axis: int, speed: float) -> None:
        """Stores |speed| as the axis's speed for its next move or jog."""
        axis = c_int(axis, "axis")
        speed = check_speed(speed)
        self._check(self._call("set_speed", axis, speed), "set_speed(%d, %r)" % (axis, speed),
                    "the axis must be 0..5 and the speed not 0")
        self._speeds[axis] = abs(speed)

    def _use_speed(self, axes: Tuple[int, ...], speed: Optional[float], call: str) -> None:
        """Sets speed on the axes, or checks that they have one."""
        if speed is not None:
            for axis in axes:
                self.set_speed(axis, speed)
            return
        missing = [axis for axis in axes if axis not in self._speeds]
        if missing:
            raise ValueError(
                "%s: no speed set for axis %s; pass speed= or call set_speed(%d, ...) first"
                % (call, ", ".join(str(a) for a in missing), missing[0])
            )

    def _wait_done(self, waited: bool, what: str, timeout: Optional[float]) -> None:
        if not waited:
            raise MotionTimeoutError("%s did not end within %g s" % (what, timeout if timeout is not None else 0))

    def move_to(self, axis: int, position: float, speed: Optional[float] = None, wait: bool = True,
                timeout: Optional[float] = 30.0) -> None:
        """Moves one axis to position.

        speed: set as the axis's speed first; without it the speed last set
        through this object is used, and when none was, ValueError is raised
        (the controller would otherwise get speed 0). With wait the call
        returns once the axis is at rest, raising MotionTimeoutError after
        timeout seconds (None: no limit)."""
        axis = c_int(axis, "axis")
        call = "move_to(%d, %r)" % (axis, position)
        self._use_speed((axis,), speed, call)
        self._check(self._call("single_move_to", axis, float(position)), call,
                    "the axis must be below the controller's axis count and the position finite")
        if wait:
            self._wait_done(self.wait_at_rest(axis, timeout), call, timeout)

    def move_xyz(self, x: float, y: float, z: float, speed: Optional[float] = None, wait: bool = True,
                 timeout: Optional[float] = 30.0) -> None:
        """Moves axes 0, 1 and 2 together so that they arrive at once, at the
        speed of the axis that travels furthest. speed, wait and timeout as
        for move_to (speed is set on all three axes)."""
        call = "move_xyz(%r, %r, %r)" % (x, y, z)
        self._use_speed((0, 1, 2), speed, call)
        if self._call("xyz_move_to", float(x), float(y), float(z)) != 1:
            raise RefusedError("%s was refused: the targets must be finite" % call)
        if wait:
            self._wait_done(self.wait_at_rest((0, 1, 2), timeout), call, timeout)

    def home(self, axis: int, speed: float = 0.0, wait: bool = True, timeout: Optional[float] = 60.0) -> None:
        """Homes the axis; a speed below 0.1 uses its homing-speed parameter.
        With wait the call returns once the axis is homed and at rest,
        raising MotionTimeoutError after timeout seconds."""
        axis = c_int(axis, "axis")
        call = "home(%d)" % axis
        self._check(self._call("go_home", axis, float(speed)), call,
                    "the axis must be below the controller's axis count")
        if wait:
            deadline = None if timeout is None else time.monotonic() + timeout
            done = self.wait_homed(axis, timeout) and self.wait_at_rest(
                axis, None if deadline is None else max(0.0, deadline - time.monotonic()))
            self._wait_done(done, call, timeout)

    def jog(self, axis: int, positive: bool = True, speed: Optional[float] = None) -> None:
        """Jogs the axis until stop(); speed as for move_to."""
        axis = c_int(axis, "axis")
        call = "jog(%d)" % axis
        self._use_speed((axis,), speed, call)
        self._check(self._call("jog_move", axis, 1 if positive else 0), call,
                    "the axis must be below the controller's axis count")

    def stop(self, axis: int, mode: int = 0) -> None:
        """Stops the axis; mode goes to the controller unchanged."""
        axis = c_int(axis, "axis")
        self._check(self._call("stop", axis, c_int(mode, "mode")), "stop(%d, %r)" % (axis, mode),
                    "the axis must be 0..5")

    def zero(self, axis: int) -> None:
        """Makes the axis's present position its zero."""
        axis = c_int(axis, "axis")
        self._check(self._call("zero", axis), "zero(%d)" % axis,
                    "the axis must be below the controller's axis count")

    # ---- Queries --------------------------------------------------------

    @property
    def controller_type(self) -> int:
        """The controller's type code (1: three axes, 2 or 3: six); 0 while
        not connected."""
        return self._call("get_type")

    @property
    def axis_count(self) -> int:
        """3 or 6, from the controller's type."""
        return 3 if self.controller_type == 1 else AXES

    def positions(self) -> Tuple[float, ...]:
        """The positions of all six axes (as the controller gives them:
        16.547, not the 16.547000885009766 of single precision)."""
        values = (ctypes.c_double * AXES)()
        self._check(self._call("get_pos", values), "positions()", "")
        return float32s(values)

    def position(self, axis: int) -> float:
        """The position of one axis."""
        axis = c_int(axis, "axis")
        if not 0 <= axis < AXES:
            raise ValueError("axis must be 0..5, not %d" % axis)
        return self.positions()[axis]

    def is_still(self, axis: int) -> bool:
        """The axis's move-state bit: True while it stands still."""
        return self._flag("get_move_state", axis, "is_still")

    def is_homed(self, axis: int) -> bool:
        """The axis's home-state bit."""
        return self._flag("get_home_state", axis, "is_homed")

    def axis_rotation(self, axis: int) -> bool:
        """Whether the axis's rotation flag (parameter 5) is set."""
        return self._flag("get_axis_rotation", axis, "axis_rotation",
                          "the axis must be below the controller's axis count")

    def _flag(self, name: str, axis: int, call: str, guard: str = "the axis must be 0..5") -> bool:
        axis = c_int(axis, "axis")
        value = ctypes.c_int(0)
        self._check(self._call(name, axis, ctypes.byref(value)), "%s(%d)" % (call, axis), guard)
        return value.value != 0

    def acc_time(self, axis: int) -> float:
        """The axis's acceleration time."""
        axis = c_int(axis, "axis")
        value = ctypes.c_double(0.0)
        self._check(self._call("get_acc_time", axis, ctypes.byref(value)), "acc_time(%d)" % axis,
                    "the axis must be 0..5")
        return float32(value.value)

    def max_speed(self, axis: int) -> int:
        """The axis's maximum speed, truncated to an int."""
        axis = c_int(axis, "axis")
        value = ctypes.c_int(0)
        self._check(self._call("get_max_speed", axis, ctypes.byref(value)), "max_speed(%d)" % axis,
                    "the axis must be 0..5")
        return value.value

    def soft_limits(self, axis: int) -> SoftLimits:
        """The axis's usable range (left, right): its soft limits moved
        inwards by the soft-limit margin. Needs no connection."""
        axis = c_int(axis, "axis")
        left, right = ctypes.c_double(0.0), ctypes.c_double(0.0)
        result = self._call("get_soft_limits", axis, ctypes.byref(left), ctypes.byref(right))
        if result < 0:
            self._check(result, "soft_limits(%d)" % axis, "")
        if result != 1:
            raise RefusedError("soft_limits(%d) was refused: the axis must be 0..5" % axis)
        return SoftLimits(float32(left.value), float32(right.value))

    def status(self) -> Status:
        """The six positions and the controller's twelve raw counts."""
        fields = self._text_command(CMD_READ_STATUS, 0, "status()").split(",")
        counts = [int(v) for v in fields[AXES:]]
        return Status(tuple(float32(float(v)) for v in fields[:AXES]), tuple(counts[:AXES]), tuple(counts[AXES:]))

    # ---- Inputs ---------------------------------------------------------

    def input(self, number: int) -> bool:
        """The level of input 1..24."""
        number = c_int(number, "input")
        value = ctypes.c_int(0)
        self._check(self._call("get_input_bit", number, ctypes.byref(value)), "input(%d)" % number,
                    "the input must be 1..24")
        return value.value != 0

    def inputs(self) -> Tuple[bool, ...]:
        """All 24 input levels, input 1 first."""
        values = (ctypes.c_int * IOS)()
        self._check(self._call("get_input_bits", values), "inputs()", "")
        return tuple(v != 0 for v in values)

    # ---- Outputs --------------------------------------------------------

    def set_output(self, output: int, value: int) -> None:
        """Sets output 1..24 to value (0..255) times its level."""
        output = c_int(output, "output")
        value = c_int(value, "value")
        self._check(self._call("set_output_value", output, value), "set_output(%d, %d)" % (output, value),
                    "the output must be 1..24 and the value 0..255")

    def set_output_on(self, output: int, on: bool = True) -> None:
        """Switches output 1..24 fully on (255 times its level) or off."""
        output = c_int(output, "output")
        self._check(self._call("set_output_on", output, 1 if on else 0), "set_output_on(%d)" % output,
                    "the output must be 1..24")

    def set_all_outputs(self, on: bool) -> None:
        """Switches all 24 outputs fully on or off."""
        self._check(self._call("set_output_all", 1 if on else 0), "set_all_outputs(%r)" % (on,), "")

    def output_levels(self) -> Tuple[int, ...]:
        """The 24 output levels (1..16; 0 while not yet known)."""
        return tuple(int(v) for v in self._text_command(CMD_READ_LEVELS, 0, "output_levels()").split(","))

    def set_output_levels(self, levels: Iterable[int]) -> None:
        """Sets the 24 output levels (clamped to 1..16 by the library)."""
        values = [c_int(v, "level") for v in levels]
        if len(values) != IOS:
            raise ValueError("set_output_levels needs %d levels, got %d" % (IOS, len(values)))
        self._command(CMD_WRITE_LEVELS, 0, ",".join(str(v) for v in values), "set_output_levels()")

    # ---- Axis parameters ------------------------------------------------

    def parameters(self, axis: int) -> Tuple[Union[int, float], ...]:
        """The axis's 21 parameters: fields 0..9 as ints, 10..20 as floats."""
        axis = c_int(axis, "axis")
        fields = self._text_command(CMD_READ_PARAMETERS, axis, "parameters(%d)" % axis).split(",")
        return tuple(int(v) for v in fields[:INT_PARAMETER_COUNT]) + tuple(
            float32(float(v)) for v in fields[INT_PARAMETER_COUNT:]
        )

    def set_parameters(self, axis: int, values: Iterable[Union[int, float]]) -> None:
        """Sets the axis's 21 parameters (ints for fields 0..9, numbers for
        10..20) and sends them to the controller."""
        axis = c_int(axis, "axis")
        items = list(values)
        if len(items) != PARAMETER_COUNT:
            raise ValueError("set_parameters needs %d values, got %d" % (PARAMETER_COUNT, len(items)))
        text = ",".join(number_text(v, k < INT_PARAMETER_COUNT) for k, v in enumerate(items))
        self._command(CMD_WRITE_PARAMETERS, axis, text, "set_parameters(%d)" % axis)

    # ---- Fly triggering -------------------------------------------------

    def set_fly(self, first: int, second: int, third: int) -> None:
        """Sends the three fly settings."""
        args = (c_int(first, "first"), c_int(second, "second"), c_int(third, "third"))
        self._check(self._call("set_fly", *args), "set_fly%r" % (args,), "")

    def fly_settings(self) -> FlySettings:
        """The three fly settings, as last set or reported."""
        values = [ctypes.c_int(0) for _ in range(3)]
        self._check(self._call("get_fly", *(ctypes.byref(v) for v in values)), "fly_settings()", "")
        return FlySettings(*(v.value for v in values))

    def start_fly(self, first: int, second: int) -> None:
        """Forgets the captured positions and starts a capture (blocks 50 ms)."""
        args = (c_int(first, "first"), c_int(second, "second"))
        self._check(self._call("start_fly", *args), "start_fly%r" % (args,), "")

    def trim_fly(self, value: int) -> None:
        """Forgets the captured positions and sends a trim (blocks 50 ms)."""
        value = c_int(value, "value")
        self._check(self._call("trim_fly", value), "trim_fly(%d)" % value, "")

    def fly_positions(self) -> Tuple[float, ...]:
        """The captured fly positions."""
        while True:
            count = self._call("get_fly_pos", None, 0)
            if count < 0:
                self._check(count, "fly_positions()", "")
            values = (ctypes.c_double * max(count, 1))()
            held = self._call("get_fly_pos", values, count)
            if held < 0:
                self._check(held, "fly_positions()", "")
            if held <= count:  # else the list grew in between: again
                return float32s(values[:held])

    # ---- Texts and raw commands -----------------------------------------

    def version(self) -> str:
        """The controller's version text ("" until it has answered)."""
        return self._text_command(CMD_VERSION, 0, "version()")

    def io_text(self) -> str:
        """The controller's I/O text."""
        return self._text_command(CMD_IO_TEXT, 0, "io_text()")

    def send_command(self, text: Text, axis: Optional[int] = None) -> None:
        """Queues a free command: "2000:text!", or "200:axis,text!" with an
        axis."""
        if axis is None:
            self._command(CMD_FREE_COMMAND, 0, text, "send_command(%r)" % (text,))
        else:
            self._command(CMD_AXIS_COMMAND, axis, text, "send_command(%r, axis=%r)" % (text, axis))

    def send_raw(self, text: Text) -> None:
        """Sends text to the controller exactly as given (add any "!" or line
        feed yourself), with polling paused for 1 s; blocks for that time."""
        self._command(CMD_RAW_SEND, 0, text, "send_raw(%r)" % (text,))

    def raw_reply(self) -> str:
        """The controller's last answer to raw text. After send_raw it reads
        "-1" until the controller's answer arrives; the answer then stays
        until the next send_raw, clear_raw_reply (which empties it: "") or a
        disconnect ("-1")."""
        return self._text_command(CMD_RAW_REPLY, 0, "raw_reply()")

    def clear_raw_reply(self) -> None:
        """Empties the last raw answer."""
        self._command(CMD_CLEAR_RAW_REPLY, 0, b"", "clear_raw_reply()")

    def raw(self, text: Text, timeout: float = 3.0) -> str:
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

    def _switch_host(self, host: Union[str, int], notify_controller: bool) -> None:
        text = c_text(str(host) if isinstance(host, int) else host, "host")
        if notify_controller:
            self._command(CMD_NEW_HOST, 0, text, "set_host(%r, notify_controller=True)" % (host,))
        else:
            result, _ = self._cmd(CMD_SWITCH_HOST, 0, text, "set_host(%r)" % (host,))
            if result < 0:
                self._check(result, "set_host(%r)" % (host,), "")


def poll(condition: Callable[[], bool], timeout: Optional[float], interval: float = 0.01) -> bool:
    """Polls condition until it holds (True) or timeout seconds have passed
    (False; None: no limit)."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        if condition():
            return True
        if deadline is not None and time.monotonic() >= deadline:
            return False
        time.sleep(interval)
