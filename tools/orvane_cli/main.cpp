// orvane: drive the controller from a shell. Every subcommand connects
// through the library (or to a simulator started in this process with
// --sim), does its work and closes the library again.
#include <orvane/orvane.h>
#include <orvane_sim/simulator.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "support.h"
#include "terminal.h"

namespace {

using namespace orvane::tool;

// The axis validator: 0..5 here; the controller's own axis count (3 or 6)
// is checked once connected.
const CLI::Range axis_range(0, 5);
const CLI::Range io_range(1, 24);

const CLI::Validator host_check(
    [](std::string& text) {
        return valid_host_text(text) ? std::string()
                                     : "expected a host number 0..255 or a dotted IPv4 address, got '" + text + "'";
    },
    "HOST", "host");

const CLI::Validator output_value_check(
    [](std::string& text) {
        if (text == "on" || text == "off") return std::string();
        try {
            std::size_t used = 0;
            const int v = std::stoi(text, &used);
            if (used == text.size() && v >= 0 && v <= 255) return std::string();
        } catch (const std::exception&) {
        }
        return "expected 0..255, on or off, got '" + text + "'";
    },
    "VALUE|on|off", "output value");

struct Options {
    std::string host;
    bool sim = false;
    int sim_type = 2;
    double timeout = 5.0;
};

bool is_loopback(const std::string& address) { return address.rfind("127.", 0) == 0; }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvane: drive the motion controller through the orvane library.\n"
                 "Exit codes: 0 done, 1 refused or bad input, 2 not connected, 3 did not arrive in time."};
    app.set_version_flag("--version", std::string("orvane tool ") + build_version());
    app.require_subcommand(1);
    app.fallthrough();  // global options may also follow the subcommand

    Options global;
    app.add_option("--host", global.host,
                   "Controller host number on the controller network (" + std::string(build_net_prefix()) +
                       "N) or a complete dotted IPv4 address; default host 254")
        ->check(host_check);
    app.add_flag("--sim", global.sim,
                 "Start the bundled simulator in this process on the controller address and use it "
                 "(port " + std::to_string(build_port()) + ": needs root or cap_net_bind_service on Linux)");
    app.add_option("--sim-type", global.sim_type, "Controller type the simulator plays: 1 (three axes) or 2 (six)")
        ->check(CLI::IsMember({1, 2}));
    app.add_option("--timeout", global.timeout, "Seconds to wait for the connection and the controller's first reports")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();

    // Subcommands and their arguments.
    int axis = 0;
    int io = 0;
    double position = 0;
    double x = 0, y = 0, z = 0;
    double speed = 10.0;
    double home_speed = 0.0;
    bool wait = false;
    double wait_timeout = 60.0;
    int interval_ms = 200;
    int count = 0;
    std::string direction;
    double jog_for = 0;
    int mode = 0;
    std::string value;
    std::string set_text;
    std::string raw_text;
    bool raw_exact = false;
    double answer_timeout = 3.0;
    int fly_axis = 0, fly_count = 0, fly_interval = 0;
    int fly_first = 0, fly_second = 0;
    double fly_wait = 0;
    std::vector<int> fly_setup_values;

    auto add_axis = [&](CLI::App* sub) {
        sub->add_option("AXIS", axis, "Axis 0..5 (0..2 on a three-axis controller)")->required()->check(axis_range);
    };
    auto add_wait = [&](CLI::App* sub) {
        sub->add_flag("--wait", wait, "Show progress and wait until the axis has arrived");
        sub->add_option("--wait-timeout", wait_timeout, "Seconds --wait allows before it gives up")
            ->check(CLI::PositiveNumber)
            ->capture_default_str();
    };

    auto* status = app.add_subcommand("status", "Connection, type, version, positions, state bits, inputs, outputs");
    auto* watch = app.add_subcommand("watch", "Live view of positions, state bits and inputs until Ctrl-C");
    watch->add_option("--interval", interval_ms, "Milliseconds between refreshes")
        ->check(CLI::Range(10, 60000))
        ->capture_default_str();
    watch->add_option("--count", count, "Stop after this many refreshes (0: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);

    auto* move = app.add_subcommand("move", "Move one axis to an absolute position");
    add_axis(move);
    move->add_option("POS", position, "Target position in units of travel")->required();
    move->add_option("--speed", speed, "Speed in units of travel per time unit")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    add_wait(move);

    auto* xyz = app.add_subcommand("xyz", "Move axes 0, 1 and 2 together so that they arrive at the same time");
    xyz->add_option("X", x, "Target of axis 0")->required();
    xyz->add_option("Y", y, "Target of axis 1")->required();
    xyz->add_option("Z", z, "Target of axis 2")->required();
    xyz->add_option("--speed", speed, "Speed of the axis with the longest way; the others follow")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    add_wait(xyz);

    auto* home = app.add_subcommand("home", "Home one axis");
    add_axis(home);
    home->add_option("--speed", home_speed, "Homing speed (default: the axis's homing-speed parameter)")
        ->check(CLI::PositiveNumber);
    add_wait(home);

    auto* jog = app.add_subcommand("jog", "Jog one axis in a direction until it is stopped");
    add_axis(jog);
    jog->add_option("DIR", direction, "Direction: + or -")->required()->check(CLI::IsMember({"+", "-"}));
    jog->add_option("--speed", speed, "Jog speed")->check(CLI::PositiveNumber)->capture_default_str();
    jog->add_option("--for", jog_for, "Jog for this many seconds, then stop (default: keep jogging)")
        ->check(CLI::PositiveNumber);

    auto* stop = app.add_subcommand("stop", "Stop one axis");
    add_axis(stop);
    stop->add_option("--mode", mode, "Stop mode, passed to the controller as it is")->capture_default_str();

    auto* zero = app.add_subcommand("zero", "Make the axis's present position 0");
    add_axis(zero);

    auto* out = app.add_subcommand("out", "Set a digital output");
    out->add_option("N", io, "Output 1..24")->required()->check(io_range);
    out->add_option("VALUE", value, "0..255 (times the output's level), on or off")
        ->required()
        ->check(output_value_check);

    auto* in = app.add_subcommand("in", "Show the digital inputs");
    in->add_option("N", io, "One input 1..24 (default: all)")->check(io_range);

    auto* params = app.add_subcommand("params", "Show or set an axis's 21 parameters");
    add_axis(params);
    params->add_option("--set", set_text, "21 comma-separated values, in record order");

    auto* levels = app.add_subcommand("levels", "Show or set the 24 output levels (1..16)");
    levels->add_option("--set", set_text, "24 comma-separated levels, output 1 first");

    auto* raw = app.add_subcommand("raw", "Send text to the controller as it is and show its answer");
    raw->add_option("TEXT", raw_text, "Text to send, e.g. \"2000:1!\"")->required();
    raw->add_flag("--exact", raw_exact, "Do not add the line feed that ends a line");
    raw->add_option("--answer-timeout", answer_timeout, "Seconds to wait for the answer")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();

    auto* fly = app.add_subcommand("fly", "Position capture: set up, start, read the captured positions");
    fly->require_subcommand(1);
    auto* fly_setup = fly->add_subcommand("setup", "Set up a capture");
    fly_setup->add_option("AXIS", fly_axis, "Axis whose positions are captured")->required()->check(axis_range);
    fly_setup->add_option("COUNT", fly_count, "Number of captures")->required()->check(CLI::NonNegativeNumber);
    fly_setup->add_option("INTERVAL", fly_interval, "Milliseconds between captures")
        ->required()
        ->check(CLI::NonNegativeNumber);
    auto* fly_start = fly->add_subcommand("start", "Start the capture set up before");
    fly_start->add_option("A", fly_first, "First start value, passed on as it is")->required();
    fly_start->add_option("B", fly_second, "Second start value, passed on as it is")->required();
    fly_start
        ->add_option("--setup", fly_setup_values,
                     "Set up first: AXIS COUNT INTERVAL (handy with --sim, whose state lasts one command)")
        ->expected(3);
    fly_start->add_option("--wait", fly_wait, "Wait up to this many seconds for the captured positions and show them")
        ->check(CLI::PositiveNumber);
    int fly_trim_value = 0;
    auto* fly_trim = fly->add_subcommand("trim", "End a capture early (or cut its report) and have it reported");
    fly_trim->add_option("VALUE", fly_trim_value, "Trim value, passed on as it is")->required();
    fly_trim->add_option("--wait", fly_wait, "Wait up to this many seconds for the reported positions and show them")
        ->check(CLI::PositiveNumber);
    auto* fly_positions =
        fly->add_subcommand("positions", "Show the captured positions that were reported while connected");
    fly_positions->add_option("--wait", fly_wait, "Wait up to this many seconds for a report to arrive")
        ->check(CLI::PositiveNumber);

    auto* version = app.add_subcommand("version", "Versions of this tool and of the controller");

    CLI11_PARSE(app, argc, argv);

    Context ctx;
    ctx.terminal = stdout_is_terminal() && enable_terminal_sequences();
    ctx.address = controller_address(global.host) + ":" + std::to_string(build_port());

    std::unique_ptr<orvane::sim::Simulator> simulator;
    if (global.sim) {
        const std::string address = controller_address(global.host);
        if (!is_loopback(address)) {
            std::cerr << "orvane: --sim serves loopback addresses only (127.x.y.z), not " << address << "\n";
            return exit_refused;
        }
        orvane::sim::SimulatorOptions options;
        options.bind_address = global.host.empty() ? std::string() : address;
        options.controller_type = global.sim_type;
        simulator = std::make_unique<orvane::sim::Simulator>(options);
        std::string error;
        if (!simulator->start(&error)) {
            std::cerr << "orvane: cannot start the simulator on " << ctx.address << ": " << error << "\n"
                      << "  If a controller or simulator already serves that address, leave out --sim to use it.\n"
                      << "  Port " << build_port()
                      << " is privileged on Linux: run as root, or let this program bind it with\n"
                      << "    sudo setcap cap_net_bind_service=+ep " << argv[0] << "\n";
            return exit_not_connected;
        }
        ctx.sim = simulator.get();
    }

    std::string error;
    if (!connect_library(global.host, global.timeout, &error)) {
        close_library();
        std::cerr << "orvane: " << error << "\n";
        return exit_not_connected;
    }

    int result = exit_ok;
    try {
        if (*status) {
            result = run_status(ctx);
        } else if (*watch) {
            result = run_watch(ctx, interval_ms, count);
        } else if (*move) {
            result = run_move(ctx, axis, position, speed, wait, wait_timeout);
        } else if (*xyz) {
            result = run_xyz(ctx, x, y, z, speed, wait, wait_timeout);
        } else if (*home) {
            result = run_home(ctx, axis, home_speed, wait, wait_timeout);
        } else if (*jog) {
            result = run_jog(ctx, axis, direction, speed, jog_for);
        } else if (*stop) {
            result = run_stop(ctx, axis, mode);
        } else if (*zero) {
            result = run_zero(ctx, axis);
        } else if (*out) {
            result = run_out(ctx, io, value);
        } else if (*in) {
            result = run_in(ctx, io);
        } else if (*params) {
            result = run_params(ctx, axis, set_text);
        } else if (*levels) {
            result = run_levels(ctx, set_text);
        } else if (*raw) {
            result = run_raw(ctx, raw_text, raw_exact, answer_timeout);
        } else if (*fly_setup) {
            result = run_fly_setup(ctx, fly_axis, fly_count, fly_interval);
        } else if (*fly_start) {
            if (fly_setup_values.size() == 3) {
                result = run_fly_setup(ctx, fly_setup_values[0], fly_setup_values[1], fly_setup_values[2]);
            }
            if (result == exit_ok) result = run_fly_start(ctx, fly_first, fly_second, fly_wait);
        } else if (*fly_trim) {
            result = run_fly_trim(ctx, fly_trim_value, fly_wait);
        } else if (*fly_positions) {
            result = run_fly_positions(ctx, fly_wait);
        } else if (*version) {
            result = run_version(ctx);
        }
    } catch (const std::exception& e) {
        std::cerr << "orvane: " << e.what() << "\n";
        result = exit_refused;
    }
    close_library();
    if (simulator) simulator->stop();
    return result;
}
