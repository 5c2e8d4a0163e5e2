#include "motion_wait.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "support.h"

namespace orvane::tool {

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A slice of a library wait doubles as the pause between samples.
constexpr int sample_ms = 10;

}  // namespace

WaitOutcome wait_for_arrival(const orvane::Controller& controller, const std::vector<AxisTarget>& targets,
                             const WaitOptions& options) {
    const auto start = Clock::now();
    WaitOutcome outcome;
    std::vector<int> axes;
    for (const auto& t : targets) axes.push_back(t.axis);
    const unsigned mask = axis_mask(axes);

    const auto first = controller.positions();
    if (!first) {
        outcome.end = WaitEnd::link_lost;
        return outcome;
    }
    double initial = 0;
    for (const auto& t : targets) initial = std::max(initial, std::fabs(t.target - (*first)[static_cast<std::size_t>(t.axis)]));
    ProgressLine progress(options.terminal, options.indent);
    double standing_short_since = -1;

    for (;;) {
        // Standing, as the library sees it once the move's hold-off is over.
        const int rest = orvane_ctl_wait_at_rest(controller.handle(), mask, sample_ms);
        const auto pos = controller.positions();
        if (!pos || rest == ORVANE_E_CLOSED) {
            outcome.end = WaitEnd::link_lost;
            if (options.progress) progress.end_line();
            return outcome;
        }
        outcome.positions = *pos;
        double remaining = 0;
        std::string detail;
        for (const auto& t : targets) {
            const double at = (*pos)[static_cast<std::size_t>(t.axis)];
            remaining = std::max(remaining, std::fabs(t.target - at));
            detail += "axis " + std::to_string(t.axis) + " " + fixed(at) + "  ";
        }
        outcome.remaining = remaining;
        const double fraction = initial > 0 ? 1.0 - remaining / initial : 1.0;
        const std::string text = detail + "remaining " + fixed(remaining);
        const double now_ms = ms_since(start);

        WaitEnd end = WaitEnd::done;
        bool over = false;
        if (rest == 1 && remaining <= options.tolerance) {
            over = true;
        } else if (rest == 1) {
            // Standing away from the target (a soft limit, a stop from
            // elsewhere): give the reports a moment, then call it a stop.
            if (standing_short_since < 0) standing_short_since = now_ms;
            if (now_ms - standing_short_since > 300) {
                end = WaitEnd::stopped_short;
                over = true;
            }
        } else {
            standing_short_since = -1;
            if (options.interrupted && options.interrupted()) {
                end = WaitEnd::interrupted;
                over = true;
            } else if (now_ms > options.timeout_s * 1000.0) {
                end = WaitEnd::timed_out;
                over = true;
            }
        }
        if (over) {
            outcome.end = end;
            if (options.progress) progress.finish(end == WaitEnd::done ? 1.0 : fraction, text);
            return outcome;
        }
        if (options.progress) progress.update(fraction, text);
        // The library's wait returned at once: pause here instead.
        if (rest == 1) std::this_thread::sleep_for(std::chrono::milliseconds(sample_ms));
    }
}

WaitOutcome wait_for_home(const orvane::Controller& controller, int axis, const WaitOptions& options) {
    const auto start = Clock::now();
    WaitOutcome outcome;
    const unsigned bit = 1u << axis;
    ProgressLine progress(options.terminal, options.indent);
    // The controller's last report may predate the homing command: trust a
    // "homed and standing" only once the axis has been seen busy, or after a
    // short grace for an axis that was home already.
    bool seen_busy = false;
    const auto first = controller.positions();
    const double start_distance = first ? std::fabs((*first)[static_cast<std::size_t>(axis)]) : 0.0;
    for (;;) {
        const int homed = orvane_ctl_wait_homed(controller.handle(), bit, sample_ms);
        const int rest = orvane_ctl_wait_at_rest(controller.handle(), bit, 0);
        const auto pos = controller.positions();
        if (!pos || homed == ORVANE_E_CLOSED) {
            outcome.end = WaitEnd::link_lost;
            if (options.progress) progress.end_line();
            return outcome;
        }
        outcome.positions = *pos;
        const double at = (*pos)[static_cast<std::size_t>(axis)];
        outcome.remaining = std::fabs(at);
        const double now_ms = ms_since(start);
        const bool done = homed == 1 && rest == 1;
        if (!done) seen_busy = true;
        const std::string text = "axis " + std::to_string(axis) + " at " + fixed(at) + (homed == 1 ? "  homed" : "  homing");
        // Homing ends at position 0: the bar shows the way back there.
        const double fraction =
            start_distance > options.tolerance ? 1.0 - std::fabs(at) / start_distance : (homed == 1 ? 1.0 : 0.0);
        WaitEnd end = WaitEnd::done;
        bool over = false;
        if (done && (seen_busy || now_ms > 300)) {
            over = true;
        } else if (!done && options.interrupted && options.interrupted()) {
            end = WaitEnd::interrupted;
            over = true;
        } else if (!done && now_ms > options.timeout_s * 1000.0) {
            end = WaitEnd::timed_out;
            over = true;
        }
        if (over) {
            outcome.end = end;
            if (options.progress) progress.finish(end == WaitEnd::done ? 1.0 : fraction, text);
            return outcome;
        }
        if (options.progress) progress.update(fraction, text);
        if (homed == 1) std::this_thread::sleep_for(std::chrono::milliseconds(sample_ms));
    }
}

}  // namespace orvane::tool
