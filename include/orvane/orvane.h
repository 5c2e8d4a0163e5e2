// orvane: client library for one networked six-axis motion controller.
//
// Call Orvane_initial once, then any export from any thread. No call waits
// for the controller: commands are queued and a background loop sends them;
// queries answer at once from the library's mirror of the controller's state,
// which the controller's replies keep up to date. The link reconnects by
// itself.
//
// Conventions for every export:
// - Returns 1 when the call did its work and 0 when a guard refused it; a
//   refused call changes nothing and writes nothing through its parameters.
//   Exceptions are named where they apply.
// - Axes are numbered 0 to 5; inputs and outputs 1 to 24.
// - Positions, limits and speeds are in the axis's units of travel (set by
//   its parameter record); speeds per time unit of the acceleration time.
// - "Not connected" means the link to the controller is down at the time of
//   the call (Orvane_is_connect() == 0).
#ifndef ORVANE_ORVANE_H
#define ORVANE_ORVANE_H

#include <string>

// Set by the build: exports when building the library, imports (or nothing)
// for its users.
#ifndef ORVANE_API
#define ORVANE_API
#endif

// ---- Start, stop and connection state -----------------------------------

// Connects to the controller (one attempt, up to 1000 ms) and starts the
// background poll loop; the link keeps retrying every 3 s by itself if the
// controller is not reachable. Returns 1 when the link is up on return.
// Calling it again while running changes nothing; after Orvane_close it
// starts afresh.
ORVANE_API int Orvane_initial();

// Stops the poll loop and the link, including its reconnection. Returns 1.
// Afterwards Orvane_is_connect() is 0 until the next Orvane_initial.
ORVANE_API int Orvane_close();

// 1 while the link to the controller is up, else 0.
ORVANE_API int Orvane_is_connect();

// ---- Numbered entry point -----------------------------------------------

// Operations without an export of their own, selected by code. Refused (0)
// when not connected or axis > 5, except code 6001. Returns 1 for a code it
// does not know. text is read, replaced or appended to as listed:
//   0    queue "2000:" + text + "!"                         (text in)
//   1    append 6 positions ("%f") and 12 raw counts          (appended)
//   2    append the axis's 21 parameters                      (appended)
//   3    set the axis's 21 parameters from "v0,...,v20" and queue
//        "120:axis,text!"; 0 unless exactly 21 fields         (text in)
//   4    append the 24 output levels                          (appended)
//   5    set 24 output levels (clamped to 1..16) from "l1,...,l24" and
//        queue "180:" + 24 level digits + "!"; 0 unless 24 fields (text in)
//   100  queue "200:axis,text!"                               (text in)
//   101  queue "210:axis!"
//   102  "1" if the axis's parameter 6 is non-zero, else "0"  (replaced)
//   103  the controller's I/O text                            (replaced)
//   2001 the controller's version text                        (replaced)
//   5000 send text to the controller exactly as given, at once, with
//        polling paused for 1000 ms (blocks for that time)     (text in)
//   5010 the last "5010" answer; "-1" from a raw send (5000) until the
//        controller's answer arrives, which then stays until the next
//        raw send, 5011 or a disconnect ("-1" while disconnected) (replaced)
//   5011 empty the last "5010" answer
//   6000 send "6000:text!" then reconnect to the new address (blocks ~5 s)
//   6001 reconnect to the new address (blocks ~0.5 s); returns 0 always
// For 6000 and 6001, text is a host number on the controller network (the
// build's prefix, 127.0.0. by default, followed by text) or a complete
// dotted IPv4 address, which is used whole.
// The float values of codes 1 and 2 are written as "%f" writes them,
// "inf", "-inf" and "nan" included (never "-nan").
// Codes 2, 3 and 102 refuse a negative axis. Codes 3 and 5 throw
// std::invalid_argument ("invalid stoi argument", "invalid stof argument")
// or std::out_of_range ("stoi argument out of range", "stof argument out of
// range") for a field that does not convert; the fields before it keep their
// new values and nothing is queued.
ORVANE_API int Orvane_cmd(int code, int axis, std::string& text);

// ---- Point-to-point motion ----------------------------------------------

// Stores |speed| as the axis's speed for its next move or jog. Refused when
// not connected, axis outside 0..5, or speed 0. Sends nothing.
ORVANE_API int Orvane_set_speed(int axis, float speed);

// Queues "160:axis,speed,position!" (speed one decimal, position "%f").
// While the axis's move-state bit is 0 a stored speed above 100 is lowered
// to 100 (and stays so). The move-state bit then reads 0 until the
// controller has sent 20 further status replies. Refused when not
// connected, the axis is not below the controller's axis count (3 or 6), or
// the position is not a finite number.
ORVANE_API int Orvane_single_move_to(int axis, double position);

// Queues a coordinated move of axes 0, 1 and 2 to x, y, z with speeds
// chosen so that they arrive together: the axis with the longest way uses
// its stored speed (at most 100 while its move-state bit is 0), the others
// follow. A speed that cannot be computed (stored speed 0, acceleration time
// 0) is sent as 0.0. Queued even while not connected; sent once the link is
// up. Returns 1, or 0 when a target is not a finite number.
ORVANE_API int Orvane_xyz_move_to(double x, double y, double z);

// ---- Homing, jogging, stopping and zeroing ------------------------------

// Queues "130:axis,speed!" ("%f"); a speed below 0.1 (or not a finite
// number) uses the axis's homing speed parameter. Clears the home-state bit
// until the next status reply. Blocks 50 ms after queuing. Refused when not
// connected or the axis is not below the axis count.
ORVANE_API int Orvane_go_home(int axis, float speed);

// Queues "150:axis,speed,direction!" with the stored speed (raised to 0.1
// when lower) and direction 1 for true, 0 for false. Refused when not
// connected or the axis is not below the axis count.
ORVANE_API int Orvane_jog_move(int axis, bool direction);

// Queues "140:axis,mode!"; mode is passed to the controller unchanged.
// Refused when not connected or axis outside 0..5.
ORVANE_API int Orvane_stop(int axis, int mode);

// Queues "170:axis!". Refused when not connected or the axis is not below
// the axis count.
ORVANE_API int Orvane_zero(int axis);

// ---- Fly triggering (position capture) -----------------------------------

// Queues "490:first,second,third!" and reports the three values through
// Orvane_get_fly at once. Refused when not connected.
ORVANE_API int Orvane_set_fly(int first, int second, int third);

// Forgets the captured positions and queues "500:first,second!"; blocks
// 50 ms. Refused when not connected.
ORVANE_API int Orvane_start_fly(int first, int second);

// Forgets the captured positions and queues "510:value!"; blocks 50 ms.
// Refused when not connected.
ORVANE_API int Orvane_trim_fly(int value);

// ---- Digital outputs -----------------------------------------------------
// The poll loop sends all 24 outputs as one frame when any has changed.

// Sets output 1..24 to value × level (0..255 × 1..16; an output whose level
// is not yet known gets level 16). Refused when not connected, the output is
// outside 1..24, or value is outside 0..255.
ORVANE_API int Orvane_set_output(int output, int value);

// Switches output 1..24 fully on (level × 255) or off (0). An output whose
// level is not yet known stays 0. Refused when not connected or the output is
// outside 1..24.
ORVANE_API int Orvane_set_output(int output, bool on);

// Switches all 24 outputs on or off as above. Refused when not connected.
ORVANE_API int Orvane_set_outputAll(bool on);

// ---- Status queries (answered at once from the mirror) -------------------

// The controller's type code (1: three axes, 2 or 3: six), 0 when not
// connected.
ORVANE_API int Orvane_get_Type();

// The axis's acceleration time. Refused when not connected or axis outside
// 0..5.
ORVANE_API int Orvane_get_acc_time(int axis, double& time);

// Whether the axis's rotation flag (parameter 5) is set. Refused when not
// connected or the axis is not below the axis count.
ORVANE_API int Orvane_get_aixs_rotation(int axis, bool& flag);

// The three fly settings: as last set or reported. Never refused.
ORVANE_API int Orvane_get_fly(int& first, int& second, int& third);

// Copies the captured fly positions into positions[0..n-1] and returns n,
// the number held (0, writing nothing, when there are none). With a null
// pointer it only returns n. After a counting call with a null pointer, the
// next call on the same thread writes at most that many positions (and
// returns the number written), so an array sized from the count is never
// overrun. Never refused for lack of a connection.
ORVANE_API int Orvane_get_fly_pos(double* positions);

// The axis's home-state bit. Refused when not connected or axis outside 0..5.
ORVANE_API int Orvane_get_home_state(int axis, bool& state);

// The level of input 1..24. Refused when not connected or input outside
// 1..24.
ORVANE_API int Orvane_get_input_bit(int input, bool& level);

// All 24 input levels into levels[0..23], input 1 first. Refused when not
// connected or levels is null.
ORVANE_API int Orvane_get_input_bit(bool* levels);

// The axis's usable range: left and right soft limits moved inwards by the
// soft-limit margin. Refused only for an axis outside 0..5.
ORVANE_API int Orvane_get_leftRight_softLimit(int axis, double& left, double& right);

// The axis's maximum speed, truncated towards zero (NaN gives 0; values
// beyond the int range give its limits). Refused when not connected or axis
// outside 0..5.
ORVANE_API int Orvane_get_max_speed(int axis, int& speed);

// The axis's move-state bit: 1 while it stands still. Refused when not
// connected or axis outside 0..5.
ORVANE_API int Orvane_get_move_state(int axis, bool& state);

// The positions of all six axes into positions[0..5]. Refused when not
// connected or positions is null.
ORVANE_API int Orvane_get_pos(double* positions);

#endif  // ORVANE_ORVANE_H
