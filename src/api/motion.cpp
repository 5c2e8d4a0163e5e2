// Point-to-point motion: speeds, single-axis moves and the coordinated move
// of axes 0 to 2.
#include <orvane/orvane.h>

#include <cmath>

#include "api/number_format.h"
#include "api/process_runtime.h"

namespace orvane {

namespace {
constexpr float speed_limit_while_moving = 100.0f;

// Trapezoid or triangle: the time the dominant axis needs for distance at
// speed with the given acceleration time.
double profile_time(double distance, double speed, double acc_time) {
    const double acceleration = speed / acc_time;
    const double ta = speed / acceleration;
    const double da = 0.5 * acceleration * ta * ta;
    if (2.0 * da > distance) return 2.0 * (std::sqrt(acceleration * distance) / acceleration);
    return ta + (distance - 2.0 * da) / speed + ta;
}

// A speed that cannot be computed goes out as 0.0, never as nan or inf.
double sendable(double speed) {
    return std::isfinite(speed) ? speed : 0.0;
}
}  // namespace

int Runtime::set_speed(int axis, float speed) {
    if (!connected() || !any_axis(axis)) return 0;
    if (speed == 0.0f) return 0;
    mirror_.axis_speed[static_cast<std::size_t>(axis)].set(std::fabs(speed));
    return 1;
}

int Runtime::single_move_to(int axis, double position) {
    if (!connected() || !existing_axis(axis)) return 0;
    // A target that is not a number must never reach a motion controller.
    if (!std::isfinite(position)) return 0;
    const auto a = static_cast<std::size_t>(axis);
    if (!mirror_.axis_state_bits[2 * a].get() && mirror_.axis_speed[a].get() > speed_limit_while_moving) {
        mirror_.axis_speed[a].set(speed_limit_while_moving);
    }
    queue(CommandText("160")
              .integer(axis)
              .one_decimal(static_cast<double>(mirror_.axis_speed[a].get()))
              .six_decimal(position)
              .finish());
    mirror_.axis_state_bits[2 * a].set(false);
    mirror_.start_state_hold_off();
    return 1;
}

int Runtime::xyz_move_to(double x, double y, double z) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return 0;
    const double targets[3] = {x, y, z};
    double distance[3];
    double acc_time[3];
    for (std::size_t i = 0; i < 3; ++i) {
        distance[i] = std::fabs(targets[i] - static_cast<double>(mirror_.axis_pos[i].get()));
        acc_time[i] = static_cast<double>(mirror_.axis_params[i].float_field(field::acc_time));
    }
    std::size_t dominant = 0;
    for (std::size_t i = 1; i < 3; ++i) {
        if (distance[i] > distance[dominant]) dominant = i;
    }
    double speed = static_cast<double>(mirror_.axis_speed[dominant].get());
    if (!mirror_.axis_state_bits[2 * dominant].get() && speed > speed_limit_while_moving) {
        speed = speed_limit_while_moving;
    }
    const double total_time = profile_time(distance[dominant], speed, acc_time[dominant]);

    CommandText command("161");
    for (std::size_t i = 0; i < 3; ++i) {
        double axis_speed = 0.0;
        if (distance[i] >= 1e-12) {
            axis_speed = total_time >= 2.0 * acc_time[i] ? distance[i] / (total_time - acc_time[i])
                                                         : 2.0 * distance[i] / total_time;
        }
        command.one_decimal(sendable(axis_speed));
    }
    for (double target : targets) command.six_decimal(target);
    queue(command.finish());
    mirror_.axis_state_bits[0].set(false);
    mirror_.axis_state_bits[2].set(false);
    mirror_.axis_state_bits[4].set(false);
    mirror_.start_state_hold_off();
    return 1;
}

}  // namespace orvane

ORVANE_API int Orvane_set_speed(int axis, float speed) {
    return orvane::guarded([&] { return orvane::process_runtime().set_speed(axis, speed); });
}

ORVANE_API int Orvane_single_move_to(int axis, double position) {
    return orvane::guarded([&] { return orvane::process_runtime().single_move_to(axis, position); });
}

ORVANE_API int Orvane_xyz_move_to(double x, double y, double z) {
    return orvane::guarded([&] { return orvane::process_runtime().xyz_move_to(x, y, z); });
}
