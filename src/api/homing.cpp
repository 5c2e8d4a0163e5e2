// Homing, jogging, stopping and zeroing single axes.
#include <orvane/orvane.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "api/number_format.h"
#include "api/process_runtime.h"

namespace orvane {

namespace {
constexpr float slowest_speed = 0.1f;
}

int Runtime::go_home(int axis, float speed) {
    if (!connected() || !existing_axis(axis)) return 0;
    const auto a = static_cast<std::size_t>(axis);
    mirror_.axis_state_bits[2 * a + 1].set(false);
    double home_speed = static_cast<double>(speed);
    // A speed that is not a number (or infinite) is no speed at all.
    if (home_speed < 0.1 || !std::isfinite(home_speed))
        home_speed = static_cast<double>(mirror_.axis_params[a].float_field(field::home_speed));
    queue(CommandText("130").integer(axis).six_decimal(home_speed).finish());
    // Gives the poll loop time to send the homing command before whatever
    // the caller does next.
    std::this_thread::sleep_for(std::chrono::milliseconds(config_.home_pause_ms));
    return 1;
}

int Runtime::jog_move(int axis, bool direction) {
    if (!connected() || !existing_axis(axis)) return 0;
    const auto a = static_cast<std::size_t>(axis);
    if (static_cast<double>(mirror_.axis_speed[a].get()) < 0.1) mirror_.axis_speed[a].set(slowest_speed);
    queue(CommandText("150")
              .integer(axis)
              .one_decimal(static_cast<double>(mirror_.axis_speed[a].get()))
              .integer(direction ? 1 : 0)
              .finish());
    return 1;
}

int Runtime::stop(int axis, int mode) {
    // Stopping is accepted for every axis the controller can have, whatever
    // its type; anything outside 0..5 is not an axis at all.
    if (!connected() || !any_axis(axis)) return 0;
    queue(CommandText("140").integer(axis).integer(mode).finish());
    return 1;
}

int Runtime::zero(int axis) {
    if (!connected() || !existing_axis(axis)) return 0;
    queue(CommandText("170").integer(axis).finish());
    return 1;
}

}  // namespace orvane

ORVANE_API int Orvane_go_home(int axis, float speed) {
    return orvane::guarded([&] { return orvane::process_runtime().go_home(axis, speed); });
}

ORVANE_API int Orvane_jog_move(int axis, bool direction) {
    return orvane::guarded([&] { return orvane::process_runtime().jog_move(axis, direction); });
}

ORVANE_API int Orvane_stop(int axis, int mode) {
    return orvane::guarded([&] { return orvane::process_runtime().stop(axis, mode); });
}

ORVANE_API int Orvane_zero(int axis) {
    return orvane::guarded([&] { return orvane::process_runtime().zero(axis); });
}
