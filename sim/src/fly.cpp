#include "fly.h"

#include <algorithm>

namespace orvane::sim {

bool FlyCapture::usable() const {
    return setup_.axis >= 0 && setup_.axis <= 5 && setup_.count >= 1 && setup_.interval_ms >= 1;
}

bool FlyCapture::start(double now, int trigger, int mode, bool axis_moving) {
    if (!usable()) return false;
    run_ = setup_;
    run_.count = std::min(run_.count, max_count);
    only_moving_ = mode != 0;
    captured_.clear();
    if (trigger == 0 || axis_moving) {
        phase_ = Phase::running;
        next_time_ = now;
    } else {
        phase_ = Phase::armed;
    }
    return true;
}

void FlyCapture::motion_started(int axis, double now) {
    if (phase_ == Phase::armed && axis == run_.axis) {
        phase_ = Phase::running;
        next_time_ = now;
    }
}

bool FlyCapture::sample(double position, bool axis_moving) {
    if (phase_ != Phase::running) return false;
    next_time_ += run_.interval_ms / 1000.0;
    if (only_moving_ && !axis_moving) return false;
    captured_.push_back(position);
    if (static_cast<int>(captured_.size()) < run_.count) return false;
    phase_ = Phase::idle;
    report_ = std::move(captured_);
    captured_.clear();
    return true;
}

bool FlyCapture::trim(int keep) {
    if (phase_ != Phase::idle) {
        phase_ = Phase::idle;
        report_ = std::move(captured_);
        captured_.clear();
    }
    if (keep > 0 && static_cast<std::size_t>(keep) < report_.size()) report_.resize(static_cast<std::size_t>(keep));
    return !report_.empty();
}

}  // namespace orvane::sim
