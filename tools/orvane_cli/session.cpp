// The session every subcommand runs in, and helpers the subcommands share.
#include <orvane_sim/simulator.h>

#include <cmath>
#include <iostream>
#include <mutex>

#include "cli.h"
#include "terminal.h"

namespace orvane::tool {

namespace {

std::string not_a_number_message(const std::string& text, const char* wanted) {
    return std::string("expected ") + wanted + ", got '" + text + "'";
}

// A whole-text number conversion; false for anything else.
bool parse_number(const std::string& text, double& value) {
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size() && std::isfinite(value);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

const CLI::Validator positive_number(
    [](std::string& text) {
        double value = 0;
        return parse_number(text, value) && value > 0 ? std::string()
                                                       : not_a_number_message(text, "a number above 0");
    },
    "NUMBER>0", "positive number");

const CLI::Validator non_negative_number(
    [](std::string& text) {
        double value = 0;
        return parse_number(text, value) && value >= 0 ? std::string()
                                                        : not_a_number_message(text, "a number of 0 or more");
    },
    "NUMBER>=0", "non-negative number");

const CLI::Range axis_range(0, 5);
const CLI::Range io_range(1, 24);

CLI::Option* add_axis_argument(CLI::App* sub, int& axis) {
    return sub->add_option("AXIS", axis, "Axis 0..5 (0..2 on a three-axis controller)")->required()->check(axis_range);
}

void set_examples(CLI::App* sub, const std::vector<std::string>& lines) {
    std::string text = "\nExamples:\n";
    for (const auto& line : lines) text += "  " + line + "\n";
    sub->footer(text);
}

int fail(int code, const std::string& text) {
    std::cerr << "orvane: " << text << "\n" << std::flush;
    return code;
}

bool check_axis(const Session& session, int axis) {
    const int count = axis_count(session.controller);
    if (axis < count) return true;
    fail(exit_refused, "axis " + std::to_string(axis) + " is out of range: this controller (type " +
                           std::to_string(session.controller.type()) + ") has axes 0 to " +
                           std::to_string(count - 1));
    return false;
}

double json_number(double value) {
    if (!std::isfinite(value)) return value;
    const double rounded = std::round(value * 1e6) / 1e6;
    return rounded == 0.0 ? 0.0 : rounded;  // no -0
}

void print_json(const nlohmann::ordered_json& value) {
    std::cout << value.dump() << "\n" << std::flush;
}

int run_in_session(const GlobalOptions& options, const std::function<int(Session&)>& body) {
    std::unique_ptr<orvane::sim::Simulator> simulator;
    ConnectRequest request;
    request.host = options.host;
    request.port = options.port;
    request.timeout_s = options.timeout;
    request.cancelled = [] { return stop_requested(); };
    if (options.verbose) {
        // The library's own messages (connection attempts, failed sends).
        auto lock = std::make_shared<std::mutex>();
        request.log = [lock](orvane::LogLevel level, std::string_view text) {
            const char* name = level == orvane::LogLevel::info      ? "info"
                               : level == orvane::LogLevel::warning ? "warning"
                                                                    : "error";
            std::lock_guard guard(*lock);
            std::cerr << "orvane: library " << name << ": " << text << "\n" << std::flush;
        };
    }
    if (is_host_number(options.host) && (options.host.size() > 3 || std::stoi(options.host) > 255)) {
        return fail(exit_refused, "a host number is 0..255, got '" + options.host + "'");
    }

    if (options.sim) {
        orvane::sim::SimulatorOptions sim_options;
        // A loopback address and a free port: no privileges needed.
        sim_options.bind_address = options.host.empty() ? std::string("127.0.0.1") : library_host(options.host);
        sim_options.port = options.port;
        sim_options.controller_type = options.sim_type;
        simulator = std::make_unique<orvane::sim::Simulator>(sim_options);
        std::string error;
        if (!simulator->start(&error)) {
            return fail(exit_not_connected, "cannot start the simulator on " + sim_options.bind_address + ":" +
                                                std::to_string(options.port) + ": " + error);
        }
        request.host = simulator->address();
        request.port = simulator->port();
    }

    ConnectResult connection = connect_controller(request);
    if (!connection.controller) {
        if (simulator) simulator->stop();
        return fail(connection.exit_code, connection.error);
    }
    Session session{*connection.controller, simulator.get(), connection.where,
                    stdout_is_terminal() && enable_terminal_sequences()};
    int result = exit_ok;
    try {
        result = body(session);
    } catch (const std::exception& e) {
        result = fail(exit_refused, e.what());
    }
    // Sends what is still queued, then closes.
    connection.controller.reset();
    if (simulator) simulator->stop();
    return result;
}

}  // namespace orvane::tool
