#include "state/controller_mirror.h"

#include <algorithm>

namespace orvane {

AxisParams SharedAxisParams::snapshot() const {
    AxisParams p;
    for (int k = 0; k < field::int_count; ++k) p.ints[static_cast<std::size_t>(k)] = int_field(k);
    for (int k = field::int_count; k < field::count; ++k)
        p.floats[static_cast<std::size_t>(k - field::int_count)] = float_field(k);
    return p;
}

void SharedAxisParams::assign(const AxisParams& params) {
    for (int k = 0; k < field::int_count; ++k) set_int_field(k, params.int_field(k));
    for (int k = field::int_count; k < field::count; ++k) set_float_field(k, params.float_field(k));
}

std::size_t SharedPositions::copy_to(double* out, std::size_t limit) const {
    std::lock_guard lock(mutex_);
    if (out != nullptr) {
        const std::size_t n = std::min(limit, positions_.size());
        for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(positions_[i]);
    }
    return positions_.size();
}

float encoder_count_to_position(std::int32_t count, float encoder_scale) {
    return static_cast<float>(count) * encoder_scale;
}

float pulse_count_to_position(std::int32_t count, float travel_per_rev, std::int32_t pulses_per_rev) {
    const double per_pulse = static_cast<double>(travel_per_rev) / static_cast<double>(pulses_per_rev);
    return static_cast<float>(static_cast<double>(count) * per_pulse);
}

float ControllerMirror::count_to_position(int axis, std::int32_t count) const {
    const SharedAxisParams& p = axis_params[static_cast<std::size_t>(axis)];
    if (p.int_field(field::use_encoder) != 0) {
        return encoder_count_to_position(count, p.float_field(field::encoder_scale));
    }
    return pulse_count_to_position(count, p.float_field(field::travel_per_rev),
                                   p.int_field(field::pulses_per_rev));
}

}  // namespace orvane
