// Shared pieces of the export tests: a Runtime that believes it is connected, whose queue nothing consumes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "api/runtime.h"

namespace orvane::test {

// Nothing listens on 127.0.0.1 port 1, and unit tests do not call initial() anyway.
inline RuntimeConfig offline_config(int home_pause_ms = RuntimeConfig::defaults().home_pause_ms) {
    RuntimeConfig config = RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = 1;
    config.link.connect_timeout_ms = 200;
    config.link.reconnect_pause_ms = 50;
    config.raw_send_pause_ms = 20;
    config.restart_pause_ms = 20;
    config.quick_restart_pause_ms = 20;
    config.home_pause_ms = home_pause_ms;
    return config;
}

// A counting get_fly_pos limits the next copy on its thread: no test may inherit one.
inline void forget_fly_count(Runtime& rt) {
    const auto held = rt.mirror().fly_positions.snapshot();
    rt.mirror().fly_positions.clear();
    double unused = 0;
    (void)rt.get_fly_pos(&unused);
    rt.mirror().fly_positions.replace(held);
}

class ConnectedRuntime : public ::testing::Test {
protected:
    explicit ConnectedRuntime(RuntimeConfig config = offline_config()) : rt(std::move(config)) {
        rt.mirror().connected.store(true);
        forget_fly_count(rt);
    }

    ControllerMirror& mirror() { return rt.mirror(); }
    // Everything queued since the last call.
    std::string queued() { return rt.pending().take(); }
    void disconnect() { rt.mirror().connected.store(false); }

    Runtime rt;
};

using Clock = std::chrono::steady_clock;

inline double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// Milliseconds one call takes.
inline double time_call_ms(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return elapsed_ms(start);
}

// The shortest of a few calls: one late wake-up must not make a quick call look slow.
inline double fastest_ms(const std::function<void()>& call, int tries = 5) {
    double best = 1e9;
    for (int i = 0; i < tries; ++i) best = std::min(best, time_call_ms(call));
    return best;
}

// Polls a condition until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms = 2) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

}  // namespace orvane::test
