// Status queries: every answer comes from the mirror at once.
#include <orvane/orvane.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "api/process_runtime.h"

namespace orvane {

namespace {
// The count of the last counting call (null pointer) on this thread, so a
// caller that sized its array from it is not overrun by a list that grew in
// between. -1: no counting call pending.
struct PendingCount {
    const void* runtime = nullptr;
    long long count = -1;
};
thread_local PendingCount last_count;

int truncate_to_int(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483648.0f) return std::numeric_limits<int>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}
}  // namespace

int Runtime::get_type() const {
    return mirror_.connected.load() ? mirror_.type_code.get() : 0;
}

int Runtime::get_acc_time(int axis, double& time) const {
    if (!connected() || !any_axis(axis)) return 0;
    time = static_cast<double>(mirror_.axis_params[static_cast<std::size_t>(axis)].float_field(field::acc_time));
    return 1;
}

int Runtime::get_axis_rotation(int axis, bool& flag) const {
    if (!connected() || !existing_axis(axis)) return 0;
    flag = mirror_.axis_params[static_cast<std::size_t>(axis)].int_field(field::axis_rotation) != 0;
    return 1;
}

int Runtime::get_fly(int& first, int& second, int& third) const {
    first = mirror_.fly_counters[0].get();
    second = mirror_.fly_counters[1].get();
    third = mirror_.fly_counters[2].get();
    return 1;
}

int Runtime::get_fly_pos(double* positions) const {
    if (positions == nullptr) {
        const std::size_t n = mirror_.fly_positions.size();
        last_count = {this, static_cast<long long>(n)};
        return static_cast<int>(n);
    }
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    if (last_count.runtime == this && last_count.count >= 0) limit = static_cast<std::size_t>(last_count.count);
    last_count = {};
    const std::size_t held = mirror_.fly_positions.copy_to(positions, limit);
    if (held == 0) return 0;
    return static_cast<int>(held < limit ? held : limit);
}

std::size_t Runtime::copy_fly_positions(double* positions, std::size_t capacity) const {
    return mirror_.fly_positions.copy_to(positions, capacity);
}

int Runtime::get_home_state(int axis, bool& state) const {
    if (!connected() || !any_axis(axis)) return 0;
    state = mirror_.axis_state_bits[2 * static_cast<std::size_t>(axis) + 1].get();
    return 1;
}

int Runtime::get_input_bit(int input, bool& level) const {
    // All 24 inputs exist; the array form delivers them all too.
    if (!connected() || !io_number(input)) return 0;
    level = mirror_.input_bits[static_cast<std::size_t>(input - 1)].get();
    return 1;
}

int Runtime::get_input_bits(bool* levels) const {
    if (!connected() || levels == nullptr) return 0;
    for (std::size_t i = 0; i < io_total; ++i) levels[i] = mirror_.input_bits[i].get();
    return 1;
}

int Runtime::get_soft_limits(int axis, double& left, double& right) const {
    if (!any_axis(axis)) return 0;
    const SharedAxisParams& p = mirror_.axis_params[static_cast<std::size_t>(axis)];
    const float margin = p.float_field(field::soft_limit_margin);
    left = static_cast<double>(p.float_field(field::left_soft_limit) + margin);
    right = static_cast<double>(p.float_field(field::right_soft_limit) - margin);
    return 1;
}

int Runtime::get_max_speed(int axis, int& speed) const {
    if (!connected() || !any_axis(axis)) return 0;
    speed = truncate_to_int(mirror_.axis_params[static_cast<std::size_t>(axis)].float_field(field::max_speed));
    return 1;
}

int Runtime::get_move_state(int axis, bool& state) const {
    if (!connected() || !any_axis(axis)) return 0;
    state = mirror_.axis_state_bits[2 * static_cast<std::size_t>(axis)].get();
    return 1;
}

int Runtime::get_pos(double* positions) const {
    if (!connected() || positions == nullptr) return 0;
    for (std::size_t i = 0; i < axis_total; ++i) positions[i] = static_cast<double>(mirror_.axis_pos[i].get());
    return 1;
}

}  // namespace orvane

ORVANE_API int Orvane_get_Type() {
    return orvane::guarded([&] { return orvane::process_runtime().get_type(); });
}

ORVANE_API int Orvane_get_acc_time(int axis, double& time) {
    return orvane::guarded([&] { return orvane::process_runtime().get_acc_time(axis, time); });
}

ORVANE_API int Orvane_get_aixs_rotation(int axis, bool& flag) {
    return orvane::guarded([&] { return orvane::process_runtime().get_axis_rotation(axis, flag); });
}

ORVANE_API int Orvane_get_fly(int& first, int& second, int& third) {
    return orvane::guarded([&] { return orvane::process_runtime().get_fly(first, second, third); });
}

ORVANE_API int Orvane_get_fly_pos(double* positions) {
    return orvane::guarded([&] { return orvane::process_runtime().get_fly_pos(positions); });
}

ORVANE_API int Orvane_get_home_state(int axis, bool& state) {
    return orvane::guarded([&] { return orvane::process_runtime().get_home_state(axis, state); });
}

ORVANE_API int Orvane_get_input_bit(int input, bool& level) {
    return orvane::guarded([&] { return orvane::process_runtime().get_input_bit(input, level); });
}

ORVANE_API int Orvane_get_input_bit(bool* levels) {
    return orvane::guarded([&] { return orvane::process_runtime().get_input_bits(levels); });
}

ORVANE_API int Orvane_get_leftRight_softLimit(int axis, double& left, double& right) {
    return orvane::guarded([&] { return orvane::process_runtime().get_soft_limits(axis, left, right); });
}

ORVANE_API int Orvane_get_max_speed(int axis, int& speed) {
    return orvane::guarded([&] { return orvane::process_runtime().get_max_speed(axis, speed); });
}

ORVANE_API int Orvane_get_move_state(int axis, bool& state) {
    return orvane::guarded([&] { return orvane::process_runtime().get_move_state(axis, state); });
}

ORVANE_API int Orvane_get_pos(double* positions) {
    return orvane::guarded([&] { return orvane::process_runtime().get_pos(positions); });
}
