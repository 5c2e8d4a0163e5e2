/* orvane C interface: the library's exports with plain C linkage, for hosts
 * that cannot call C++ functions (C, C#, Python, LabVIEW, Delphi, ...).
 *
 * Every function here does exactly what its C++ counterpart in orvane.h does,
 * on the same process-wide connection; the two interfaces can be mixed. The
 * differences are only those C needs:
 * - Results come back through pointers instead of references. A null result
 *   pointer makes the call refuse (return 0) without doing anything.
 * - Truth values are int: 0 is false, any other value true; results are
 *   written as 0 or 1.
 * - Overloads have distinct names; orvane_cmd takes its text in one buffer
 *   and returns it in another (see there).
 * - No exception leaves a function. The conversion errors that the C++
 *   Orvane_cmd throws come back as negative return values, with their text
 *   in orvane_last_error().
 *
 * Conventions (as in orvane.h): 1 when the call did its work, 0 when a guard
 * refused it; a refused call changes nothing and writes nothing through its
 * parameters. Axes are numbered 0 to 5; inputs and outputs 1 to 24. No call
 * waits for the controller: commands are queued and a background loop sends
 * them; queries answer at once from the library's copy of the controller's
 * state. Every function may be called from any thread.
 *
 * Plain C99; the header compiles as C and as C++. */
#ifndef ORVANE_ORVANE_C_H
#define ORVANE_ORVANE_C_H

#include <stddef.h>

/* Set by the build: exports when building the library, imports (or nothing)
 * for its users. */
#ifndef ORVANE_API
#define ORVANE_API
#endif

/* Calling convention of every function here: __stdcall for 32-bit Windows
 * hosts (set by the build for that target and for its users), the platform's
 * default everywhere else. A host that does not use the build's settings on
 * 32-bit Windows must define it as __stdcall before including this header. */
#ifndef ORVANE_CALL
#define ORVANE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Return values --------------------------------------------------- */

#define ORVANE_OK 1      /* the call did its work */
#define ORVANE_REFUSED 0 /* a guard refused the call; nothing changed */
/* orvane_cmd: the result text does not fit text_out; *needed tells the size. */
#define ORVANE_E_BUFFER_TOO_SMALL (-1)
/* orvane_cmd codes 3 and 5: a field is not a number ("invalid stoi argument",
 * "invalid stof argument" from orvane_last_error()). */
#define ORVANE_E_INVALID_ARGUMENT (-2)
/* orvane_cmd codes 3 and 5: a field is out of range ("stoi argument out of
 * range", "stof argument out of range"). */
#define ORVANE_E_OUT_OF_RANGE (-3)

/* Handles and waits (see orvane_strerror for a text of each): */
/* An argument is null or out of range: nothing was done. */
#define ORVANE_E_BAD_ARGUMENT (-4)
/* Called from one of the library's own threads (inside a connection or log
 * handler) where it would have to wait for that very thread. */
#define ORVANE_E_IN_CALLBACK (-5)
/* A wait ended because the handle was closed (orvane_ctl_close or
 * orvane_destroy on another thread), or it was not running. */
#define ORVANE_E_CLOSED (-6)
/* No memory or no thread could be had. */
#define ORVANE_E_NO_RESOURCES (-7)

/* Levels of the messages given to a log handler. */
#define ORVANE_LOG_INFO 1    /* progress: "trying to reconnect", "reconnected" */
#define ORVANE_LOG_WARNING 2 /* a reconnection attempt failed */
#define ORVANE_LOG_ERROR 3   /* a send failed, no socket could be made */

/* ---- Library ----------------------------------------------------------- */

/* The library's version, such as "0.1.0": a static, NUL-terminated text. */
ORVANE_API const char* ORVANE_CALL orvane_version(void);

/* The text of the last conversion error of orvane_cmd (codes 3 and 5) on the
 * calling thread, or "" when the last orvane_cmd call on this thread did not
 * fail that way. Every orvane_cmd call resets it. The text stays valid until
 * the next orvane_cmd call on the same thread. Never null. */
ORVANE_API const char* ORVANE_CALL orvane_last_error(void);

/* A short English text for a return value of this interface (1, 0 and the
 * ORVANE_E_* codes): a static, NUL-terminated text. Never null. */
ORVANE_API const char* ORVANE_CALL orvane_strerror(int code);

/* Receives the link's messages (reconnection progress, failed sends, ...)
 * as UTF-8 text with one of the ORVANE_LOG_* levels. message is valid only
 * during the call.
 *
 * Called on the library's own threads (the link thread of the connection,
 * sometimes the thread of the poll loop or of a caller whose send failed),
 * one message at a time per connection. It must return quickly and must
 * not close, destroy or switch the connection it reports on (such calls are
 * refused with ORVANE_E_IN_CALLBACK); other calls are fine. */
typedef void(ORVANE_CALL* orvane_log_handler)(void* user_data, int level, const char* message);

/* Sets the log handler of the process-wide connection; null restores the
 * default. By default the messages go, in the GBK code page, to standard
 * output, or where the environment variable ORVANE_LOG said when the
 * library was loaded: "stdout", "stderr" or "off". */
ORVANE_API void ORVANE_CALL orvane_set_log_handler(orvane_log_handler handler, void* user_data);

/* ---- Start, stop and connection state -------------------------------- */

/* Connects to the controller (one attempt, up to 1000 ms) and starts the
 * background poll loop; the link keeps retrying every 3 s by itself if the
 * controller is not reachable. Returns 1 when the link is up on return, else
 * 0. Calling it again while running changes nothing; after orvane_close it
 * starts afresh. */
ORVANE_API int ORVANE_CALL orvane_initial(void);

/* Stops the poll loop and the link, including its reconnection. Returns 1.
 * Afterwards orvane_is_connect() is 0 until the next orvane_initial. */
ORVANE_API int ORVANE_CALL orvane_close(void);

/* 1 while the link to the controller is up, else 0. */
ORVANE_API int ORVANE_CALL orvane_is_connect(void);

/* ---- Numbered entry point ------------------------------------------- */

/* Codes of orvane_cmd. */
#define ORVANE_CMD_FREE_COMMAND 0       /* queue "2000:" + text_in + "!"       */
#define ORVANE_CMD_READ_STATUS 1        /* 6 positions and 12 raw counts      */
#define ORVANE_CMD_READ_PARAMETERS 2    /* the axis's 21 parameters           */
#define ORVANE_CMD_WRITE_PARAMETERS 3   /* set the axis's 21 parameters       */
#define ORVANE_CMD_READ_LEVELS 4        /* the 24 output levels               */
#define ORVANE_CMD_WRITE_LEVELS 5       /* set the 24 output levels           */
#define ORVANE_CMD_AXIS_COMMAND 100     /* queue "200:axis," + text_in + "!"   */
#define ORVANE_CMD_AXIS_REQUEST 101     /* queue "210:axis!"                  */
#define ORVANE_CMD_PARAMETER_6_FLAG 102 /* "1" if parameter 6 is non-zero     */
#define ORVANE_CMD_IO_TEXT 103          /* the controller's I/O text          */
#define ORVANE_CMD_VERSION 2001         /* the controller's version text      */
#define ORVANE_CMD_RAW_SEND 5000        /* send text_in as it is (blocks 1 s) */
#define ORVANE_CMD_RAW_REPLY 5010       /* the last "5010" answer             */
#define ORVANE_CMD_CLEAR_RAW_REPLY 5011 /* empty the last "5010" answer       */
#define ORVANE_CMD_NEW_HOST 6000        /* tell the controller, reconnect     */
#define ORVANE_CMD_SWITCH_HOST 6001     /* reconnect to another address       */

/* Operations without a function of their own, selected by code; the same
 * codes, guards and effects as Orvane_cmd in orvane.h. The C++ text string is
 * split in two here:
 *
 * text_in: the text the operation reads, NUL-terminated; "" when it reads
 *   none. Never changed. A null text_in is refused (returns 0).
 *
 * text_out, capacity: the buffer for the result text of the codes that give
 *   one. Codes 1, 2 and 4 give text_in followed by the values they append
 *   (as the C++ call appends to the string it is given); codes 102, 103, 2001
 *   and 5010 give their text alone. The result is written NUL-terminated and
 *   never beyond capacity bytes. The other codes do not use text_out (it may
 *   be null) and leave it as it is.
 *
 * needed: optional (may be null). For the codes that give a text and are not
 *   refused, receives the size the result needs, in bytes including the
 *   terminating NUL, whether or not it fitted. Otherwise left as it is.
 *
 * Returns, besides the returns of the C++ call (1 done, 0 refused, 1 for an
 * unknown code, 0 always for code 6001):
 *   ORVANE_E_BUFFER_TOO_SMALL  a text code's result does not fit: text_out
 *       holds "" (when capacity > 0) and *needed the size to retry with.
 *       The text codes only read, so repeating the call is harmless.
 *       text_out may be null with capacity 0 to ask for the size only.
 *   ORVANE_E_INVALID_ARGUMENT, ORVANE_E_OUT_OF_RANGE  codes 3 and 5: a
 *       field did not convert; orvane_last_error() tells which error. The
 *       fields before it keep their new values and nothing is queued.
 * A text code with a null text_out and a capacity above 0 is refused (0).
 *
 * Codes 5000, 6000 and 6001 block the calling thread (1000 ms, about 5 s,
 * about 0.5 s). For 6000 and 6001 text_in is a host number on the
 * controller network or a complete dotted IPv4 address. */
ORVANE_API int ORVANE_CALL orvane_cmd(int code, int axis, const char* text_in, char* text_out, size_t capacity,
                                      size_t* needed);

/* ---- Point-to-point motion ------------------------------------------ */

/* Stores |speed| as the axis's speed for its next move or jog. Refused when
 * not connected, axis outside 0..5, or speed 0. Sends nothing. */
ORVANE_API int ORVANE_CALL orvane_set_speed(int axis, float speed);

/* Queues a move of one axis to position at its stored speed (lowered to 100
 * while the axis's move-state bit is 0). Refused when not connected, the
 * axis is not below the controller's axis count (3 or 6), or position is not
 * a finite number. */
ORVANE_API int ORVANE_CALL orvane_single_move_to(int axis, double position);

/* Queues a coordinated move of axes 0, 1 and 2 to x, y, z, arriving
 * together. Queued even while not connected. Returns 1, or 0 when a target
 * is not a finite number. */
ORVANE_API int ORVANE_CALL orvane_xyz_move_to(double x, double y, double z);

/* ---- Homing, jogging, stopping and zeroing -------------------------- */

/* Queues homing of the axis; a speed below 0.1 uses the axis's homing speed
 * parameter. Clears the home-state bit until the next status reply. Blocks
 * 50 ms. Refused when not connected or the axis is not below the axis
 * count. */
ORVANE_API int ORVANE_CALL orvane_go_home(int axis, float speed);

/* Queues a jog of the axis at its stored speed (raised to 0.1 when lower);
 * the controller gets direction 1 for a non-zero direction, else 0. Refused
 * when not connected or the axis is not below the axis count. */
ORVANE_API int ORVANE_CALL orvane_jog_move(int axis, int direction);

/* Queues a stop of the axis; mode goes to the controller unchanged. Refused
 * when not connected or axis outside 0..5. */
ORVANE_API int ORVANE_CALL orvane_stop(int axis, int mode);

/* Queues zeroing of the axis's position. Refused when not connected or the
 * axis is not below the axis count. */
ORVANE_API int ORVANE_CALL orvane_zero(int axis);

/* ---- Fly triggering (position capture) ------------------------------ */

/* Queues the three fly settings and reports them through orvane_get_fly at
 * once. Refused when not connected. */
ORVANE_API int ORVANE_CALL orvane_set_fly(int first, int second, int third);

/* Forgets the captured positions and starts a capture; blocks 50 ms.
 * Refused when not connected. */
ORVANE_API int ORVANE_CALL orvane_start_fly(int first, int second);

/* Forgets the captured positions and queues a trim; blocks 50 ms. Refused
 * when not connected. */
ORVANE_API int ORVANE_CALL orvane_trim_fly(int value);

/* ---- Digital outputs ------------------------------------------------- */

/* Sets output 1..24 to value x level (value 0..255, level 1..16; an output
 * whose level is not yet known gets level 16). Refused when not connected,
 * the output is outside 1..24, or value is outside 0..255.
 * (Orvane_set_output(int, int) in C++.) */
ORVANE_API int ORVANE_CALL orvane_set_output_value(int output, int value);

/* Switches output 1..24 fully on (level x 255) for a non-zero on, off (0)
 * otherwise. An output whose level is not yet known stays 0. Refused when
 * not connected or the output is outside 1..24.
 * (Orvane_set_output(int, bool) in C++.) */
ORVANE_API int ORVANE_CALL orvane_set_output_on(int output, int on);

/* Switches all 24 outputs on or off as above. Refused when not connected.
 * (Orvane_set_outputAll in C++.) */
ORVANE_API int ORVANE_CALL orvane_set_output_all(int on);

/* ---- Status queries (answered at once) ------------------------------- */

/* The controller's type code (1: three axes, 2 or 3: six), 0 when not
 * connected. (Orvane_get_Type in C++.) */
ORVANE_API int ORVANE_CALL orvane_get_type(void);

/* *time: the axis's acceleration time. Refused when not connected, axis
 * outside 0..5, or time null. */
ORVANE_API int ORVANE_CALL orvane_get_acc_time(int axis, double* time);

/* *flag: 1 if the axis's rotation flag (parameter 5) is set, else 0.
 * Refused when not connected, the axis is not below the axis count, or flag
 * null. (Orvane_get_aixs_rotation in C++.) */
ORVANE_API int ORVANE_CALL orvane_get_axis_rotation(int axis, int* flag);

/* The three fly settings, as last set or reported. Refused only when a
 * pointer is null. */
ORVANE_API int ORVANE_CALL orvane_get_fly(int* first, int* second, int* third);

/* Copies the captured fly positions into positions[0..], at most capacity of
 * them, and returns how many are held (0 when none), which may be more than
 * capacity: then only the first capacity were written, and a larger array
 * gets them all. With a null positions and capacity 0 it only returns the
 * number held; a null positions with a capacity above 0 is refused (0).
 * Never refused for lack of a connection. */
ORVANE_API int ORVANE_CALL orvane_get_fly_pos(double* positions, size_t capacity);

/* *state: the axis's home-state bit (0 or 1). Refused when not connected,
 * axis outside 0..5, or state null. */
ORVANE_API int ORVANE_CALL orvane_get_home_state(int axis, int* state);

/* *level: the level of input 1..24 (0 or 1). Refused when not connected,
 * input outside 1..24, or level null. */
ORVANE_API int ORVANE_CALL orvane_get_input_bit(int input, int* level);

/* All 24 input levels (0 or 1) into levels[0..23], input 1 first. Refused
 * when not connected or levels null. (Orvane_get_input_bit(bool*) in C++.) */
ORVANE_API int ORVANE_CALL orvane_get_input_bits(int levels[24]);

/* The axis's usable range: left and right soft limits moved inwards by the
 * soft-limit margin. Refused for an axis outside 0..5 or a null pointer,
 * not for lack of a connection. (Orvane_get_leftRight_softLimit in C++.) */
ORVANE_API int ORVANE_CALL orvane_get_soft_limits(int axis, double* left, double* right);

/* *speed: the axis's maximum speed, truncated towards zero. Refused when
 * not connected, axis outside 0..5, or speed null. */
ORVANE_API int ORVANE_CALL orvane_get_max_speed(int axis, int* speed);

/* *state: the axis's move-state bit, 1 while it stands still. Refused when
 * not connected, axis outside 0..5, or state null. */
ORVANE_API int ORVANE_CALL orvane_get_move_state(int axis, int* state);

/* The positions of all six axes into positions[0..5]. Refused when not
 * connected or positions null. */
ORVANE_API int ORVANE_CALL orvane_get_pos(double positions[6]);

/* ==== Controller handles ================================================ */

/* One controller: its connection, its poll loop and its state. Opaque. */
typedef struct orvane_controller orvane_controller;

/* Told of every change of the connection: connected is 1 when the link came
 * up, 0 when it went down. Called on the handle's link thread (or on the
 * thread that closes the handle, for the final 0). It must return quickly
 * and must not close, destroy or switch its own handle (refused with
 * ORVANE_E_IN_CALLBACK); queries and queued commands are fine. */
typedef void(ORVANE_CALL* orvane_connection_handler)(void* user_data, int connected);

/* What orvane_create needs. Fill it with orvane_options_init first, then
 * change what differs: a later version of the library may add fields at the
 * end, and size tells it which ones the caller knows. */
typedef struct orvane_options {
    size_t size;            /* sizeof(orvane_options); set by orvane_options_init */
    const char* host;       /* dotted IPv4 address or host name; null: the build's
                               default controller address */
    int port;               /* 1..65535; the build's default controller port */
    int connect_timeout_ms; /* one connection attempt; 1000 */
    int reconnect_pause_ms; /* pause between attempts while down; 3000 */
    int wait_connected_ms;  /* orvane_create waits up to this long for the link
                               to come up; 0 (the default): does not wait */
    orvane_log_handler log_handler;               /* null: messages are dropped */
    void* log_user_data;                          /* passed to log_handler */
    orvane_connection_handler connection_handler; /* may be null */
    void* connection_user_data;                   /* passed to connection_handler */
} orvane_options;

/* Sets every field to its default (see above). */
ORVANE_API void ORVANE_CALL orvane_options_init(orvane_options* options);

/* Creates a handle and starts it: its link connects in the background and
 * keeps reconnecting by itself. Does not wait for the network unless
 * options->wait_connected_ms says so (a host name is looked up on the
 * handle's link thread, not here). The handle has two threads of its own.
 * Returns ORVANE_OK with *controller set, or:
 *   ORVANE_E_BAD_ARGUMENT  options or controller null, options->size too
 *       small, a port outside 1..65535, a negative time;
 *   ORVANE_E_NO_RESOURCES  no memory or no thread.
 * A create that waited in vain still succeeds: the link goes on trying. */
ORVANE_API int ORVANE_CALL orvane_create(const orvane_options* options, orvane_controller** controller);

/* Stops the handle's link and loop (sending what was queued while the link
 * is up, as orvane_ctl_close does), wakes its waits, and frees it. Returns
 * within about 100 ms. May be called from any thread, also while another
 * thread waits on the handle (that wait returns ORVANE_E_CLOSED); no other
 * call may use the handle afterwards. Null does nothing (ORVANE_OK).
 * Returns ORVANE_E_IN_CALLBACK, and frees nothing, when called from the
 * handle's own handlers. */
ORVANE_API int ORVANE_CALL orvane_destroy(orvane_controller* controller);

/* The address and port the handle was created with (or switched to by codes
 * 6000/6001), NUL-terminated into buffer, never beyond capacity. Returns
 * ORVANE_OK, ORVANE_E_BUFFER_TOO_SMALL or ORVANE_E_BAD_ARGUMENT. */
ORVANE_API int ORVANE_CALL orvane_ctl_address(orvane_controller* controller, char* buffer, size_t capacity);
ORVANE_API int ORVANE_CALL orvane_ctl_port(orvane_controller* controller);

/* ---- Session and readiness -------------------------------------------- */

/* orvane_initial, orvane_close and orvane_is_connect for one handle. A
 * handle starts running at orvane_create; after orvane_ctl_close,
 * orvane_ctl_initial starts it again (one attempt on the calling thread, as
 * orvane_initial). Close sends what was queued while the link is up, then
 * forgets the rest; it returns ORVANE_E_IN_CALLBACK from the handle's own
 * handlers. A null handle: ORVANE_E_BAD_ARGUMENT. */
ORVANE_API int ORVANE_CALL orvane_ctl_initial(orvane_controller* controller);
ORVANE_API int ORVANE_CALL orvane_ctl_close(orvane_controller* controller);
ORVANE_API int ORVANE_CALL orvane_ctl_is_connect(orvane_controller* controller);

/* 1 when connected and the output levels, axis parameters and version text
 * have arrived (what the poll loop asks for after every connection), else 0.
 * Before that, parameters and levels read as their defaults. */
ORVANE_API int ORVANE_CALL orvane_ctl_is_ready(orvane_controller* controller);

/* Waits block the calling thread up to timeout_ms (0: only looks) and
 * return 1 as soon as the condition holds, 0 when the time ran out,
 * ORVANE_E_CLOSED when the handle is closed or destroyed meanwhile (or was
 * not running), ORVANE_E_BAD_ARGUMENT for a null handle or a mask naming no
 * axis or an axis above 5. axes is a mask: bit a (1 << a) for axis a.
 *
 * at rest: every named axis's move-state bit is 1, taken from status
 * replies after the hold-off that a move command starts (so a wait right
 * after a move does not see the state from before it);
 * homed: every named axis's home-state bit is 1, likewise. */
ORVANE_API int ORVANE_CALL orvane_ctl_wait_connected(orvane_controller* controller, int timeout_ms);
ORVANE_API int ORVANE_CALL orvane_ctl_wait_ready(orvane_controller* controller, int timeout_ms);
ORVANE_API int ORVANE_CALL orvane_ctl_wait_at_rest(orvane_controller* controller, unsigned axes, int timeout_ms);
ORVANE_API int ORVANE_CALL orvane_ctl_wait_homed(orvane_controller* controller, unsigned axes, int timeout_ms);

/* ---- Every operation, on one handle -------------------------------------
 * Each does what the process-wide function of the same name without "ctl_"
 * does, on this handle's controller only, and returns the same values. A
 * null handle returns ORVANE_E_BAD_ARGUMENT. orvane_ctl_cmd codes 6000 and
 * 6001 move this handle to another controller: text_in is a host number
 * on the build's controller network, a complete dotted IPv4 address, or a
 * host name. orvane_ctl_cmd returns ORVANE_E_IN_CALLBACK for 6000 and 6001
 * inside the handle's own handlers. */
ORVANE_API int ORVANE_CALL orvane_ctl_cmd(orvane_controller* controller, int code, int axis, const char* text_in,
                                          char* text_out, size_t capacity, size_t* needed);
ORVANE_API int ORVANE_CALL orvane_ctl_set_speed(orvane_controller* controller, int axis, float speed);
ORVANE_API int ORVANE_CALL orvane_ctl_single_move_to(orvane_controller* controller, int axis, double position);
ORVANE_API int ORVANE_CALL orvane_ctl_xyz_move_to(orvane_controller* controller, double x, double y, double z);
ORVANE_API int ORVANE_CALL orvane_ctl_go_home(orvane_controller* controller, int axis, float speed);
ORVANE_API int ORVANE_CALL orvane_ctl_jog_move(orvane_controller* controller, int axis, int direction);
ORVANE_API int ORVANE_CALL orvane_ctl_stop(orvane_controller* controller, int axis, int mode);
ORVANE_API int ORVANE_CALL orvane_ctl_zero(orvane_controller* controller, int axis);
ORVANE_API int ORVANE_CALL orvane_ctl_set_fly(orvane_controller* controller, int first, int second, int third);
ORVANE_API int ORVANE_CALL orvane_ctl_start_fly(orvane_controller* controller, int first, int second);
ORVANE_API int ORVANE_CALL orvane_ctl_trim_fly(orvane_controller* controller, int value);
ORVANE_API int ORVANE_CALL orvane_ctl_set_output_value(orvane_controller* controller, int output, int value);
ORVANE_API int ORVANE_CALL orvane_ctl_set_output_on(orvane_controller* controller, int output, int on);
ORVANE_API int ORVANE_CALL orvane_ctl_set_output_all(orvane_controller* controller, int on);
ORVANE_API int ORVANE_CALL orvane_ctl_get_type(orvane_controller* controller);
ORVANE_API int ORVANE_CALL orvane_ctl_get_acc_time(orvane_controller* controller, int axis, double* time);
ORVANE_API int ORVANE_CALL orvane_ctl_get_axis_rotation(orvane_controller* controller, int axis, int* flag);
ORVANE_API int ORVANE_CALL orvane_ctl_get_fly(orvane_controller* controller, int* first, int* second, int* third);
ORVANE_API int ORVANE_CALL orvane_ctl_get_fly_pos(orvane_controller* controller, double* positions, size_t capacity);
ORVANE_API int ORVANE_CALL orvane_ctl_get_home_state(orvane_controller* controller, int axis, int* state);
ORVANE_API int ORVANE_CALL orvane_ctl_get_input_bit(orvane_controller* controller, int input, int* level);
ORVANE_API int ORVANE_CALL orvane_ctl_get_input_bits(orvane_controller* controller, int levels[24]);
ORVANE_API int ORVANE_CALL orvane_ctl_get_soft_limits(orvane_controller* controller, int axis, double* left,
                                                      double* right);
ORVANE_API int ORVANE_CALL orvane_ctl_get_max_speed(orvane_controller* controller, int axis, int* speed);
ORVANE_API int ORVANE_CALL orvane_ctl_get_move_state(orvane_controller* controller, int axis, int* state);
ORVANE_API int ORVANE_CALL orvane_ctl_get_pos(orvane_controller* controller, double positions[6]);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_ORVANE_C_H */
