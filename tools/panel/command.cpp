// The panel's command line: options, simulated controllers, and the run
// until SIGINT or SIGTERM.
#include <orvane_sim/simulator.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include "orvane_panel/panel.h"
#include "panel_internal.h"

namespace orvane::panel {

namespace {

std::atomic<int> stop_signal{0};

extern "C" void on_panel_stop_signal(int signal_number) { stop_signal.store(signal_number); }

// ADDRESS[:PORT] into its parts; false when it is neither.
bool split_endpoint(const std::string& text, std::string& host, int& port) {
    const auto colon = text.rfind(':');
    host = colon == std::string::npos ? text : text.substr(0, colon);
    port = -1;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        port = std::stoi(digits);
        if (port > 65535) return false;
    }
    return !host.empty();
}

bool is_dotted_ipv4(const std::string& text) {
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t digits = 0;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || value > 255) return false;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

// A host number on the build's controller network becomes a whole address.
std::string controller_host(const std::string& text) {
    if (!text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos &&
        std::stoi(text) <= 255) {
        return std::string(ORVANE_PANEL_NET_PREFIX) + text;
    }
    return text;
}

}  // namespace

void add_panel_options(CLI::App& app, CommandOptions& options) {
    app.add_option("--listen", options.listen,
                   "ADDRESS[:PORT] the page is served on; a free port when none is given. Loopback unless "
                   "another address is named here on purpose")
        ->capture_default_str();
    app.add_option("--host", options.hosts,
                   "Controller to show: HOST[:PORT], a dotted IPv4 address, a host name or a host number on the "
                   "controller network (" ORVANE_PANEL_NET_PREFIX "N); repeat for more. Default: the build's "
                   "controller address, unless --sim is given");
    app.add_option("--port", options.ports,
                   "Controller port for the --host values without one, in their order (default " +
                       std::to_string(ORVANE_PANEL_PORT) + ")")
        ->check(CLI::Range(1, 65535));
    app.add_flag("--sim", options.sims,
                 "Start a simulated controller in this process on a free loopback port and show it, with its "
                 "simulator's side; repeat for more");
    app.add_option("--sim-type", options.sim_type, "Controller type the simulators play: 1 (three axes) or 2 (six)")
        ->check(CLI::IsMember({1, 2}))
        ->capture_default_str();
    app.add_option("--rate", options.rate_hz, "Live updates per second sent to the page")
        ->check(CLI::Range(20, 100))
        ->capture_default_str();
    app.add_option("--jog-timeout", options.jog_timeout_ms,
                   "A jog whose page sent no heartbeat for this many milliseconds is stopped")
        ->check(CLI::Range(50, 2000))
        ->capture_default_str();
    app.add_option("--stop-mode", options.stop_mode,
                   "Mode of the stops the panel sends (the controller's meaning; the simulator brakes for 0 and "
                   "stops at once otherwise)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
}

int run_panel(const CommandOptions& options) {
    PanelOptions panel_options;
    panel_options.rate_hz = options.rate_hz;
    panel_options.jog_timeout_ms = options.jog_timeout_ms;
    panel_options.stop_mode = options.stop_mode;

    int listen_port = 0;
    if (!split_endpoint(options.listen, panel_options.listen_address, listen_port)) {
        std::cerr << "orvane panel: --listen wants ADDRESS[:PORT], got '" << options.listen << "'\n";
        return 1;
    }
    if (panel_options.listen_address == "localhost") panel_options.listen_address = "127.0.0.1";
    if (!is_dotted_ipv4(panel_options.listen_address)) {
        std::cerr << "orvane panel: --listen wants a dotted IPv4 address, got '" << panel_options.listen_address
                  << "'\n";
        return 1;
    }
    panel_options.listen_port = listen_port < 0 ? 0 : listen_port;

    std::size_t next_port = 0;
    for (const std::string& text : options.hosts) {
        ControllerTarget target;
        int port = -1;
        if (!split_endpoint(text, target.host, port)) {
            std::cerr << "orvane panel: --host wants HOST[:PORT], got '" << text << "'\n";
            return 1;
        }
        target.host = controller_host(target.host);
        if (port < 0 && next_port < options.ports.size()) port = options.ports[next_port++];
        target.port = port <= 0 ? ORVANE_PANEL_PORT : port;
        panel_options.controllers.push_back(target);
    }
    if (next_port < options.ports.size()) {
        std::cerr << "orvane panel: more --port values than --host values without a port\n";
        return 1;
    }

    std::vector<std::unique_ptr<orvane::sim::Simulator>> simulators;
    for (int i = 0; i < options.sims; ++i) {
        orvane::sim::SimulatorOptions sim_options;
        sim_options.bind_address = "127.0.0.1";
        sim_options.port = 0;
        sim_options.controller_type = options.sim_type;
        auto sim = std::make_unique<orvane::sim::Simulator>(sim_options);
        std::string error;
        if (!sim->start(&error)) {
            std::cerr << "orvane panel: cannot start a simulator: " << error << "\n";
            return 2;
        }
        ControllerTarget target;
        target.host = "127.0.0.1";
        target.port = sim->port();
        target.simulator = sim.get();
        panel_options.controllers.push_back(target);
        simulators.push_back(std::move(sim));
    }
    if (panel_options.controllers.empty()) {
        ControllerTarget target;
        target.host = std::string(ORVANE_PANEL_NET_PREFIX) + "254";
        target.port = ORVANE_PANEL_PORT;
        panel_options.controllers.push_back(target);
    }

    stop_signal = 0;
    auto previous_int = std::signal(SIGINT, on_panel_stop_signal);
    auto previous_term = std::signal(SIGTERM, on_panel_stop_signal);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);  // a page that went away is a failed write, not the end
#endif

    int result = 0;
    {
        Panel panel(panel_options);
        std::string error;
        if (!panel.start(&error)) {
            std::cerr << "orvane panel: " << error << "\n";
            result = 2;
        } else {
            if (!is_loopback_ipv4(panel.address())) {
                std::cerr << "orvane panel: warning: " << panel.address()
                          << " is not a loopback address: whoever reaches it sees the panel\n";
            }
            std::printf("orvane panel: serving %s\n", panel.url().c_str());
            for (std::size_t i = 0; i < panel_options.controllers.size(); ++i) {
                const ControllerTarget& target = panel_options.controllers[i];
                std::printf("  controller %zu: %s:%d%s\n", i, target.host.c_str(), target.port,
                            target.simulator != nullptr ? " (simulated in this process)" : "");
            }
            std::printf("orvane panel: Ctrl-C stops it (and whatever it set moving)\n");
            std::fflush(stdout);
            while (stop_signal.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            panel.stop_started(stop_signal.load() == SIGINT ? "SIGINT" : "SIGTERM");
            panel.stop();
            std::printf("orvane panel: stopped\n");
            std::fflush(stdout);
        }
    }
    for (auto& sim : simulators) sim->stop();
    std::signal(SIGINT, previous_int);
    std::signal(SIGTERM, previous_term);
    return result;
}

void add_panel_command(CLI::App& app) {
    auto options = std::make_shared<CommandOptions>();
    CLI::App* sub = app.add_subcommand(
        "panel", "Serve a live commissioning page for one or more controllers on loopback until Ctrl-C");
    add_panel_options(*sub, *options);
    sub->callback([options] { throw CLI::RuntimeError(run_panel(*options)); });
}

}  // namespace orvane::panel
