#include "support.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <thread>
#include <utility>

namespace orvane::tool {

const char* build_net_prefix() { return ORVANE_TOOL_NET_PREFIX; }
int build_port() { return ORVANE_TOOL_PORT; }
const char* build_version() { return ORVANE_TOOL_VERSION; }

using Clock = std::chrono::steady_clock;

bool is_host_number(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string library_host(const std::string& host) {
    if (is_host_number(host)) return std::string(build_net_prefix()) + host;
    return host;
}

namespace {

// What the log handler saw; shared with the library's thread.
struct LinkWatch {
    std::atomic<bool> attempt_failed{false};
    std::function<void(orvane::LogLevel, std::string_view)> forward;
};

std::chrono::milliseconds to_ms(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(std::max(seconds, 0.0) * 1000.0 + 0.5));
}

}  // namespace

ConnectResult connect_controller(const ConnectRequest& request) {
    ConnectResult result;
    const int port = request.port > 0 ? request.port : build_port();
    const std::string host = library_host(request.host);
    result.where = (host.empty() ? std::string(build_net_prefix()) + "254" : host) + ":" + std::to_string(port);

    auto watch = std::make_shared<LinkWatch>();
    watch->forward = request.log;
    orvane::ControllerOptions options;
    options.host = host;
    options.port = port;
    // One attempt may not take longer than the whole wait.
    options.connect_timeout = std::clamp(to_ms(request.timeout_s), std::chrono::milliseconds(1),
                                         std::chrono::milliseconds(1000));
    options.reconnect_pause = request.reconnect_pause;
    options.log = [watch](orvane::LogLevel level, std::string_view text) {
        // The link reports every failed attempt as a warning.
        if (level == orvane::LogLevel::warning) watch->attempt_failed.store(true);
        if (watch->forward) watch->forward(level, text);
    };
    try {
        result.controller = std::make_unique<orvane::Controller>(std::move(options));
    } catch (const std::exception& e) {
        result.exit_code = exit_not_connected;
        result.error = std::string("cannot make a controller handle for ") + result.where + ": " + e.what();
        return result;
    }
    orvane::Controller& controller = *result.controller;

    const auto deadline = Clock::now() + to_ms(request.timeout_s);
    const auto fail = [&](int code, std::string text) {
        result.controller.reset();
        result.exit_code = code;
        result.error = std::move(text);
        return std::move(result);
    };
    const auto cancelled = [&] { return request.cancelled && request.cancelled(); };
    constexpr auto slice = std::chrono::milliseconds(20);

    for (;;) {
        if (controller.wait_connected(slice) == orvane::WaitStatus::done) break;
        if (watch->attempt_failed.load()) {
            return fail(exit_not_connected,
                        "cannot reach the controller at " + result.where +
                            " (the connection was refused, the host is unknown, or it did not answer within " +
                            num(std::chrono::duration<double>(options.connect_timeout).count()) +
                            " s). Is it switched on, or is orvane-sim running there? --sim starts a simulator in "
                            "this process.");
        }
        if (cancelled()) return fail(exit_interrupted, "interrupted while connecting to " + result.where);
        if (Clock::now() >= deadline) {
            return fail(exit_not_connected, "not connected to the controller at " + result.where + " within " +
                                                num(request.timeout_s) + " s (--timeout waits longer)");
        }
    }
    for (;;) {
        if (controller.wait_ready(slice) == orvane::WaitStatus::done) break;
        if (cancelled()) return fail(exit_interrupted, "interrupted while connecting to " + result.where);
        if (Clock::now() >= deadline) {
            return fail(exit_not_connected,
                        controller.connected()
                            ? "connected to " + result.where +
                                  ", but the controller did not report its version, output levels and axis "
                                  "parameters within " +
                                  num(request.timeout_s) + " s"
                            : "the link to " + result.where + " went down while connecting");
        }
    }
    return result;
}

bool wait_state_bits(const orvane::Controller& controller, double timeout_s) {
    // The bits count once the library takes them; an axis standing still or
    // homed shows that it does (the library's waits know the hold-off).
    const auto deadline = Clock::now() + to_ms(timeout_s);
    for (;;) {
        for (int axis = 0; axis < 6; ++axis) {
            const unsigned bit = 1u << axis;
            if (orvane_ctl_wait_at_rest(controller.handle(), bit, 0) == 1 ||
                orvane_ctl_wait_homed(controller.handle(), bit, 0) == 1) {
                // The library applies a status line's bits one by one: let
                // the first line that counts be applied whole.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                return true;
            }
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

unsigned axis_mask(const std::vector<int>& axes) {
    unsigned mask = 0;
    for (int axis : axes) mask |= 1u << axis;
    return mask;
}

int axis_count(const orvane::Controller& controller) { return controller.type() == 1 ? 3 : 6; }

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

const std::array<const char*, 21>& parameter_names() {
    static const std::array<const char*, 21> names = {
        "p0",          "p1",          "pulses_per_rev",    "p3",          "p4",
        "axis_rotation", "p6",        "p7",                "p8",          "use_encoder",
        "soft_limit_margin", "p11",   "max_speed",         "home_speed",  "left_soft_limit",
        "right_soft_limit", "p16",    "acc_time",          "encoder_scale", "travel_per_rev",
        "p20"};
    return names;
}

std::string num(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude >= 1e15 || magnitude < 1e-6)) {
        std::snprintf(buffer, sizeof buffer, "%.6g", value);
        return buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.6f", value);
    std::string text = buffer;
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text = buffer;
    // No "-0.000" for a value that rounds to zero.
    if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-') text.erase(0, 1);
    return text;
}

ProgressLine::ProgressLine(bool terminal, std::string indent, int plain_period_ms)
    : terminal_(terminal), indent_(std::move(indent)), plain_period_ms_(plain_period_ms) {}

void ProgressLine::draw(double fraction, const std::string& text) {
    fraction = std::clamp(fraction, 0.0, 1.0);
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
    const auto now = Clock::now();
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
    end_line();
}

void ProgressLine::end_line() {
    if (terminal_ && drawn_) std::cout << '\n' << std::flush;
    drawn_ = false;
}

}  // namespace orvane::tool
