#include "support.h"

#include <orvane/orvane.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <utility>

namespace orvane::tool {

const char* build_net_prefix() { return ORVANE_TOOL_NET_PREFIX; }
int build_port() { return ORVANE_TOOL_PORT; }
const char* build_version() { return ORVANE_TOOL_VERSION; }

namespace {

bool is_octet(const std::string& text) {
    if (text.empty() || text.size() > 3) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return std::atoi(text.c_str()) <= 255;
}

bool is_dotted_address(const std::string& text) {
    const std::vector<std::string> parts = [&] {
        std::vector<std::string> out(1);
        for (char c : text) {
            if (c == '.') {
                out.emplace_back();
            } else {
                out.back() += c;
            }
        }
        return out;
    }();
    if (parts.size() != 4) return false;
    for (const auto& part : parts) {
        if (!is_octet(part)) return false;
    }
    return true;
}

bool version_loaded() {
    std::string text;
    return Orvane_cmd(2001, 0, text) == 1 && !text.empty();
}

bool levels_loaded() {
    std::string text;
    if (Orvane_cmd(4, 0, text) != 1) return false;
    const auto levels = split_commas(text);
    return levels.size() == 24 && levels.back() != "0";
}

bool parameters_loaded() {
    std::string text;
    if (Orvane_cmd(2, 0, text) != 1) return false;
    const auto fields = split_commas(text);
    return fields.size() == 21 && std::atof(fields[12].c_str()) >= 0.1;
}

// The library keeps the state bits from before the connection for the
// first status replies; once any axis reports standing still or homed, the
// controller's own bits have arrived.
bool state_bits_arrived() {
    for (int axis = 0; axis < 6; ++axis) {
        bool still = false;
        bool homed = false;
        if (Orvane_get_move_state(axis, still) == 1 && still) return true;
        if (Orvane_get_home_state(axis, homed) == 1 && homed) return true;
    }
    return false;
}

std::atomic<bool> library_open{false};

}  // namespace

bool valid_host_text(const std::string& text) { return is_octet(text) || is_dotted_address(text); }

std::string controller_address(const std::string& host) {
    if (host.empty()) return std::string(build_net_prefix()) + "254";
    if (is_dotted_address(host)) return host;
    return std::string(build_net_prefix()) + host;
}

bool wait_until(const std::function<bool()>& pred, double seconds, int poll_ms) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

bool connect_library(const std::string& host, double timeout_s, std::string* error) {
    const auto started = std::chrono::steady_clock::now();
    const auto remaining = [&] {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
        return timeout_s - spent.count() > 0 ? timeout_s - spent.count() : 0.0;
    };
    library_open = true;
    if (host.empty()) {
        Orvane_initial();
    } else {
        std::string text = host;
        Orvane_cmd(6001, 0, text);  // switches the address and starts the library
    }
    const std::string where = controller_address(host) + ":" + std::to_string(build_port());
    if (!wait_until([] { return Orvane_is_connect() == 1; }, remaining())) {
        if (error) {
            *error = "not connected to the controller at " + where + " within " + fixed(timeout_s, 1) +
                     " s (is it switched on and reachable? --timeout waits longer)";
        }
        return false;
    }
    if (!wait_until([] { return version_loaded() && levels_loaded() && parameters_loaded(); }, remaining())) {
        if (error) {
            *error = "connected to " + where +
                     ", but the controller did not report its version, output levels and axis parameters within " +
                     fixed(timeout_s, 1) + " s";
        }
        return false;
    }
    // Not fatal: with every axis moving and none homed there is nothing to see.
    wait_until(state_bits_arrived, remaining() < 1.0 ? remaining() : 1.0);
    return true;
}

void close_library() {
    if (library_open.exchange(false)) Orvane_close();
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == ',') {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

int axis_count() { return Orvane_get_Type() == 1 ? 3 : 6; }

const std::array<const char*, 21>& parameter_names() {
    static const std::array<const char*, 21> names = {
        "p0",           "p1",         "pulses_per_rev",    "p3",
        "p4",           "axis_rotation", "p6",             "p7",
        "p8",           "use_encoder", "soft_limit_margin", "p11",
        "max_speed",    "home_speed", "left_soft_limit",   "right_soft_limit",
        "p16",          "acc_time",   "encoder_scale",     "travel_per_rev",
        "p20"};
    return names;
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

ProgressLine::ProgressLine(bool terminal, std::string indent, int plain_period_ms)
    : terminal_(terminal), indent_(std::move(indent)), plain_period_ms_(plain_period_ms) {}

void ProgressLine::draw(double fraction, const std::string& text) {
    if (fraction < 0) fraction = 0;
    if (fraction > 1) fraction = 1;
    constexpr int width = 30;
    const int filled = static_cast<int>(fraction * width + 0.5);
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar += "] ";
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%  ", static_cast<int>(fraction * 100 + 0.5));
    if (terminal_) {
        // Carriage return and clear-to-end-of-line redraw the same line.
        std::cout << '\r' << indent_ << bar << percent << text << "\x1b[K" << std::flush;
    } else {
        std::cout << indent_ << percent << text << '\n' << std::flush;
    }
    drawn_ = true;
}

void ProgressLine::update(double fraction, const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    if (!terminal_ && drawn_ && (now - last_plain_ < std::chrono::milliseconds(plain_period_ms_) || text == last_text_)) {
        return;
    }
    last_plain_ = now;
    last_text_ = text;
    draw(fraction, text);
}

void ProgressLine::finish(double fraction, const std::string& text) {
    const bool repeat = !terminal_ && drawn_ && text == last_text_;
    if (!repeat) draw(fraction, text);
    if (terminal_) std::cout << '\n' << std::flush;
    drawn_ = false;
}

}  // namespace orvane::tool
