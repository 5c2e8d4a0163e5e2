#include "motion_wait.h"

#include <orvane/orvane.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "support.h"

namespace orvane::tool {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string axes_text(const std::vector<AxisTarget>& targets) {
    std::string text;
    for (const auto& t : targets) {
        if (!text.empty()) text += ',';
        text += std::to_string(t.axis);
    }
    return text;
}

}  // namespace

int wait_for_arrival(const std::vector<AxisTarget>& targets, const WaitOptions& options) {
    const auto start = Clock::now();
    double pos[6] = {};
    if (Orvane_get_pos(pos) != 1) {
        std::cerr << "orvane: the link to the controller dropped\n";
        return exit_not_connected;
    }
    double initial = 0;
    for (const auto& t : targets) initial = std::max(initial, std::fabs(t.target - pos[t.axis]));
    ProgressLine progress(options.terminal, options.indent);
    double standing_short_since = -1;

    for (;;) {
        const double now_ms = ms_since(start);
        if (Orvane_get_pos(pos) != 1) {
            progress.finish(0, "link lost");
            std::cerr << "orvane: the link to the controller dropped while waiting\n";
            return exit_not_connected;
        }
        if (options.on_sample) options.on_sample(now_ms, pos);

        double remaining = 0;
        bool all_still = true;
        std::string detail;
        for (const auto& t : targets) {
            remaining = std::max(remaining, std::fabs(t.target - pos[t.axis]));
            bool still = false;
            Orvane_get_move_state(t.axis, still);
            all_still = all_still && still;
            detail += "axis " + std::to_string(t.axis) + " " + fixed(pos[t.axis]) + "  ";
        }
        const double fraction = initial > 0 ? 1.0 - remaining / initial : 1.0;
        const std::string text = detail + "remaining " + fixed(remaining);

        if (all_still && remaining <= options.tolerance) {
            progress.finish(1.0, text);
            return exit_ok;
        }
        // Standing still away from the target: give the controller a moment
        // (its bits can lag its positions), then call it a stop.
        if (all_still) {
            if (standing_short_since < 0) standing_short_since = now_ms;
            if (now_ms - standing_short_since > 500) {
                progress.finish(fraction, text);
                std::cerr << "orvane: axis " << axes_text(targets) << " stopped " << fixed(remaining)
                          << " short of the target\n";
                return exit_not_arrived;
            }
        } else {
            standing_short_since = -1;
        }
        if (now_ms > options.timeout_s * 1000.0) {
            progress.finish(fraction, text);
            std::cerr << "orvane: axis " << axes_text(targets) << " did not arrive within "
                      << fixed(options.timeout_s, 1) << " s (" << fixed(remaining)
                      << " to go; --wait-timeout allows longer)\n";
            return exit_not_arrived;
        }
        progress.update(fraction, text);
        std::this_thread::sleep_for(std::chrono::milliseconds(options.sample_period_ms));
    }
}

int wait_for_home(int axis, const WaitOptions& options) {
    const auto start = Clock::now();
    ProgressLine progress(options.terminal, options.indent);
    // The controller's last report may predate the homing command: trust a
    // "homed and still" only once the axis has been seen busy, or after a
    // short grace for an axis that was home already.
    bool seen_busy = false;
    double pos[6] = {};
    Orvane_get_pos(pos);
    const double start_distance = std::fabs(pos[axis]);
    for (;;) {
        const double now_ms = ms_since(start);
        bool homed = false;
        bool still = false;
        if (Orvane_get_pos(pos) != 1 || Orvane_get_home_state(axis, homed) != 1 ||
            Orvane_get_move_state(axis, still) != 1) {
            progress.finish(0, "link lost");
            std::cerr << "orvane: the link to the controller dropped while waiting\n";
            return exit_not_connected;
        }
        if (options.on_sample) options.on_sample(now_ms, pos);
        if (!homed || !still) seen_busy = true;
        const std::string text = "axis " + std::to_string(axis) + " at " + fixed(pos[axis]) +
                                 (homed ? "  homed" : "  homing");
        if (homed && still && (seen_busy || now_ms > 300)) {
            progress.finish(1.0, text);
            return exit_ok;
        }
        if (now_ms > options.timeout_s * 1000.0) {
            progress.finish(0, text);
            std::cerr << "orvane: axis " << axis << " did not report homed within " << fixed(options.timeout_s, 1)
                      << " s (--wait-timeout allows longer)\n";
            return exit_not_arrived;
        }
        // Homing ends at position 0: the bar shows the way back there.
        const double fraction =
            start_distance > options.tolerance ? 1.0 - std::fabs(pos[axis]) / start_distance : (homed ? 1.0 : 0.0);
        progress.update(fraction, text);
        std::this_thread::sleep_for(std::chrono::milliseconds(options.sample_period_ms));
    }
}

}  // namespace orvane::tool
