// Helpers the command-line tool and the demonstration share: connecting an
// orvane::Controller handle, numbers for people, the parameter names, and a
// progress line.
#pragma once

#include <orvane/controller.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::tool {

// Exit codes of the tools.
enum ExitCode : int {
    exit_ok = 0,
    exit_refused = 1,        // a guard refused the call or the input was wrong
    exit_not_connected = 2,  // no controller (or the simulator did not start)
    exit_not_arrived = 3,    // a wait ran out of time or the axis stopped short
    exit_interrupted = 130,  // Ctrl-C or SIGTERM during a wait; what was started is stopped
};

// The controller network prefix and port the library was built with.
const char* build_net_prefix();
int build_port();
const char* build_version();

// The host text for the library: "" stays "" (the build's default address);
// a host number (all digits) goes after the controller network prefix;
// anything else (a dotted address, a host name) is passed on as it is.
std::string library_host(const std::string& host);
// True when text is all digits (a host number).
bool is_host_number(const std::string& text);

// What connect_controller needs.
struct ConnectRequest {
    std::string host;  // as given by the user (see library_host)
    int port = 0;      // 0: the build's controller port
    double timeout_s = 5.0;
    // Pause between reconnection attempts once connected (a dropped link).
    std::chrono::milliseconds reconnect_pause{1000};
    // The library's messages, besides what connect_controller makes of them.
    std::function<void(orvane::LogLevel, std::string_view)> log;
    // Polled while waiting: true ends the wait (an operator's Ctrl-C).
    std::function<bool()> cancelled;
};

struct ConnectResult {
    std::unique_ptr<orvane::Controller> controller;  // null on failure
    int exit_code = exit_ok;
    std::string error;  // for people, on failure
    std::string where;  // "host:port"
};

// Creates a handle and waits until it is connected and ready (the
// controller's version, output levels and axis parameters have arrived).
// The first failed connection attempt ends the wait at once (not reachable:
// refused, no such host, no answer within the attempt's time-out), as does
// the time-out; both give exit_not_connected.
ConnectResult connect_controller(const ConnectRequest& request);

// Waits up to timeout_s until the controller's move- and home-state bits are
// current (the library takes them from the status lines after a short
// hold-off once connected); true when they are.
bool wait_state_bits(const orvane::Controller& controller, double timeout_s);

// Bit a for every axis a.
unsigned axis_mask(const std::vector<int>& axes);

// Number of axes of the connected controller (3 for type 1, else 6).
int axis_count(const orvane::Controller& controller);

// Cuts text at every comma (empty pieces count).
std::vector<std::string> split_commas(const std::string& text);

// The names of the 21 fields of an axis parameter record, in record order;
// fields 0 to 9 are whole numbers, 10 to 20 floating point.
const std::array<const char*, 21>& parameter_names();
constexpr int parameter_int_fields = 10;

// A number for people: no exponent in the usual ranges, at most six
// decimals, no trailing zeros ("50", "12.5", "0.001", "-3.141593").
std::string num(double value);
// A number in fixed notation with the given decimals ("%.*f").
std::string fixed(double value, int decimals = 3);

// Live progress: a bar rewritten in place on a terminal, plain lines at a
// modest rate otherwise.
class ProgressLine {
public:
    explicit ProgressLine(bool terminal, std::string indent = {}, int plain_period_ms = 250);
    // fraction in 0..1; text follows the bar.
    void update(double fraction, const std::string& text);
    // Last update (always printed) and the end of the line.
    void finish(double fraction, const std::string& text);
    // Ends a bar drawn in place without another update (before a message).
    void end_line();

private:
    void draw(double fraction, const std::string& text);
    bool terminal_;
    std::string indent_;
    int plain_period_ms_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_plain_{};
    std::string last_text_;
};

}  // namespace orvane::tool
