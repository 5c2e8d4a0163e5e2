#include "controller_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvane::sim {

namespace {
// Piecewise appends: g++ 12 warns falsely (-Wrestrict) on "," + std::string.
template <class Number>
void append_field(std::string& line, Number value) {
    line += ',';
    line += std::to_string(value);
}
}  // namespace

using protocol::parse_double;
using protocol::parse_int;
using protocol::PieceKind;
using protocol::split_fields;

namespace {
// Parses every field as a number; false when one is not.
template <typename T, typename Parse>
bool parse_all(const std::vector<std::string_view>& fields, std::vector<T>& values, Parse parse) {
    values.resize(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!parse(fields[i], values[i])) return false;
    }
    return true;
}

int clamp_int(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, -2147483647 - 1, 2147483647));
}

// Speeds travel as magnitudes; a speed of 0 (or no number) starts nothing.
bool usable_speed(double speed) { return std::isfinite(speed) && speed != 0.0; }
}  // namespace

ControllerModel::ControllerModel(int controller_type, std::string version, const std::array<bool, ios>& inputs)
    : type_(controller_type), version_(std::move(version)), inputs_(inputs) {
    levels_.fill(1);
}

void ControllerModel::handle_line(std::string_view line, double now, std::vector<std::string>& commands,
                                  std::vector<Reply>& replies) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // typed by hand
    if (line.empty()) return;
    update(now, replies);

    bool raw = false;
    for (const protocol::Piece& piece : protocol::split_line(line)) {
        commands.emplace_back(piece.text);
        switch (piece.kind) {
            case PieceKind::poll:
                if (piece.code == "190") replies.push_back({levels_reply()});
                if (piece.code == "125") replies.push_back({params_reply()});
                if (piece.code == "2001") replies.push_back({version_reply()});
                break;
            case PieceKind::output_frame:
                if (!apply_output_frame(piece.payload)) raw = true;
                break;
            case PieceKind::command:
                if (!apply_command(piece, now)) raw = true;
                break;
            case PieceKind::unknown:
                raw = true;
                break;
        }
    }
    // The client drops reply lines that hold a second ":".
    if (raw) replies.push_back({"5010:echo " + protocol::replace_all(line, ':', ';'), true});
    // A zero-length motion (already at its target) completes at once.
    update(now, replies);
}

bool ControllerModel::apply_command(const protocol::Piece& piece, double now) {
    const std::string_view code = piece.code;
    // Commands passed on without a meaning here: recorded only.
    if (code == "200" || code == "210" || code == "2000" || code == "6000") return true;
    if (code == "180") return apply_levels(piece.payload);

    const std::vector<std::string_view> fields = split_fields(piece.payload);
    if (code == "120") return apply_params(fields);

    std::vector<double> v;
    if (!parse_all(fields, v, [](std::string_view f, double& out) { return parse_double(f, out); })) return false;
    const auto field_count = [&](std::size_t n) { return v.size() == n; };
    // Whole numbers from the fields; no number at all (NaN) names no axis.
    const auto axis_of = [](double value) -> std::int64_t {
        if (std::isnan(value)) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(std::clamp(value, -1e15, 1e15));
    };

    if (code == "160" && field_count(3)) {
        const std::int64_t axis = axis_of(v[0]);
        if (motion_axis(axis)) {
            const int a = static_cast<int>(axis);
            move(a, now, limited_target(a, v[2]), v[1], AxisMotion::Goal::move);
        }
        return true;
    }
    if (code == "161" && field_count(6)) {
        for (int a = 0; a < 3; ++a) {
            move(a, now, limited_target(a, v[3 + static_cast<std::size_t>(a)]), v[static_cast<std::size_t>(a)],
                 AxisMotion::Goal::move);
        }
        return true;
    }
    if (code == "130" && field_count(2)) {
        if (motion_axis(axis_of(v[0]))) home(static_cast<int>(v[0]), now, v[1]);
        return true;
    }
    if (code == "150" && field_count(3)) {
        if (motion_axis(axis_of(v[0]))) jog(static_cast<int>(v[0]), now, v[1], v[2] != 0.0);
        return true;
    }
    if (code == "140" && field_count(2)) {
        if (motion_axis(axis_of(v[0]))) {
            Axis& axis = axes_[static_cast<std::size_t>(v[0])];
            if (v[1] == 0.0) {
                axis.motion.decelerate(now);
            } else {
                axis.motion.halt(now);
            }
        }
        return true;
    }
    if (code == "170" && field_count(1)) {
        if (motion_axis(axis_of(v[0]))) axes_[static_cast<std::size_t>(v[0])].motion.set_position(now, 0.0);
        return true;
    }
    if (code == "490" && field_count(3)) {
        fly_.set_up(clamp_int(axis_of(v[0])), clamp_int(axis_of(v[1])), clamp_int(axis_of(v[2])));
        return true;
    }
    if (code == "500" && field_count(2)) {
        const int axis = fly_.setup().axis;
        const bool moving = fly_.usable() && axes_[static_cast<std::size_t>(axis)].motion.moving();
        fly_.start(now, clamp_int(axis_of(v[0])), clamp_int(axis_of(v[1])), moving);
        return true;
    }
    if (code == "510" && field_count(1)) {
        if (fly_.trim(clamp_int(axis_of(v[0])))) pending_report_ = true;
        return true;
    }
    return false;
}

bool ControllerModel::apply_output_frame(std::string_view payload) {
    const std::vector<std::string_view> fields = split_fields(payload);
    std::vector<std::int64_t> values;
    if (fields.size() != ios ||
        !parse_all(fields, values, [](std::string_view f, std::int64_t& out) { return parse_int(f, out); })) {
        return false;
    }
    for (std::size_t i = 0; i < ios; ++i) outputs_[i] = clamp_int(values[i]);
    return true;
}

bool ControllerModel::apply_params(const std::vector<std::string_view>& fields) {
    if (fields.size() != 22) return false;
    std::int64_t axis = 0;
    if (!parse_int(fields[0], axis)) return false;
    AxisRecord record;
    for (std::size_t k = 0; k < 21; ++k) {
        if (k < 10) {
            std::int64_t value = 0;
            if (!parse_int(fields[k + 1], value)) return false;
            record.ints[k] = clamp_int(value);
        } else {
            double value = 0.0;
            if (!parse_double(fields[k + 1], value)) return false;
            record.floats[k - 10] = static_cast<float>(value);
        }
    }
    if (axis >= 0 && axis < axes) records_[static_cast<std::size_t>(axis)] = record;
    return true;
}

bool ControllerModel::apply_levels(std::string_view payload) {
    if (payload.size() != ios) return false;
    for (std::size_t i = 0; i < ios; ++i) {
        const int level = protocol::level_from_digit(payload[i]);
        if (level > 0) levels_[i] = level;
    }
    return true;
}

double ControllerModel::limited_target(int axis, double target) const {
    const AxisRecord& r = record(axis);
    const double margin = r.field(AxisRecord::soft_limit_margin);
    const double low = r.field(AxisRecord::left_soft_limit) + margin;
    const double high = r.field(AxisRecord::right_soft_limit) - margin;
    if (!(low <= high)) return target;  // no usable limits
    const double here = axes_[static_cast<std::size_t>(axis)].motion.position();
    // An axis already outside a limit may move back in but not further out.
    target = std::min(target, std::max(high, here));
    target = std::max(target, std::min(low, here));
    return target;
}

void ControllerModel::move(int axis, double now, double target, double speed, AxisMotion::Goal goal) {
    if (!usable_speed(speed) || !std::isfinite(target)) return;
    speed = std::fabs(speed);
    Axis& a = axes_[static_cast<std::size_t>(axis)];
    const double acceleration = acceleration_for(speed, record(axis).field(AxisRecord::acc_time));
    a.motion.move_to(now, target, speed, acceleration, goal);
    fly_.motion_started(axis, now);
}

void ControllerModel::home(int axis, double now, double speed) {
    Axis& a = axes_[static_cast<std::size_t>(axis)];
    a.homed = false;
    if (!usable_speed(speed)) {
        // Homed where it stands: that point becomes position 0.
        a.motion.set_position(now, 0.0);
        a.homed = true;
        return;
    }
    move(axis, now, 0.0, speed, AxisMotion::Goal::home);
}

void ControllerModel::jog(int axis, double now, double speed, bool positive) {
    const double far_away = positive ? 1e300 : -1e300;
    move(axis, now, limited_target(axis, far_away), speed, AxisMotion::Goal::jog);
}

void ControllerModel::update(double now, std::vector<Reply>& replies) {
    const auto advance_all = [&](double t) {
        for (Axis& axis : axes_) {
            if (axis.motion.advance(t) == AxisMotion::Goal::home) axis.homed = true;
        }
    };
    while (fly_.next_sample_time() <= now) {
        const double t = fly_.next_sample_time();
        advance_all(t);
        const AxisMotion& motion = axes_[static_cast<std::size_t>(fly_.axis())].motion;
        if (fly_.sample(motion.position(), motion.moving())) pending_report_ = true;
    }
    advance_all(now);
    if (pending_report_) {
        pending_report_ = false;
        replies.push_back({fly_report()});
    }
}

std::int32_t ControllerModel::pulse_count(int axis, double position) const {
    const AxisRecord& r = record(axis);
    const double travel = r.field(AxisRecord::travel_per_rev);
    if (travel == 0.0) return 0;
    return protocol::to_count(position / travel * r.field(AxisRecord::pulses_per_rev));
}

std::int32_t ControllerModel::encoder_count(int axis, double position) const {
    const double scale = record(axis).field(AxisRecord::encoder_scale);
    if (scale == 0.0) return 0;
    return protocol::to_count(position / scale);
}

std::string ControllerModel::status_line() const {
    std::string line = "100:";
    for (int a = 0; a < axes; ++a) line += std::to_string(pulse_count(a, axes_[static_cast<std::size_t>(a)].motion.position())) + ",";
    for (int a = 0; a < axes; ++a) line += std::to_string(encoder_count(a, axes_[static_cast<std::size_t>(a)].motion.position())) + ",";
    // Bit 2a: axis a stands still; bit 2a + 1: it is homed.
    int words[2] = {0, 0};
    for (int a = 0; a < axes; ++a) {
        const Axis& axis = axes_[static_cast<std::size_t>(a)];
        const int bits = (axis.motion.moving() ? 0 : 1) | (axis.homed ? 2 : 0);
        if (a < 4) {
            words[0] |= bits << (2 * a);
        } else {
            words[1] |= bits << (2 * (a - 4));
        }
    }
    line += std::to_string(words[0]);
    append_field(line, words[1]);
    append_field(line, type_);
    for (int word = 0; word < 3; ++word) {
        int value = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (inputs_[static_cast<std::size_t>(8 * word + bit)]) value |= 1 << bit;
        }
        append_field(line, value);
    }
    for (int value : outputs_) append_field(line, value);
    return line;
}

std::string ControllerModel::io_text() const {
    std::string text = "IN=";
    for (bool level : inputs_) text += level ? '1' : '0';
    text += " OUT=";
    for (int value : outputs_) text += value != 0 ? '1' : '0';
    return text;
}

std::string ControllerModel::levels_reply() const {
    std::string line = "190:";
    for (int level : levels_) line += protocol::level_digit(level);
    const FlyCapture::Setup& fly = fly_.setup();
    append_field(line, fly.axis);
    append_field(line, fly.count);
    append_field(line, fly.interval_ms);
    line += ',';
    line += io_text();
    return line;
}

std::string ControllerModel::params_reply() const {
    std::string line = "125:";
    for (int a = 0; a < axes; ++a) {
        const AxisRecord& r = record(a);
        for (std::int32_t value : r.ints) line += std::to_string(value) + ",";
        for (float value : r.floats) line += protocol::format_float(value) + ",";
    }
    line.pop_back();
    return line;
}

std::string ControllerModel::version_reply() const { return "2001:" + version_; }

std::string ControllerModel::fly_report() const {
    const int axis = fly_.axis();
    const bool encoder = record(axis).ints[AxisRecord::use_encoder] != 0;
    std::string line = "520:" + std::to_string(axis);
    for (double position : fly_.report()) {
        append_field(line, encoder ? encoder_count(axis, position) : pulse_count(axis, position));
    }
    return line;
}

double ControllerModel::position_at(int axis, double now) const {
    return axes_[static_cast<std::size_t>(axis)].motion.position_at(now);
}

bool ControllerModel::moving_at(int axis, double now) const {
    return axes_[static_cast<std::size_t>(axis)].motion.moving_at(now);
}

bool ControllerModel::homed_at(int axis, double now) const {
    const Axis& a = axes_[static_cast<std::size_t>(axis)];
    return a.homed || (a.motion.goal() == AxisMotion::Goal::home && a.motion.completes_by(now));
}

void ControllerModel::set_position(int axis, double position, double now) {
    axes_[static_cast<std::size_t>(axis)].motion.set_position(now, position);
}

}  // namespace orvane::sim
