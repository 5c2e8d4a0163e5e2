// The C interface: the exports with C linkage, on the same process-wide
// Runtime as the C++ ones. Only the shape of parameters and results differs.
#include <orvane/orvane_c.h>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "api/process_runtime.h"
#include "orvane_build_config.h"

namespace {

// The last conversion error of orvane_cmd on this thread. A plain array:
// thread-local objects with destructors are costly (and fragile at thread
// exit) inside a DLL.
constexpr std::size_t error_capacity = 128;
thread_local char last_error_text[error_capacity] = "";

void remember_error(const char* what) {
    std::size_t n = std::strlen(what);
    if (n >= error_capacity) n = error_capacity - 1;
    std::memcpy(last_error_text, what, n);
    last_error_text[n] = '\0';
}

// Codes whose result is the text: appended to the caller's (1, 2, 4) or
// replacing it (the others).
bool gives_text(int code) {
    switch (code) {
        case 1:
        case 2:
        case 4:
        case 102:
        case 103:
        case 2001:
        case 5010:
            return true;
        default:
            return false;
    }
}

int as_int(bool value) {
    return value ? 1 : 0;
}

}  // namespace

extern "C" {

ORVANE_API const char* ORVANE_CALL orvane_version(void) {
    return ORVANE_VERSION;
}

ORVANE_API const char* ORVANE_CALL orvane_last_error(void) {
    return last_error_text;
}

ORVANE_API int ORVANE_CALL orvane_initial(void) {
    return orvane::guarded([&] { return orvane::process_runtime().initial(); });
}

ORVANE_API int ORVANE_CALL orvane_close(void) {
    return orvane::guarded([&] { return orvane::process_runtime().close(); });
}

ORVANE_API int ORVANE_CALL orvane_is_connect(void) {
    return orvane::guarded([&] { return orvane::process_runtime().is_connect(); });
}

ORVANE_API int ORVANE_CALL orvane_cmd(int code, int axis, const char* text_in, char* text_out, size_t capacity,
                                      size_t* needed) {
    last_error_text[0] = '\0';
    if (text_in == nullptr) return 0;
    const bool text_code = gives_text(code);
    if (text_code && text_out == nullptr && capacity != 0) return 0;
    try {
        std::string text(text_in);
        const int result = orvane::process_runtime().cmd(code, axis, text);
        if (!text_code || result != 1) return result;
        if (needed != nullptr) *needed = text.size() + 1;
        if (text.size() >= capacity) {
            // Nothing partial: a cut-off list of numbers would read as a
            // shorter, valid one.
            if (capacity > 0) text_out[0] = '\0';
            return ORVANE_E_BUFFER_TOO_SMALL;
        }
        std::memcpy(text_out, text.c_str(), text.size() + 1);
        return result;
    } catch (const std::invalid_argument& e) {
        remember_error(e.what());
        return ORVANE_E_INVALID_ARGUMENT;
    } catch (const std::out_of_range& e) {
        remember_error(e.what());
        return ORVANE_E_OUT_OF_RANGE;
    } catch (...) {
        return 0;
    }
}

ORVANE_API int ORVANE_CALL orvane_set_speed(int axis, float speed) {
    return orvane::guarded([&] { return orvane::process_runtime().set_speed(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_single_move_to(int axis, double position) {
    return orvane::guarded([&] { return orvane::process_runtime().single_move_to(axis, position); });
}

ORVANE_API int ORVANE_CALL orvane_xyz_move_to(double x, double y, double z) {
    return orvane::guarded([&] { return orvane::process_runtime().xyz_move_to(x, y, z); });
}

ORVANE_API int ORVANE_CALL orvane_go_home(int axis, float speed) {
    return orvane::guarded([&] { return orvane::process_runtime().go_home(axis, speed); });
}

ORVANE_API int ORVANE_CALL orvane_jog_move(int axis, int direction) {
    return orvane::guarded([&] { return orvane::process_runtime().jog_move(axis, direction != 0); });
}

ORVANE_API int ORVANE_CALL orvane_stop(int axis, int mode) {
    return orvane::guarded([&] { return orvane::process_runtime().stop(axis, mode); });
}

ORVANE_API int ORVANE_CALL orvane_zero(int axis) {
    return orvane::guarded([&] { return orvane::process_runtime().zero(axis); });
}

ORVANE_API int ORVANE_CALL orvane_set_fly(int first, int second, int third) {
    return orvane::guarded([&] { return orvane::process_runtime().set_fly(first, second, third); });
}

ORVANE_API int ORVANE_CALL orvane_start_fly(int first, int second) {
    return orvane::guarded([&] { return orvane::process_runtime().start_fly(first, second); });
}

ORVANE_API int ORVANE_CALL orvane_trim_fly(int value) {
    return orvane::guarded([&] { return orvane::process_runtime().trim_fly(value); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_value(int output, int value) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_value(output, value); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_on(int output, int on) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_on(output, on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_set_output_all(int on) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_all(on != 0); });
}

ORVANE_API int ORVANE_CALL orvane_get_type(void) {
    return orvane::guarded([&] { return orvane::process_runtime().get_type(); });
}

ORVANE_API int ORVANE_CALL orvane_get_acc_time(int axis, double* time) {
    if (time == nullptr) return 0;
    return orvane::guarded([&] { return orvane::process_runtime().get_acc_time(axis, *time); });
}

ORVANE_API int ORVANE_CALL orvane_get_axis_rotation(int axis, int* flag) {
    if (flag == nullptr) return 0;
    return orvane::guarded([&] {
        bool value = false;
        const int result = orvane::process_runtime().get_axis_rotation(axis, value);
        if (result == 1) *flag = as_int(value);
        return result;
    });
}

ORVANE_API int ORVANE_CALL orvane_get_fly(int* first, int* second, int* third) {
    if (first == nullptr || second == nullptr || third == nullptr) return 0;
    return orvane::guarded([&] { return orvane::process_runtime().get_fly(*first, *second, *third); });
}

ORVANE_API int ORVANE_CALL orvane_get_fly_pos(double* positions, size_t capacity) {
    if (positions == nullptr && capacity != 0) return 0;
    return orvane::guarded([&] {
        // One snapshot: the count returned is the count of what was copied
        // from, so a caller can tell whether its array held everything.
        const std::size_t held = orvane::process_runtime().mirror().fly_positions.copy_to(positions, capacity);
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(held < most ? held : most);
    });
}

ORVANE_API int ORVANE_CALL orvane_get_home_state(int axis, int* state) {
    if (state == nullptr) return 0;
    return orvane::guarded([&] {
        bool value = false;
        const int result = orvane::process_runtime().get_home_state(axis, value);
        if (result == 1) *state = as_int(value);
        return result;
    });
}

ORVANE_API int ORVANE_CALL orvane_get_input_bit(int input, int* level) {
    if (level == nullptr) return 0;
    return orvane::guarded([&] {
        bool value = false;
        const int result = orvane::process_runtime().get_input_bit(input, value);
        if (result == 1) *level = as_int(value);
        return result;
    });
}

ORVANE_API int ORVANE_CALL orvane_get_input_bits(int levels[24]) {
    if (levels == nullptr) return 0;
    return orvane::guarded([&] {
        bool values[orvane::io_total] = {};
        const int result = orvane::process_runtime().get_input_bits(values);
        if (result == 1) {
            for (int i = 0; i < orvane::io_total; ++i) levels[i] = as_int(values[i]);
        }
        return result;
    });
}

ORVANE_API int ORVANE_CALL orvane_get_soft_limits(int axis, double* left, double* right) {
    if (left == nullptr || right == nullptr) return 0;
    return orvane::guarded([&] { return orvane::process_runtime().get_soft_limits(axis, *left, *right); });
}

ORVANE_API int ORVANE_CALL orvane_get_max_speed(int axis, int* speed) {
    if (speed == nullptr) return 0;
    return orvane::guarded([&] { return orvane::process_runtime().get_max_speed(axis, *speed); });
}

ORVANE_API int ORVANE_CALL orvane_get_move_state(int axis, int* state) {
    if (state == nullptr) return 0;
    return orvane::guarded([&] {
        bool value = false;
        const int result = orvane::process_runtime().get_move_state(axis, value);
        if (result == 1) *state = as_int(value);
        return result;
    });
}

ORVANE_API int ORVANE_CALL orvane_get_pos(double positions[6]) {
    if (positions == nullptr) return 0;
    return orvane::guarded([&] { return orvane::process_runtime().get_pos(positions); });
}

}  // extern "C"
