// Waiting for axes to arrive, with live progress.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvane::tool {

struct AxisTarget {
    int axis = 0;
    double target = 0;
};

struct WaitOptions {
    double timeout_s = 60;
    bool terminal = false;       // progress bar in place, else plain lines
    double tolerance = 0.005;    // units of travel
    int sample_period_ms = 10;
    std::string indent;          // put before every progress line
    // Called on every sample with the time since the wait began (ms) and the
    // six positions; the demonstration records the move with it.
    std::function<void(double, const double*)> on_sample;
};

// Waits until every axis stands still at its target. Prints progress and,
// on failure, a message; returns an exit code (exit_ok when all arrived).
int wait_for_arrival(const std::vector<AxisTarget>& targets, const WaitOptions& options);

// Waits until the axis reports homed and standing still.
int wait_for_home(int axis, const WaitOptions& options);

}  // namespace orvane::tool
