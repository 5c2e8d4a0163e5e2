// The orvane tool's pieces: the options every subcommand shares, the
// session a subcommand runs in (a connected controller handle, maybe a
// simulator in this process), and the registration of the subcommands.
// Each subcommand is one function (cmd_*.cpp) that gets a Session and
// returns an exit code (support.h).
#pragma once

#include <orvane/controller.hpp>

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support.h"

namespace orvane::sim {
class Simulator;
}

namespace orvane::tool {

struct GlobalOptions {
    std::string host;    // host number, dotted address or host name; "" = the build's default
    int port = 0;        // 0: the build's controller port (with --sim: a free port)
    bool sim = false;
    int sim_type = 2;
    double timeout = 5.0;
    bool verbose = false;
};

struct Session {
    orvane::Controller& controller;
    orvane::sim::Simulator* sim = nullptr;  // the in-process simulator of --sim
    std::string where;                      // "host:port"
    bool terminal = false;                  // standard output is a terminal
};

// One subcommand: the CLI11 subcommand and what it does once connected.
struct Command {
    CLI::App* app = nullptr;
    std::function<int(Session&)> run;
};
using Commands = std::vector<Command>;

// Registration, one function per group of subcommands.
void add_info_commands(CLI::App& app, Commands& commands);    // status, watch, version
void add_motion_commands(CLI::App& app, Commands& commands);  // move, xyz, home, jog, stop, zero
void add_io_commands(CLI::App& app, Commands& commands);      // out, in, levels
void add_params_command(CLI::App& app, Commands& commands);   // params
void add_raw_command(CLI::App& app, Commands& commands);      // raw
void add_fly_commands(CLI::App& app, Commands& commands);
// `panel`, where this build has the panel (a subcommand that runs it and
// ends the parse with its exit code); nothing elsewhere.
void add_panel_command_if_built(CLI::App& app);     // fly setup|start|trim|positions

// Connects as the global options say (starting the simulator for --sim),
// runs body and closes again. Returns body's exit code, or the connection's.
int run_in_session(const GlobalOptions& options, const std::function<int(Session&)>& body);

// ---- Shared by the subcommands --------------------------------------------

// Validators with messages in plain words.
extern const CLI::Validator positive_number;      // > 0
extern const CLI::Validator non_negative_number;  // >= 0
extern const CLI::Range axis_range;               // 0..5
extern const CLI::Range io_range;                 // 1..24

// Adds the axis argument AXIS (0..5) to a subcommand.
CLI::Option* add_axis_argument(CLI::App* sub, int& axis);
// Adds "Examples:" with the given command lines to a subcommand's help.
void set_examples(CLI::App* sub, const std::vector<std::string>& lines);

// "orvane: text" on standard error; returns code.
int fail(int code, const std::string& text);

// Refuses an axis that the connected controller does not have.
bool check_axis(const Session& session, int axis);

// A number for JSON: rounded to six decimals (the float values the
// controller reports carry no more).
double json_number(double value);
// One JSON document on one line of standard output.
void print_json(const nlohmann::ordered_json& value);

}  // namespace orvane::tool
