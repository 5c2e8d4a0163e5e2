// Motion of one axis: trapezoidal (or, for short distances, triangular)
// speed profiles with a constant acceleration, planned from whatever speed
// the axis has at the moment of the command. Times are in seconds, positions
// in units of travel, speeds in units per second.
#pragma once

#include <vector>

namespace orvane::sim {

class AxisMotion {
public:
    // What the present motion is for; reported once when it completes.
    enum class Goal { none, move, jog, home, stop };

    // Moves to target, cruising at speed (> 0) with the given acceleration
    // (> 0). An axis already moving is braked or reversed as needed.
    void move_to(double now, double target, double speed, double acceleration, Goal goal);
    // Brakes to a standstill with the acceleration of the present motion.
    void decelerate(double now);
    // Stops at once where the axis is.
    void halt(double now);
    // Stops and puts the axis at position.
    void set_position(double now, double position);

    // Brings the axis to time t (never backwards). Returns the goal of a
    // motion that completed on the way, Goal::none otherwise.
    Goal advance(double t);

    double position() const { return position_; }
    // Under way as of the last advance (a motion that has not completed).
    bool moving() const { return active_; }
    Goal goal() const { return active_ ? goal_ : Goal::none; }

    // The state at a later time t, without changing anything.
    double position_at(double t) const;
    bool moving_at(double t) const;
    // True when the active motion has completed by time t.
    bool completes_by(double t) const;

private:
    struct Phase {
        double duration;
        double acceleration;
    };
    void plan_from_current(double now, double target, double speed, double acceleration);
    void evaluate(double t, double& position, double& velocity) const;
    double end_time() const;

    double time_ = 0.0;  // time of position_ and velocity_
    double position_ = 0.0;
    double velocity_ = 0.0;

    bool active_ = false;
    Goal goal_ = Goal::none;
    double start_time_ = 0.0;
    double start_position_ = 0.0;
    double start_velocity_ = 0.0;
    double end_position_ = 0.0;
    double acceleration_ = 0.0;  // magnitude, for braking
    std::vector<Phase> phases_;
};

// Acceleration that reaches speed in acc_time (an acc_time of 0 or less
// changes speed at once).
double acceleration_for(double speed, double acc_time);

}  // namespace orvane::sim
