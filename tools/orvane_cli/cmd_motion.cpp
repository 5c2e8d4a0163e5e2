// move, xyz, home, jog, stop, zero.
//
// What the tool sets going it also stops: a --wait that is interrupted
// (Ctrl-C, SIGTERM, the terminal closing) or runs out of time stops the
// axes it started, and a jog runs only while the tool runs. A move or a
// homing without --wait is handed to the controller, which ends it by
// itself at the target.
#include <chrono>
#include <cmath>
#include <iostream>
#include <thread>

#include "cli.h"
#include "motion_wait.h"
#include "terminal.h"

namespace orvane::tool {

namespace {

using Clock = std::chrono::steady_clock;

std::string axes_text(const std::vector<int>& axes) {
    std::string text = axes.size() == 1 ? "axis " : "axes ";
    for (std::size_t i = 0; i < axes.size(); ++i) {
        if (i > 0) text += i + 1 == axes.size() ? " and " : ", ";
        text += std::to_string(axes[i]);
    }
    return text;
}

// Stops the axes a subcommand set going unless it let them go: on every
// way out, an exception included.
class MotionGuard {
public:
    MotionGuard(const Session& session, std::vector<int> axes) : session_(session), axes_(std::move(axes)) {}
    ~MotionGuard() {
        if (!axes_.empty()) std::cerr << "orvane: " << stop() << "\n";
    }
    MotionGuard(const MotionGuard&) = delete;
    MotionGuard& operator=(const MotionGuard&) = delete;

    // The motion ended by itself: nothing to stop.
    void release() { axes_.clear(); }

    // Stops the axes (braking), waits until they stand, and says where.
    std::string stop() {
        const std::vector<int> axes = std::exchange(axes_, {});
        bool sent = true;
        for (int axis : axes) sent = session_.controller.stop(axis, 0) && sent;
        if (!sent) {
            return "could not stop " + axes_text(axes) +
                   ": the link to the controller is down (the controller may still be moving it)";
        }
        const bool standing =
            orvane_ctl_wait_at_rest(session_.controller.handle(), axis_mask(axes), 3000) == 1;
        const auto pos = session_.controller.positions();
        std::string text = "stopped " + axes_text(axes);
        if (pos) {
            text += " at ";
            for (std::size_t i = 0; i < axes.size(); ++i) {
                if (i > 0) text += ", ";
                text += num(json_number((*pos)[static_cast<std::size_t>(axes[i])]));
            }
        }
        if (!standing) text += " (it did not report standing within 3 s)";
        return text;
    }

private:
    const Session& session_;
    std::vector<int> axes_;
};

bool check_in_range(const Session& session, int axis, double position) {
    const auto range = session.controller.soft_limits(axis);
    if (!range || (position >= range->first && position <= range->second)) return true;
    fail(exit_refused, "position " + num(position) + " is outside axis " + std::to_string(axis) + "'s range " +
                           num(range->first) + " .. " + num(range->second));
    return false;
}

WaitOptions wait_options(const Session& session, double timeout_s) {
    WaitOptions options;
    options.timeout_s = timeout_s;
    options.terminal = session.terminal;
    options.interrupted = [] { return stop_requested(); };
    return options;
}

// Says what a wait that did not succeed means and stops what is still
// going; returns the exit code.
int wait_failed(const WaitOutcome& outcome, MotionGuard& guard, const std::vector<int>& axes,
                const std::string& goal, double timeout_s) {
    switch (outcome.end) {
        case WaitEnd::done:
            guard.release();
            return exit_ok;
        case WaitEnd::stopped_short:
            guard.release();
            return fail(exit_not_arrived, axes_text(axes) + " stopped " + num(json_number(outcome.remaining)) +
                                              " short of " + goal);
        case WaitEnd::timed_out:
            return fail(exit_not_arrived, axes_text(axes) + " did not reach " + goal + " within " + num(timeout_s) +
                                              " s and was still moving, " + num(json_number(outcome.remaining)) +
                                              " to go: " + guard.stop() + " (--wait-timeout allows longer)");
        case WaitEnd::interrupted: {
            const std::string reason = stop_request_name();
            const int code = fail(exit_interrupted, reason + ": " + guard.stop() + " before it reached " + goal);
            stop_handled();
            return code;
        }
        case WaitEnd::link_lost:
            break;
    }
    return fail(exit_not_connected, "the link to the controller went down while waiting; " + guard.stop());
}

struct MoveArgs {
    int axis = 0;
    double position = 0;
    double speed = 10.0;
    bool wait = false;
    double wait_timeout = 60.0;
};

int run_move(Session& s, const MoveArgs& a) {
    if (!check_axis(s, a.axis) || !check_in_range(s, a.axis, a.position)) return exit_refused;
    if (!s.controller.set_speed(a.axis, static_cast<float>(a.speed))) return fail(exit_refused, "the speed was refused");
    if (!s.controller.move_to(a.axis, a.position)) return fail(exit_refused, "the move was refused");
    std::cout << "moving axis " << a.axis << " to " << num(a.position) << " at speed " << num(a.speed) << "\n"
              << std::flush;
    if (!a.wait) {
        std::cout << "(the controller ends the move at the target; `orvane stop " << a.axis << "` stops it)\n";
        return exit_ok;
    }
    MotionGuard guard(s, {a.axis});
    const auto outcome = wait_for_arrival(s.controller, {{a.axis, a.position}}, wait_options(s, a.wait_timeout));
    const int code = wait_failed(outcome, guard, {a.axis}, num(a.position), a.wait_timeout);
    if (code == exit_ok) std::cout << "axis " << a.axis << " arrived at " << num(a.position) << "\n";
    return code;
}

struct XyzArgs {
    double x = 0, y = 0, z = 0;
    double speed = 10.0;
    bool wait = false;
    double wait_timeout = 60.0;
};

int run_xyz(Session& s, const XyzArgs& a) {
    const double targets[3] = {a.x, a.y, a.z};
    for (int axis = 0; axis < 3; ++axis) {
        if (!check_in_range(s, axis, targets[axis])) return exit_refused;
        if (!s.controller.set_speed(axis, static_cast<float>(a.speed))) return fail(exit_refused, "the speed was refused");
    }
    if (!s.controller.xyz_move_to(a.x, a.y, a.z)) return fail(exit_refused, "the coordinated move was refused");
    const std::string goal = num(a.x) + ", " + num(a.y) + ", " + num(a.z);
    std::cout << "moving axes 0, 1, 2 together to " << goal << " (the longest way at speed " << num(a.speed) << ")\n"
              << std::flush;
    if (!a.wait) {
        std::cout << "(the controller ends the move at the target; `orvane stop AXIS` stops an axis)\n";
        return exit_ok;
    }
    MotionGuard guard(s, {0, 1, 2});
    const auto outcome = wait_for_arrival(s.controller, {{0, a.x}, {1, a.y}, {2, a.z}}, wait_options(s, a.wait_timeout));
    const int code = wait_failed(outcome, guard, {0, 1, 2}, goal, a.wait_timeout);
    if (code == exit_ok) std::cout << "axes 0, 1, 2 arrived at " << goal << "\n";
    return code;
}

struct HomeArgs {
    int axis = 0;
    double speed = 0;
    bool wait = false;
    double wait_timeout = 60.0;
};

int run_home(Session& s, const HomeArgs& a) {
    if (!check_axis(s, a.axis)) return exit_refused;
    if (!s.controller.home(a.axis, static_cast<float>(a.speed))) return fail(exit_refused, "homing was refused");
    std::cout << "homing axis " << a.axis
              << (a.speed >= 0.1 ? " at speed " + num(a.speed) : std::string(" at its homing speed")) << "\n"
              << std::flush;
    if (!a.wait) {
        std::cout << "(the controller ends the homing by itself; `orvane stop " << a.axis << "` stops it)\n";
        return exit_ok;
    }
    MotionGuard guard(s, {a.axis});
    const auto outcome = wait_for_home(s.controller, a.axis, wait_options(s, a.wait_timeout));
    const int code = wait_failed(outcome, guard, {a.axis}, "home", a.wait_timeout);
    if (code == exit_ok) std::cout << "axis " << a.axis << " is homed\n";
    return code;
}

struct JogArgs {
    int axis = 0;
    std::string direction;
    double speed = 10.0;
    double for_seconds = 0;  // 0: until Ctrl-C
};

int run_jog(Session& s, const JogArgs& a) {
    if (!check_axis(s, a.axis)) return exit_refused;
    if (!s.controller.set_speed(a.axis, static_cast<float>(a.speed))) return fail(exit_refused, "the speed was refused");
    const bool positive = a.direction == "+";
    MotionGuard guard(s, {a.axis});
    if (!s.controller.jog(a.axis, positive)) {
        guard.release();
        return fail(exit_refused, "the jog was refused");
    }
    std::cout << "jogging axis " << a.axis << " in " << a.direction << " direction at speed " << num(a.speed)
              << (a.for_seconds > 0 ? " for " + num(a.for_seconds) + " s" : std::string()) << " (Ctrl-C stops it)\n"
              << std::flush;
    const auto start = Clock::now();
    ProgressLine progress(s.terminal);
    bool link_lost = false;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (stop_requested() || (a.for_seconds > 0 && elapsed >= a.for_seconds)) break;
        const auto pos = s.controller.positions();
        if (!pos) {
            link_lost = true;
            break;
        }
        const std::string text = "axis " + std::to_string(a.axis) + " at " + fixed((*pos)[static_cast<std::size_t>(a.axis)]);
        if (a.for_seconds > 0) {
            progress.update(elapsed / a.for_seconds, text);
        } else {
            progress.update(0, text + "  " + fixed(elapsed, 1) + " s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    progress.end_line();
    if (link_lost) return fail(exit_not_connected, "the link to the controller went down; " + guard.stop());
    const std::string reason = stop_requested() ? std::string(stop_request_name()) + ": " : std::string();
    std::cout << reason << guard.stop() << "\n";
    stop_handled();
    return exit_ok;
}

int run_stop(Session& s, int axis, int mode) {
    if (!s.controller.stop(axis, mode)) return fail(exit_refused, "the stop was refused");
    std::cout << "stopping axis " << axis << " (mode " << mode << ")\n" << std::flush;
    if (orvane_ctl_wait_at_rest(s.controller.handle(), 1u << axis, 3000) == 1) {
        const auto pos = s.controller.positions();
        if (pos) std::cout << "axis " << axis << " stands at " << num(json_number((*pos)[static_cast<std::size_t>(axis)])) << "\n";
    }
    return exit_ok;
}

int run_zero(Session& s, int axis) {
    if (!check_axis(s, axis)) return exit_refused;
    if (!s.controller.zero(axis)) return fail(exit_refused, "zeroing was refused");
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (;;) {
        const auto pos = s.controller.positions();
        if (pos && std::fabs((*pos)[static_cast<std::size_t>(axis)]) < 0.0005) break;
        if (!pos) return fail(exit_not_connected, "the link to the controller went down");
        if (Clock::now() > deadline) {
            return fail(exit_not_arrived, "axis " + std::to_string(axis) + " did not report position 0 within 2 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::cout << "axis " << axis << " zeroed: its position is now 0\n";
    return exit_ok;
}

void add_wait_options(CLI::App* sub, bool& wait, double& timeout) {
    sub->add_flag("--wait", wait,
                  "Show progress and wait until done; Ctrl-C or running out of time stops the axes. Without "
                  "it the controller finishes the motion by itself");
    sub->add_option("--wait-timeout", timeout, "Seconds --wait allows before it stops the axes and gives up")
        ->check(positive_number)
        ->capture_default_str();
}

}  // namespace

void add_motion_commands(CLI::App& app, Commands& commands) {
    {
        auto a = std::make_shared<MoveArgs>();
        auto* sub = app.add_subcommand("move", "Move one axis to an absolute position");
        add_axis_argument(sub, a->axis);
        sub->add_option("POS", a->position, "Target position in units of travel")->required();
        sub->add_option("--speed", a->speed, "Speed in units of travel per second")
            ->check(positive_number)
            ->capture_default_str();
        add_wait_options(sub, a->wait, a->wait_timeout);
        set_examples(sub, {"orvane --sim move 0 50 --speed 20 --wait", "orvane --sim move 1 -12.5"});
        commands.push_back({sub, [a](Session& s) { return run_move(s, *a); }});
    }
    {
        auto a = std::make_shared<XyzArgs>();
        auto* sub = app.add_subcommand("xyz", "Move axes 0, 1 and 2 together so that they arrive at the same time");
        sub->add_option("X", a->x, "Target of axis 0")->required();
        sub->add_option("Y", a->y, "Target of axis 1")->required();
        sub->add_option("Z", a->z, "Target of axis 2")->required();
        sub->add_option("--speed", a->speed, "Speed of the axis with the longest way; the others follow")
            ->check(positive_number)
            ->capture_default_str();
        add_wait_options(sub, a->wait, a->wait_timeout);
        set_examples(sub, {"orvane --sim xyz 100 50 20 --wait"});
        commands.push_back({sub, [a](Session& s) { return run_xyz(s, *a); }});
    }
    {
        auto a = std::make_shared<HomeArgs>();
        auto* sub = app.add_subcommand("home", "Home one axis (it travels to its home position, 0)");
        add_axis_argument(sub, a->axis);
        sub->add_option("--speed", a->speed, "Homing speed (default: the axis's home_speed parameter)")
            ->check(positive_number);
        add_wait_options(sub, a->wait, a->wait_timeout);
        set_examples(sub, {"orvane --sim home 0 --wait"});
        commands.push_back({sub, [a](Session& s) { return run_home(s, *a); }});
    }
    {
        auto a = std::make_shared<JogArgs>();
        auto* sub = app.add_subcommand(
            "jog", "Jog one axis while this command runs: for --for seconds, or until Ctrl-C; then stop it");
        add_axis_argument(sub, a->axis);
        sub->add_option("DIR", a->direction, "Direction: + or -")->required()->check(CLI::IsMember({"+", "-"}));
        sub->add_option("--speed", a->speed, "Jog speed")->check(positive_number)->capture_default_str();
        sub->add_option("--for", a->for_seconds, "Jog for this many seconds, then stop (default: until Ctrl-C)")
            ->check(positive_number);
        set_examples(sub, {"orvane --sim jog 1 + --speed 5 --for 2"});
        commands.push_back({sub, [a](Session& s) { return run_jog(s, *a); }});
    }
    {
        auto axis = std::make_shared<int>(0);
        auto mode = std::make_shared<int>(0);
        auto* sub = app.add_subcommand("stop", "Stop one axis");
        add_axis_argument(sub, *axis);
        sub->add_option("--mode", *mode, "Stop mode, passed to the controller as it is (0 brakes)")
            ->capture_default_str();
        set_examples(sub, {"orvane --sim stop 1"});
        commands.push_back({sub, [axis, mode](Session& s) { return run_stop(s, *axis, *mode); }});
    }
    {
        auto axis = std::make_shared<int>(0);
        auto* sub = app.add_subcommand("zero", "Make the axis's present position 0");
        add_axis_argument(sub, *axis);
        set_examples(sub, {"orvane --sim zero 2"});
        commands.push_back({sub, [axis](Session& s) { return run_zero(s, *axis); }});
    }
}

}  // namespace orvane::tool
