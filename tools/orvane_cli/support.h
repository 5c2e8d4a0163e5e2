// Helpers the command-line tool and the demonstration share: finding and
// connecting to the controller through the library's public exports,
// waiting with deadlines, and small text utilities.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace orvane::tool {

// Exit codes of the tools.
enum ExitCode : int {
    exit_ok = 0,
    exit_refused = 1,        // a guard refused the call or the input was wrong
    exit_not_connected = 2,  // no controller (or the simulator did not start)
    exit_not_arrived = 3,    // a --wait ran out of time or the axis stopped short
};

// The controller network prefix and port the library was built with.
const char* build_net_prefix();
int build_port();
const char* build_version();

// True for a host number (0..255) or a complete dotted IPv4 address.
bool valid_host_text(const std::string& text);
// The address the library connects to for host text ("" = the default host).
std::string controller_address(const std::string& host);

// Polls pred every poll_ms until it holds (true) or the time runs out.
bool wait_until(const std::function<bool()>& pred, double seconds, int poll_ms = 5);

// Connects the process-wide library: Orvane_initial for the default host,
// the address switch (code 6001) for another one. Then waits until the link
// is up and the library has loaded the controller's version, output levels
// and axis parameters, and the first state bits. On failure *error says why.
bool connect_library(const std::string& host, double timeout_s, std::string* error);

// Orvane_close, once.
void close_library();

// Cuts text at every comma (empty pieces count).
std::vector<std::string> split_commas(const std::string& text);

// Number of axes of the connected controller (3 for type 1, else 6).
int axis_count();

// The names of the 21 fields of an axis parameter record, in record order.
const std::array<const char*, 21>& parameter_names();

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
