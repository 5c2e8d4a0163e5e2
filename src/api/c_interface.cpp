// The C interface of the process-wide connection: the exports with C
// linkage, on the same Runtime as the C++ ones. Only the shape of
// parameters and results differs.
#include <orvane/orvane_c.h>

#include "api/c_operations.h"
#include "api/process_runtime.h"
#include "orvane_build_config.h"

namespace {
orvane::Runtime& rt() { return orvane::process_runtime(); }
}  // namespace

extern "C" {

ORVANE_API const char* ORVANE_CALL orvane_version(void) { return ORVANE_VERSION; }

ORVANE_API const char* ORVANE_CALL orvane_last_error(void) { return orvane::c_ops::last_error(); }

ORVANE_API const char* ORVANE_CALL orvane_strerror(int code) {
    switch (code) {
        case ORVANE_OK:
            return "done";
        case ORVANE_REFUSED:
            return "refused: not connected, or an argument outside what the operation accepts";
        case ORVANE_E_BUFFER_TOO_SMALL:
            return "the result does not fit the buffer";
        case ORVANE_E_INVALID_ARGUMENT:
            return "a field is not a number";
        case ORVANE_E_OUT_OF_RANGE:
            return "a field is out of range";
        case ORVANE_E_BAD_ARGUMENT:
            return "an argument is null or out of range";
        case ORVANE_E_IN_CALLBACK:
            return "not allowed inside the library's own handlers";
        case ORVANE_E_CLOSED:
            return "the controller handle was closed";
        case ORVANE_E_NO_RESOURCES:
            return "no memory or no thread";
        default:
            return "unknown result code";
    }
}

ORVANE_API void ORVANE_CALL orvane_set_log_handler(orvane_log_handler handler, void* user_data) {
    try {
        rt().set_log_handler(orvane::c_ops::log_handler(handler, user_data));
    } catch (...) {
    }
}

ORVANE_API int ORVANE_CALL orvane_initial(void) {
    return orvane::guarded([] { return rt().initial(); });
}

ORVANE_API int ORVANE_CALL orvane_close(void) {
    return orvane::guarded([] { return rt().close(); });
}

ORVANE_API int ORVANE_CALL orvane_is_connect(void) {
    return orvane::guarded([] { return rt().is_connect(); });
}

ORVANE_API int ORVANE_CALL orvane_cmd(int code, int axis, const char* text_in, char* text_out, size_t capacity,
                                      size_t* needed) {
    return orvane::c_ops::cmd(rt(), code, axis, text_in, text_out, capacity, needed);
}

ORVANE_API int ORVANE_CALL orvane_set_speed(int axis, float speed) {
    return orvane::guarded([&] { return rt().set_speed(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_single_move_to(int axis, double position) {
    return orvane::guarded([&] { return rt().single_move_to(axis, position); });
}

ORVANE_API int ORVANE_CALL orvane_xyz_move_to(double x, double y, double z) {
    return orvane::guarded([&] { return rt().xyz_move_to(x, y, z); });
}

ORVANE_API int ORVANE_CALL orvane_go_home(int axis, float speed) {
    return orvane::guarded([&] { return rt().go_home(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_jog_move(int axis, int direction) {
    return orvane::guarded([&] { return rt().jog_move(axis, direction != 0); });
}

ORVANE_API int ORVANE_CALL orvane_stop(int axis, int mode) {
    return orvane::guarded([&] { return rt().stop(axis, mode); });
}

ORVANE_API int ORVANE_CALL orvane_zero(int axis) {
    return orvane::guarded([&] { return rt().zero(axis); });
}

ORVANE_API int ORVANE_CALL orvane_set_fly(int first, int second, int third) {
    return orvane::guarded([&] { return rt().set_fly(first, second, third); });
}

ORVANE_API int ORVANE_CALL orvane_start_fly(int first, int second) {
    return orvane::guarded([&] { return rt().start_fly(first, second); });
}

ORVANE_API int ORVANE_CALL orvane_trim_fly(int value) {
    return orvane::guarded([&] { return rt().trim_fly(value); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_value(int output, int value) {
    return orvane::guarded([&] { return rt().set_output_value(output, value); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_on(int output, int on) {
    return orvane::guarded([&] { return rt().set_output_on(output, on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_all(int on) {
    return orvane::guarded([&] { return rt().set_output_all(on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_get_type(void) {
    return orvane::guarded([] { return rt().get_type(); });
}

ORVANE_API int ORVANE_CALL orvane_get_acc_time(int axis, double* time) {
    return orvane::c_ops::get_acc_time(rt(), axis, time);
}

ORVANE_API int ORVANE_CALL orvane_get_axis_rotation(int axis, int* flag) {
    return orvane::c_ops::get_axis_rotation(rt(), axis, flag);
}

ORVANE_API int ORVANE_CALL orvane_get_fly(int* first, int* second, int* third) {
    return orvane::c_ops::get_fly(rt(), first, second, third);
}

ORVANE_API int ORVANE_CALL orvane_get_fly_pos(double* positions, size_t capacity) {
    return orvane::c_ops::get_fly_pos(rt(), positions, capacity);
}

ORVANE_API int ORVANE_CALL orvane_get_home_state(int axis, int* state) {
    return orvane::c_ops::get_home_state(rt(), axis, state);
}

ORVANE_API int ORVANE_CALL orvane_get_input_bit(int input, int* level) {
    return orvane::c_ops::get_input_bit(rt(), input, level);
}

ORVANE_API int ORVANE_CALL orvane_get_input_bits(int levels[24]) {
    return orvane::c_ops::get_input_bits(rt(), levels);
}

ORVANE_API int ORVANE_CALL orvane_get_soft_limits(int axis, double* left, double* right) {
    return orvane::c_ops::get_soft_limits(rt(), axis, left, right);
}

ORVANE_API int ORVANE_CALL orvane_get_max_speed(int axis, int* speed) {
    return orvane::c_ops::get_max_speed(rt(), axis, speed);
}

ORVANE_API int ORVANE_CALL orvane_get_move_state(int axis, int* state) {
    return orvane::c_ops::get_move_state(rt(), axis, state);
}

ORVANE_API int ORVANE_CALL orvane_get_pos(double positions[6]) {
    return orvane::c_ops::get_pos(rt(), positions);
}

}  // extern "C"
