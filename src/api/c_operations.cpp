#include "api/c_operations.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "api/numbered_command.h"
#include "api/process_runtime.h"

namespace orvane::c_ops {

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

int as_int(bool value) { return value ? 1 : 0; }

// A query with a bool result, given to C as 0 or 1 (written only on success).
template <class Query>
int bool_result(int* out, Query&& query) {
    if (out == nullptr) return 0;
    return guarded([&] {
        bool value = false;
        const int result = query(value);
        if (result == 1) *out = as_int(value);
        return result;
    });
}

}  // namespace

const char* last_error() { return last_error_text; }

int cmd(Runtime& rt, int code, int axis, const char* text_in, char* text_out, std::size_t capacity,
        std::size_t* needed) {
    last_error_text[0] = '\0';
    if (text_in == nullptr) return 0;
    const bool text_code = gives_text(find_numbered_code(code));
    if (text_code && text_out == nullptr && capacity != 0) return 0;
    try {
        std::string text(text_in);
        const int result = rt.cmd(code, axis, text);
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

int get_acc_time(Runtime& rt, int axis, double* time) {
    if (time == nullptr) return 0;
    return guarded([&] { return rt.get_acc_time(axis, *time); });
}

int get_axis_rotation(Runtime& rt, int axis, int* flag) {
    return bool_result(flag, [&](bool& value) { return rt.get_axis_rotation(axis, value); });
}

int get_fly(Runtime& rt, int* first, int* second, int* third) {
    if (first == nullptr || second == nullptr || third == nullptr) return 0;
    return guarded([&] { return rt.get_fly(*first, *second, *third); });
}

int get_fly_pos(Runtime& rt, double* positions, std::size_t capacity) {
    if (positions == nullptr && capacity != 0) return 0;
    return guarded([&] {
        // One snapshot: the count returned is the count of what was copied
        // from, so a caller can tell whether its array held everything.
        const std::size_t held = rt.copy_fly_positions(positions, capacity);
        constexpr auto most = static_cast<std::size_t>(std::numeric_limits<int>::max());
        return static_cast<int>(held < most ? held : most);
    });
}

int get_home_state(Runtime& rt, int axis, int* state) {
    return bool_result(state, [&](bool& value) { return rt.get_home_state(axis, value); });
}

int get_input_bit(Runtime& rt, int input, int* level) {
    return bool_result(level, [&](bool& value) { return rt.get_input_bit(input, value); });
}

int get_input_bits(Runtime& rt, int* levels) {
    if (levels == nullptr) return 0;
    return guarded([&] {
        bool values[io_total] = {};
        const int result = rt.get_input_bits(values);
        if (result == 1) {
            for (int i = 0; i < io_total; ++i) levels[i] = as_int(values[i]);
        }
        return result;
    });
}

int get_soft_limits(Runtime& rt, int axis, double* left, double* right) {
    if (left == nullptr || right == nullptr) return 0;
    return guarded([&] { return rt.get_soft_limits(axis, *left, *right); });
}

int get_max_speed(Runtime& rt, int axis, int* speed) {
    if (speed == nullptr) return 0;
    return guarded([&] { return rt.get_max_speed(axis, *speed); });
}

int get_move_state(Runtime& rt, int axis, int* state) {
    return bool_result(state, [&](bool& value) { return rt.get_move_state(axis, value); });
}

int get_pos(Runtime& rt, double* positions) {
    if (positions == nullptr) return 0;
    return guarded([&] { return rt.get_pos(positions); });
}

LogHandler log_handler(orvane_log_handler handler, void* user_data) {
    if (handler == nullptr) return {};
    return [handler, user_data](MessageLevel level, const std::string& text) {
        handler(user_data, static_cast<int>(level), text.c_str());
    };
}

}  // namespace orvane::c_ops
