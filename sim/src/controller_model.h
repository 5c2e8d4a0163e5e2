// The simulated controller itself: axes, parameters, inputs, outputs, fly
// capture, and what it answers to each received line. Not thread-safe: the
// simulator holds its state lock around every call.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "fly.h"
#include "motion.h"
#include "orvane_sim/simulator.h"
#include "protocol.h"

namespace orvane::sim {

// A line the controller wants to send, without its line feed.
struct Reply {
    std::string text;
    bool raw_answer = false;  // a "5010" answer (may be held back further)
};

class ControllerModel {
public:
    static constexpr int axes = 6;
    static constexpr int ios = 24;

    ControllerModel(int controller_type, std::string version, const std::array<bool, ios>& inputs);

    // Applies one received line (without its line feed) at time now
    // (seconds): the command texts it held are appended to commands, the
    // answers to replies.
    void handle_line(std::string_view line, double now, std::vector<std::string>& commands, std::vector<Reply>& replies);
    // Brings motion and fly capture up to now; fly reports made on the way
    // are appended to replies.
    void update(double now, std::vector<Reply>& replies);

    // Replies, from the state as of the last update.
    std::string status_line() const;
    std::string levels_reply() const;
    std::string params_reply() const;
    std::string version_reply() const;

    // Read-outs at time now, changing nothing.
    double position_at(int axis, double now) const;
    bool moving_at(int axis, double now) const;
    bool homed_at(int axis, double now) const;

    void set_position(int axis, double position, double now);
    void set_input(int index, bool level) { inputs_[static_cast<std::size_t>(index)] = level; }
    bool input(int index) const { return inputs_[static_cast<std::size_t>(index)]; }
    int output_value(int index) const { return outputs_[static_cast<std::size_t>(index)]; }
    int output_level(int index) const { return levels_[static_cast<std::size_t>(index)]; }
    void set_output_level(int index, int level) { levels_[static_cast<std::size_t>(index)] = level; }
    int controller_type() const { return type_; }
    int axis_count() const { return type_ == 1 ? 3 : 6; }
    const AxisRecord& record(int axis) const { return records_[static_cast<std::size_t>(axis)]; }
    void set_record(int axis, const AxisRecord& record) { records_[static_cast<std::size_t>(axis)] = record; }
    void set_version(std::string version) { version_ = std::move(version); }
    const FlyCapture& fly() const { return fly_; }

    // Counts of a position of an axis under its present parameters.
    std::int32_t pulse_count(int axis, double position) const;
    std::int32_t encoder_count(int axis, double position) const;

private:
    struct Axis {
        AxisMotion motion;
        bool homed = false;
    };

    // False for a command that is not known or not well formed.
    bool apply_command(const protocol::Piece& piece, double now);
    bool apply_output_frame(std::string_view payload);
    bool apply_params(const std::vector<std::string_view>& fields);
    bool apply_levels(std::string_view payload);
    // Motion commands; axis already checked.
    void move(int axis, double now, double target, double speed, AxisMotion::Goal goal);
    void home(int axis, double now, double speed);
    void jog(int axis, double now, double speed, bool positive);
    bool motion_axis(std::int64_t axis) const { return axis >= 0 && axis < axis_count(); }
    // Target held inside the soft limits, never further out than the axis is.
    double limited_target(int axis, double target) const;
    std::string fly_report() const;
    std::string io_text() const;

    int type_;
    std::string version_;
    std::array<Axis, axes> axes_{};
    std::array<AxisRecord, axes> records_{};
    std::array<bool, ios> inputs_{};
    std::array<int, ios> outputs_{};
    std::array<int, ios> levels_{};
    FlyCapture fly_;
    bool pending_report_ = false;  // a fly report is to go out with the next update
};

}  // namespace orvane::sim
