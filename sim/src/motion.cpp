#include "motion.h"

#include <algorithm>
#include <cmath>

namespace orvane::sim {

namespace {
constexpr double tiny_distance = 1e-12;
constexpr double shortest_acc_time = 1e-6;

double sign(double v) { return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 0.0); }
}  // namespace

double acceleration_for(double speed, double acc_time) {
    return speed / std::max(acc_time, shortest_acc_time);
}

void AxisMotion::move_to(double now, double target, double speed, double acceleration, Goal goal) {
    advance(now);
    plan_from_current(now, target, speed, acceleration);
    goal_ = goal;
    active_ = true;
}

void AxisMotion::plan_from_current(double now, double target, double speed, double a) {
    phases_.clear();
    start_time_ = now;
    start_position_ = position_;
    start_velocity_ = velocity_;
    end_position_ = target;
    acceleration_ = a;

    double p = position_;
    double v = velocity_;
    double distance = target - p;
    double direction = sign(distance);

    // Moving away from the target, or too fast to stop in time: brake first.
    if (v != 0.0 && (direction != sign(v) || v * v / (2.0 * a) > std::fabs(distance))) {
        const double t = std::fabs(v) / a;
        phases_.push_back({t, -sign(v) * a});
        p += v * t / 2.0;
        v = 0.0;
        distance = target - p;
        direction = sign(distance);
    }
    if (std::fabs(distance) < tiny_distance) return;

    double along = std::fabs(v);  // speed towards the target
    double remaining = std::fabs(distance);
    if (along > speed) {
        const double t = (along - speed) / a;
        phases_.push_back({t, -direction * a});
        remaining -= (along + speed) / 2.0 * t;
        along = speed;
    }
    // Peak speed of accelerate-then-brake over the remaining distance.
    const double peak = std::sqrt((2.0 * a * remaining + along * along) / 2.0);
    if (peak > speed) {
        const double t_up = (speed - along) / a;
        const double d_up = (speed * speed - along * along) / (2.0 * a);
        const double d_down = speed * speed / (2.0 * a);
        const double cruise = std::max(0.0, remaining - d_up - d_down);
        if (t_up > 0.0) phases_.push_back({t_up, direction * a});
        phases_.push_back({cruise / speed, 0.0});
        phases_.push_back({speed / a, -direction * a});
    } else {
        if (peak > along) phases_.push_back({(peak - along) / a, direction * a});
        phases_.push_back({peak / a, -direction * a});
    }
}

void AxisMotion::decelerate(double now) {
    advance(now);
    if (!active_) return;
    if (velocity_ == 0.0) {
        halt(now);
        return;
    }
    const double a = acceleration_ > 0.0 ? acceleration_ : std::fabs(velocity_) / shortest_acc_time;
    const double t = std::fabs(velocity_) / a;
    phases_.assign(1, Phase{t, -sign(velocity_) * a});
    start_time_ = now;
    start_position_ = position_;
    start_velocity_ = velocity_;
    end_position_ = position_ + velocity_ * t / 2.0;
    goal_ = Goal::stop;
}

void AxisMotion::halt(double now) {
    advance(now);
    active_ = false;
    velocity_ = 0.0;
    phases_.clear();
    goal_ = Goal::none;
}

void AxisMotion::set_position(double now, double position) {
    halt(now);
    position_ = position;
}

double AxisMotion::end_time() const {
    double t = start_time_;
    for (const Phase& phase : phases_) t += phase.duration;
    return t;
}

void AxisMotion::evaluate(double t, double& position, double& velocity) const {
    if (t >= end_time()) {
        position = end_position_;
        velocity = 0.0;
        return;
    }
    double left = std::max(0.0, t - start_time_);
    double p = start_position_;
    double v = start_velocity_;
    for (const Phase& phase : phases_) {
        const double d = std::min(left, phase.duration);
        p += v * d + 0.5 * phase.acceleration * d * d;
        v += phase.acceleration * d;
        left -= d;
        if (left <= 0.0) break;
    }
    position = p;
    velocity = v;
}

AxisMotion::Goal AxisMotion::advance(double t) {
    if (t < time_) return Goal::none;
    time_ = t;
    if (!active_) return Goal::none;
    evaluate(t, position_, velocity_);
    if (t < end_time()) return Goal::none;
    const Goal done = goal_;
    active_ = false;
    goal_ = Goal::none;
    velocity_ = 0.0;
    phases_.clear();
    return done;
}

double AxisMotion::position_at(double t) const {
    if (!active_ || t <= time_) return position_;
    double p = 0.0;
    double v = 0.0;
    evaluate(t, p, v);
    return p;
}

bool AxisMotion::moving_at(double t) const {
    if (!active_) return false;
    return std::max(t, time_) < end_time();
}

bool AxisMotion::completes_by(double t) const { return active_ && std::max(t, time_) >= end_time(); }

}  // namespace orvane::sim
