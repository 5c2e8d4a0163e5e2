// orvane: drive the motion controller from a shell. Every subcommand makes
// a controller handle (orvane::Controller) for the host and port given (or
// for a simulator started in this process with --sim), does its work and
// closes the handle again.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli.h"
#include "terminal.h"

namespace {

using namespace orvane::tool;

const char* const exit_codes_text =
    "Exit codes: 0 done, 1 refused or bad input, 2 not connected, 3 did not arrive in time,\n"
    "130 interrupted (Ctrl-C or SIGTERM during a wait; the axes it started are stopped).";

// The deepest subcommand that was given, for pointing at its --help.
const CLI::App* deepest(const CLI::App* app) {
    for (const CLI::App* sub : app->get_subcommands()) return deepest(sub);
    return app;
}

std::string command_path(const CLI::App* app) {
    std::string path;
    for (; app != nullptr; app = app->get_parent()) {
        path.insert(0, app->get_parent() == nullptr ? std::string("orvane") : " " + app->get_name());
    }
    return path;
}

// CLI11's parse errors: exit 1 with the reason, the help and version
// requests: exit 0.
int parse_error(CLI::App& app, const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        app.exit(e);
        return exit_ok;
    }
    const CLI::App* where = deepest(&app);
    std::string message = e.what();
    if (where == &app && dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr && !app.remaining().empty()) {
        message = "unknown subcommand '" + app.remaining().front() + "'";
    }
    std::cerr << "orvane: " << message << "\n"
              << "Run '" << command_path(where) << " --help' for what it takes.\n";
    return exit_refused;
}

// ORVANE_HOST and ORVANE_PORT for options not given.
bool read_environment(const CLI::Option& host, const CLI::Option& port, GlobalOptions& global) {
    const char* host_text = std::getenv("ORVANE_HOST");
    if (host.count() == 0 && host_text != nullptr && *host_text != '\0') global.host = host_text;
    const char* port_text = std::getenv("ORVANE_PORT");
    if (port.count() == 0 && port_text != nullptr && *port_text != '\0') {
        char* end = nullptr;
        const long value = std::strtol(port_text, &end, 10);
        if (*end != '\0' || value < 1 || value > 65535) {
            std::cerr << "orvane: ORVANE_PORT must be a port 1..65535, not '" << port_text << "'\n";
            return false;
        }
        global.port = static_cast<int>(value);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    install_stop_handlers();

    CLI::App app{"orvane: drive the motion controller through the orvane library.\n" + std::string(exit_codes_text),
                 "orvane"};
    app.set_version_flag("--version", std::string("orvane tool ") + build_version());
    app.fallthrough();  // global options may also follow the subcommand

    GlobalOptions global;
    auto* host = app.add_option("--host", global.host,
                   "Controller: a host number on the controller network (" + std::string(build_net_prefix()) +
                       "N), a dotted address or a host name; default " + build_net_prefix() + "254");
    auto* port = app.add_option("--port", global.port,
                   "Controller TCP port; default " + std::to_string(build_port()) + " (with --sim: a free port)")
        ->check(CLI::Range(1, 65535));
    app.add_flag("--sim", global.sim,
                 "Start the bundled simulator in this process, on a free loopback port (127.0.0.1 unless --host "
                 "says otherwise), and use it");
    app.add_option("--sim-type", global.sim_type, "Controller type the simulator plays: 1 (three axes) or 2 (six)")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--timeout", global.timeout,
                   "Seconds to wait for the connection and the controller's first reports; a refused connection "
                   "fails at once")
        ->check(positive_number)
        ->capture_default_str();
    app.add_flag("-v,--verbose", global.verbose, "Show the library's messages (connection attempts) on standard error");

    Commands commands;
    add_info_commands(app, commands);
    add_motion_commands(app, commands);
    add_io_commands(app, commands);
    add_params_command(app, commands);
    add_raw_command(app, commands);
    add_fly_commands(app, commands);
    add_panel_command_if_built(app);
    app.footer(
        "\nExamples:\n"
        "  orvane --sim status\n"
        "  orvane --sim move 0 50 --speed 20 --wait\n"
        "  orvane --host 127.0.0.1 --port 8081 watch\n"
        "\nORVANE_HOST and ORVANE_PORT stand in for --host and --port (not with --sim). Each subcommand has\n"
        "--help.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();  // a subcommand that ran to its end (panel)
    } catch (const CLI::ParseError& e) {
        return parse_error(app, e);
    }
    // The environment says where the controller is; the simulator of --sim
    // goes where the command line alone says.
    if (!global.sim && !read_environment(*host, *port, global)) return exit_refused;
    for (const Command& command : commands) {
        if (command.app->parsed()) return run_in_session(global, command.run);
    }
    std::cerr << "orvane: a subcommand is required: status, watch, move, xyz, home, jog, stop, zero, out, in, "
                 "params, levels, raw, fly, version\n"
              << "Run 'orvane --help' for what each does.\n";
    return exit_refused;
}
