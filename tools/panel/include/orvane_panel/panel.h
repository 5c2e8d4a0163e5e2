// The commissioning panel: a single web page, served on loopback, that shows
// one or more controllers live and drives them through the library. See
// docs/panel.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace orvane::sim {
class Simulator;
}

namespace orvane::panel {

// One controller the panel connects to.
struct ControllerTarget {
    std::string host;  // dotted IPv4 address or host name
    int port = 0;      // 0: the build's controller port
    // A simulator that belongs to this controller (started and stopped by
    // the caller); its side shows in the page when set.
    orvane::sim::Simulator* simulator = nullptr;
};

struct PanelOptions {
    std::string listen_address = "127.0.0.1";  // loopback unless named otherwise on purpose
    int listen_port = 0;                        // 0: any free port
    std::vector<ControllerTarget> controllers;
    int rate_hz = 50;                           // live updates per second (20..100)
    int jog_timeout_ms = 300;                   // a jog without a heartbeat for this long is stopped
    int stop_mode = 0;                          // mode of the stops the panel sends
    std::size_t line_history = 4000;            // protocol lines kept per simulator
    bool log_to_stderr = true;                  // safety stops and takeovers are reported
};

class Panel {
public:
    explicit Panel(PanelOptions options);
    // Stops whatever the panel set moving, then shuts the server down.
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Connects the controllers and starts serving. False with a message in
    // *error when the address cannot be bound.
    bool start(std::string* error = nullptr);
    // Stops every axis the panel set moving (and lets the stops go out),
    // closes the controllers and the server. Safe to call more than once.
    void stop();

    std::uint16_t port() const;
    const std::string& address() const;
    std::string url() const;  // http://ADDRESS:PORT/
    // The token every state-changing request carries (X-Panel-Token); the
    // served page holds it.
    const std::string& token() const;

    // Stops every axis the panel set moving, on every controller.
    void stop_started(const std::string& reason);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---- Command line ---------------------------------------------------------

struct CommandOptions {
    std::string listen = "127.0.0.1";  // ADDRESS or ADDRESS:PORT
    std::vector<std::string> hosts;    // HOST or HOST:PORT, one controller each
    std::vector<int> ports;            // ports for the hosts without one, in order
    int sims = 0;                      // simulated controllers to start in this process
    int sim_type = 2;
    int rate_hz = 50;
    int jog_timeout_ms = 300;
    int stop_mode = 0;
};

// Adds the panel's options to app (a subcommand or a program's own app).
void add_panel_options(CLI::App& app, CommandOptions& options);
// Runs the panel until SIGINT or SIGTERM. Returns the exit code (0 done,
// 1 bad options, 2 the panel or a simulator could not start).
int run_panel(const CommandOptions& options);
// Registers the `panel` subcommand on the orvane tool: it runs the panel
// and ends the program's parse with CLI::RuntimeError(exit code) (0 when
// all went well), so the tool's main does nothing else for it.
void add_panel_command(CLI::App& app);

}  // namespace orvane::panel
