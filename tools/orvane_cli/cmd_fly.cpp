// fly setup | start | trim | positions: position capture.
//
// The library holds the positions of the last capture report that arrived
// while it was connected. Each orvane command is a connection of its own,
// so a capture is seen by the command that waits for it: `fly start
// --wait`, `fly trim --wait`, or `fly positions --wait` while the capture
// is under way in the same connection.
#include <chrono>
#include <iostream>
#include <thread>

#include "cli.h"
#include "motion_wait.h"
#include "terminal.h"

namespace orvane::tool {

namespace {

struct FlyArgs {
    int axis = 0, count = 0, interval_ms = 0;  // setup
    int first = 0, second = 0;                 // start
    std::vector<int> setup;                    // start --setup
    double move_to = 0;                        // start --move
    double speed = 10.0;                       // start --speed
    double wait_s = 0;                         // start, trim, positions --wait
    int trim = 0;                              // trim
    bool json = false;
};

int show_positions(Session& s, double wait_s, bool as_json) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(wait_s * 1000));
    std::vector<double> positions = s.controller.fly_positions();
    while (wait_s > 0 && positions.empty() && !stop_requested() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        positions = s.controller.fly_positions();
    }
    if (as_json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (double p : positions) list.push_back(json_number(p));
        print_json({{"count", positions.size()}, {"positions", list}});
    } else {
        std::cout << positions.size() << " captured positions";
        for (std::size_t i = 0; i < positions.size(); ++i) std::cout << (i % 8 == 0 ? "\n  " : "  ") << num(json_number(positions[i]));
        std::cout << "\n";
    }
    if (wait_s > 0 && positions.empty()) {
        if (stop_requested()) return fail(exit_interrupted, std::string(stop_request_name()) + ": stopped waiting");
        return fail(exit_not_arrived, "no captured positions arrived within " + num(wait_s) + " s");
    }
    return exit_ok;
}

int run_setup(Session& s, int axis, int count, int interval_ms, bool quiet) {
    if (!check_axis(s, axis)) return exit_refused;
    if (!s.controller.set_fly(axis, count, interval_ms)) return fail(exit_refused, "the fly set-up was refused");
    const auto f = s.controller.fly();
    if (!quiet) std::cout << "fly set up: axis " << f[0] << ", " << f[1] << " captures, every " << f[2] << " ms\n";
    return exit_ok;
}

int run_start(Session& s, const FlyArgs& a, bool move) {
    if (a.setup.size() == 3) {
        const int code = run_setup(s, a.setup[0], a.setup[1], a.setup[2], a.json);
        if (code != exit_ok) return code;
    }
    if (!s.controller.start_fly(a.first, a.second)) return fail(exit_refused, "the fly start was refused");
    if (!a.json) std::cout << "fly started (" << a.first << ", " << a.second << ")\n" << std::flush;
    if (move) {
        const int axis = a.setup.size() == 3 ? a.setup[0] : s.controller.fly()[0];
        if (!check_axis(s, axis)) return exit_refused;
        if (!s.controller.set_speed(axis, static_cast<float>(a.speed)) || !s.controller.move_to(axis, a.move_to)) {
            return fail(exit_refused, "the move of axis " + std::to_string(axis) + " was refused");
        }
        if (!a.json) std::cout << "moving axis " << axis << " to " << num(a.move_to) << " at speed " << num(a.speed) << "\n";
        WaitOptions options;
        options.terminal = s.terminal;
        options.progress = !a.json;
        options.interrupted = [] { return stop_requested(); };
        const auto outcome = wait_for_arrival(s.controller, {{axis, a.move_to}}, options);
        if (outcome.end == WaitEnd::interrupted || outcome.end == WaitEnd::timed_out ||
            outcome.end == WaitEnd::link_lost) {
            const bool sent = s.controller.stop(axis, 0);
            const std::string what = outcome.end == WaitEnd::interrupted ? std::string(stop_request_name())
                                     : outcome.end == WaitEnd::timed_out ? "the move took too long"
                                                                         : "the link went down";
            const int code = fail(outcome.end == WaitEnd::link_lost ? exit_not_connected
                                  : outcome.end == WaitEnd::interrupted ? exit_interrupted
                                                                        : exit_not_arrived,
                                  what + ": " + (sent ? "stopped axis " : "could not stop axis ") +
                                      std::to_string(axis));
            stop_handled();
            return code;
        }
    }
    if (a.wait_s <= 0) return exit_ok;
    return show_positions(s, a.wait_s, a.json);
}

int run_trim(Session& s, const FlyArgs& a) {
    if (!s.controller.trim_fly(a.trim)) return fail(exit_refused, "the fly trim was refused");
    if (!a.json) std::cout << "fly trimmed (" << a.trim << ")\n";
    if (a.wait_s <= 0) return exit_ok;
    return show_positions(s, a.wait_s, a.json);
}

}  // namespace

void add_fly_commands(CLI::App& app, Commands& commands) {
    auto a = std::make_shared<FlyArgs>();
    auto* fly = app.add_subcommand("fly", "Position capture: set up, start, trim, show the captured positions");
    fly->require_subcommand(1);
    fly->footer(
        "\nA capture is reported to the connection that is open when it ends. Each orvane command is a\n"
        "connection of its own, so wait for the positions in the command that starts the capture; a trim\n"
        "without a capture under way has the controller report its last one again:\n"
        "  orvane fly start 0 0 --setup 0 10 20 --wait 2\n"
        "  orvane fly trim 0 --wait 2\n");

    auto* setup = fly->add_subcommand("setup", "Set up a capture: which axis, how many positions, how far apart");
    setup->add_option("AXIS", a->axis, "Axis whose positions are captured")->required()->check(axis_range);
    setup->add_option("COUNT", a->count, "Number of captures")->required()->check(CLI::NonNegativeNumber);
    setup->add_option("INTERVAL", a->interval_ms, "Milliseconds between captures")
        ->required()
        ->check(CLI::NonNegativeNumber);
    set_examples(setup, {"orvane --sim fly setup 0 10 20"});
    commands.push_back({setup, [a](Session& s) { return run_setup(s, a->axis, a->count, a->interval_ms, false); }});

    auto* start = fly->add_subcommand("start", "Start the capture set up before (trigger 1: with the axis's next motion)");
    start->add_option("A", a->first, "Trigger: 0 at once, 1 with the axis's next motion")->required();
    start->add_option("B", a->second, "Mode: 0 samples all the time, 1 only while the axis moves")->required();
    start->add_option("--setup", a->setup, "Set up first: AXIS COUNT INTERVAL")->expected(3);
    auto* move = start->add_option("--move", a->move_to,
                                   "Then move the capture axis to this position and wait until it arrives "
                                   "(Ctrl-C stops it)");
    start->add_option("--speed", a->speed, "Speed of --move")->check(positive_number)->capture_default_str();
    start->add_option("--wait", a->wait_s, "Wait up to this many seconds for the captured positions and show them")
        ->check(positive_number);
    start->add_flag("--json", a->json, "Show the positions as one JSON object");
    set_examples(start, {"orvane --sim fly start 1 0 --setup 0 10 20 --move 50 --speed 50 --wait 3",
                         "orvane --sim fly start 0 0 --setup 1 5 10 --wait 2 --json"});
    commands.push_back({start, [a, move](Session& s) { return run_start(s, *a, move->count() > 0); }});

    auto* trim = fly->add_subcommand("trim", "End a capture early and have it reported (or report the last again)");
    trim->add_option("VALUE", a->trim, "Positions to keep (0: all)")->required();
    trim->add_option("--wait", a->wait_s, "Wait up to this many seconds for the reported positions and show them")
        ->check(positive_number);
    trim->add_flag("--json", a->json, "Show the positions as one JSON object");
    set_examples(trim, {"orvane fly trim 0 --wait 2"});
    commands.push_back({trim, [a](Session& s) { return run_trim(s, *a); }});

    auto* positions = fly->add_subcommand(
        "positions",
        "Show the captured positions reported while this command is connected (none from an earlier command: "
        "use fly start --wait or fly trim --wait)");
    positions->add_option("--wait", a->wait_s, "Wait up to this many seconds for a report to arrive")
        ->check(positive_number);
    positions->add_flag("--json", a->json, "One JSON object");
    set_examples(positions, {"orvane --sim fly positions --json"});
    commands.push_back({positions, [a](Session& s) { return show_positions(s, a->wait_s, a->json); }});
}

}  // namespace orvane::tool
