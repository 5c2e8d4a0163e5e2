// orvane-sim: runs the controller simulator until SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "orvane_build_config.h"
#include "orvane_sim/simulator.h"

namespace {

// Exit statuses when the simulator cannot start (2: bad options).
constexpr int exit_permission = 3;   // the port needs privileges
constexpr int exit_in_use = 4;       // the address and port are taken
constexpr int exit_unavailable = 5;  // the address is not one of this machine's
constexpr int exit_trace_file = 6;   // the trace file cannot be opened

std::atomic<int> stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_signal(int number) { stop_signal.store(number); }

// "N=0" or "N=1" with N in 1..24.
bool parse_input(const std::string& text, int& number, bool& level) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq + 2 != text.size()) return false;
    const char value = text[eq + 1];
    if (value != '0' && value != '1') return false;
    try {
        std::size_t used = 0;
        number = std::stoi(text.substr(0, eq), &used);
        if (used != eq) return false;
    } catch (const std::exception&) {
        return false;
    }
    level = value == '1';
    return number >= 1 && number <= 24;
}

// "MIN:MAX" in milliseconds.
bool parse_range(const std::string& text, int& low, int& high) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    try {
        std::size_t used_low = 0;
        std::size_t used_high = 0;
        low = std::stoi(text.substr(0, colon), &used_low);
        high = std::stoi(text.substr(colon + 1), &used_high);
        if (used_low != colon || used_high != text.size() - colon - 1) return false;
    } catch (const std::exception&) {
        return false;
    }
    return low >= 0 && high > 0 && low <= high;
}

}  // namespace

int main(int argc, char** argv) {
    orvane::sim::SimulatorOptions options;
    options.port = ORVANE_CONTROLLER_PORT;
    std::string trace;
    bool trace_no_status = false;
    std::vector<std::string> inputs;
    std::string drop_random;
    std::string drop_style = "orderly";
    int count = 1;
    std::string spread = "ports";

    CLI::App app{"A stand-in motion controller for the orvane library. It speaks the controller protocol on one\n"
                 "TCP port, serves one client at a time (a new connection replaces the old one), moves its\n"
                 "axes, streams status lines and can inject faults. Runs until SIGINT or SIGTERM.\n"
                 "See docs/simulator.md for the motion model, fly capture, raw answers and faults.",
                 "orvane-sim"};
    app.get_formatter()->column_width(34);

    const std::string default_address = std::string(ORVANE_CONTROLLER_NET_PREFIX) + "254";
    app.add_option("--bind", options.bind_address, "IPv4 address to listen on (default " + default_address + ")");
    app.add_option("--port", options.port, "TCP port (0 picks a free one; it is printed)")
        ->default_val(ORVANE_CONTROLLER_PORT)
        ->check(CLI::Range(0, 65535));
    app.add_option("--type", options.controller_type, "controller type: 1 = three axes, 2 = six axes")
        ->default_val(2)
        ->check(CLI::IsMember({1, 2}));
    app.add_option("--status-period", options.status_period_ms, "milliseconds between \"100\" status lines (0: none)")
        ->default_val(10)
        ->check(CLI::Range(0, 60000));
    app.add_option("--version-text", options.version, "text of the \"2001\" reply (no \":\" in it)")
        ->default_val(options.version);
    app.add_option("--trace", trace, "log every line received and sent, timestamped, to FILE or to standard error (- or no value)")
        ->expected(0, 1)
        ->type_name("[FILE|-]");
    app.add_option("--count", count,
                   "serve N controllers from this process, on consecutive ports (or addresses, see --spread); "
                   "each behaves as a simulator of its own")
        ->default_val(1)
        ->check(CLI::Range(1, 1000));
    app.add_option("--spread", spread,
                   "with --count: ports (PORT, PORT+1, ...; 0: free ones) or addresses (the last octet of --bind "
                   "counts up, all on PORT)")
        ->default_val("ports")
        ->check(CLI::IsMember({"ports", "addresses"}));
    app.add_option("--trace-skip", options.trace_skip,
                   "leave lines with these codes out of the trace, e.g. 100,190 (status lines and polls)")
        ->delimiter(',')
        ->type_name("CODE,...");
    app.add_flag("--trace-no-status", trace_no_status, "leave the \"100\" status lines out of the trace (--trace-skip 100)");
    app.add_option("--input", inputs, "set input N (1..24) to 0 or 1; repeatable")->type_name("N=0|1");
    app.add_option("--raw-reply-delay", options.raw_reply_delay_ms,
                   "extra milliseconds before a \"5010\" answer to raw text (the library pauses polling for 1000 ms after a raw send)")
        ->default_val(0)
        ->check(CLI::Range(0, 600000));

    auto& f = options.faults;
    const std::string faults = "Fault injection";
    app.add_option("--drop-after", f.drop_after_ms, "drop every connection this many ms after accepting it")
        ->group(faults)
        ->check(CLI::Range(0, 86400000));
    app.add_option("--drop-random", drop_random, "drop every connection after a random time between MIN and MAX ms")
        ->group(faults)
        ->type_name("MIN:MAX");
    app.add_option("--drop-style", drop_style,
                   "how timed drops close: orderly (FIN), mid-line (half a status line, then FIN), reset (RST)")
        ->group(faults)
        ->check(CLI::IsMember({"orderly", "mid-line", "reset"}))
        ->default_val("orderly");
    app.add_option("--trickle", f.trickle_delay_ms, "send every byte in a send of its own, MS apart (0: no pause)")
        ->group(faults)
        ->type_name("MS")
        ->check(CLI::Range(0, 10000));
    app.add_option("--merge", f.merge_window_ms, "collect lines for MS and send them in one segment")
        ->group(faults)
        ->type_name("MS")
        ->check(CLI::Range(1, 10000));
    app.add_option("--garbage", f.garbage_probability, "send a garbage line before a line with this probability (0..1)")
        ->group(faults)
        ->check(CLI::Range(0.0, 1.0));
    app.add_flag("--silent", f.silent, "answer no polls and send no status lines, fly reports or raw answers")->group(faults);
    app.add_option("--refuse", f.refuse_connections, "accept and close at once the next N connections")
        ->group(faults)
        ->type_name("N")
        ->check(CLI::Range(0, 1000000));
    app.add_option("--reply-delay", f.reply_delay_ms, "send every line this many ms after it was made")
        ->group(faults)
        ->type_name("MS")
        ->check(CLI::Range(0, 600000));
    app.add_option("--seed", f.seed, "seed of the random drops and the garbage")->group(faults)->default_val(1);

    CLI11_PARSE(app, argc, argv);

    if (app.count("--trace") > 0) options.trace_path = trace.empty() ? "-" : trace;
    if (trace_no_status) options.trace_skip.emplace_back("100");
    for (const std::string& code : options.trace_skip) {
        if (code.empty() || code.find_first_not_of("0123456789") != std::string::npos) {
            std::fprintf(stderr, "orvane-sim: --trace-skip wants codes such as 100 or 100,190, not '%s'\n", code.c_str());
            return 2;
        }
    }
    for (const std::string& text : inputs) {
        int number = 0;
        bool level = false;
        if (!parse_input(text, number, level)) {
            std::fprintf(stderr, "orvane-sim: --input wants N=0 or N=1 with N from 1 to 24, not '%s'\n", text.c_str());
            return 2;
        }
        options.inputs[static_cast<std::size_t>(number - 1)] = level;
    }
    if (!drop_random.empty() && !parse_range(drop_random, f.drop_random_min_ms, f.drop_random_max_ms)) {
        std::fprintf(stderr, "orvane-sim: --drop-random wants MIN:MAX in milliseconds, 0 <= MIN <= MAX, MAX > 0\n");
        return 2;
    }
    f.drop_style = drop_style == "mid-line" ? orvane::sim::DropStyle::mid_line
                   : drop_style == "reset"  ? orvane::sim::DropStyle::reset
                                            : orvane::sim::DropStyle::orderly;

    if (options.bind_address.empty()) options.bind_address = default_address;
    std::vector<std::unique_ptr<orvane::sim::Simulator>> simulators;
    for (int i = 0; i < count; ++i) {
        orvane::sim::SimulatorOptions own = options;
        if (i > 0 && spread == "ports" && options.port != 0) own.port = options.port + i;
        if (i > 0 && spread == "addresses") {
            const auto point = options.bind_address.rfind('.');
            int last = 0;
            try {
                last = std::stoi(options.bind_address.substr(point + 1));
            } catch (const std::exception&) {
                last = 256;
            }
            if (point == std::string::npos || last + i > 255) {
                std::fprintf(stderr, "orvane-sim: --count %d does not fit after %s\n", count, options.bind_address.c_str());
                return 1;
            }
            own.bind_address = options.bind_address.substr(0, point + 1) + std::to_string(last + i);
        }
        if (own.port > 65535) {
            std::fprintf(stderr, "orvane-sim: --count %d does not fit after port %d\n", count, options.port);
            return 1;
        }
        auto simulator = std::make_unique<orvane::sim::Simulator>(own);
        std::string error;
        if (!simulator->start(&error)) {
            std::fprintf(stderr, "orvane-sim: %s\n", error.c_str());
            switch (simulator->start_failure()) {
                case orvane::sim::StartFailure::permission:
                    std::fprintf(stderr, "orvane-sim: run as root, grant the capability (sudo setcap cap_net_bind_service=+ep %s), "
                                         "or choose another --port\n", argv[0]);
                    return exit_permission;
                case orvane::sim::StartFailure::address_in_use:
                    std::fprintf(stderr, "orvane-sim: is another orvane-sim, 'orvane --sim' or the demonstration running? Stop it, "
                                         "or choose another --port or --bind address\n");
                    return exit_in_use;
                case orvane::sim::StartFailure::address_unavailable:
                    std::fprintf(stderr, "orvane-sim: --bind takes an address of this machine, such as a loopback address "
                                         "127.x.y.z (default %s)\n", default_address.c_str());
                    return exit_unavailable;
                case orvane::sim::StartFailure::trace_file:
                    std::fprintf(stderr, "orvane-sim: --trace takes a file in an existing, writable directory, or - for "
                                         "standard error\n");
                    return exit_trace_file;
                default: return 1;
            }
        }
        std::printf("orvane-sim listening on %s:%u (controller type %d)\n", simulator->address().c_str(),
                    static_cast<unsigned>(simulator->port()), options.controller_type);
        simulators.push_back(std::move(simulator));
    }
    std::fflush(stdout);

    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    // A signal handler may only set the flag; look at it a few times a second.
    while (stop_signal.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    for (auto& simulator : simulators) {
        simulator->stop();
        const orvane::sim::FaultCounters c = simulator->fault_counters();
        std::printf("orvane-sim %s:%u stopped after %d connection(s); faults fired: timed drops %d, mid-line closes %d, "
                    "resets %d, trickled lines %d, merged sends %d, garbage lines %d, silenced lines %d, refused "
                    "connections %d, delayed lines %d\n",
                    simulator->address().c_str(), static_cast<unsigned>(simulator->port()), simulator->connection_count(),
                    c.timed_drops, c.mid_line_closes, c.resets, c.trickled_lines, c.merged_sends, c.garbage_lines,
                    c.silenced_lines, c.refused_connections, c.delayed_lines);
    }
    return 0;
}
