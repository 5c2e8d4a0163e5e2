// Waiting for axes to arrive or to be homed, with live progress, on a
// controller handle. The waits print nothing but progress: the caller says
// what the outcome means.
#pragma once

#include <orvane/controller.hpp>

#include <array>
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
    bool terminal = false;     // progress bar in place, else plain lines
    bool progress = true;      // false: no progress output at all
    double tolerance = 0.005;  // units of travel
    std::string indent;        // put before every progress line
    // Polled between samples: true ends the wait (WaitEnd::interrupted).
    std::function<bool()> interrupted;
};

enum class WaitEnd {
    done,           // arrived (or homed) and standing
    stopped_short,  // standing away from the target
    timed_out,      // still under way when the time ran out
    interrupted,    // WaitOptions::interrupted said so
    link_lost,      // the link to the controller went down
};

struct WaitOutcome {
    WaitEnd end = WaitEnd::done;
    std::array<double, 6> positions{};  // the last positions seen
    double remaining = 0;               // the longest way still to go
};

// Waits until every axis stands still at its target.
WaitOutcome wait_for_arrival(const orvane::Controller& controller, const std::vector<AxisTarget>& targets,
                             const WaitOptions& options);

// Waits until the axis reports homed and standing still.
WaitOutcome wait_for_home(const orvane::Controller& controller, int axis, const WaitOptions& options);

}  // namespace orvane::tool
