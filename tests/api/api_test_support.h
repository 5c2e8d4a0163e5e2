// Shared pieces of the export tests: a Runtime that believes it is
// connected (no network, nothing consumes the queue, so every queued command
// can be read back with take()), and small helpers.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "api/runtime.h"

namespace orvane::test {

// A configuration that never reaches a real controller: nothing listens on
// 127.0.0.1 port 1, and unit tests do not call initial() anyway.
inline RuntimeConfig offline_config() {
    RuntimeConfig config = RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = 1;
    config.link.connect_timeout_ms = 200;
    config.link.reconnect_pause_ms = 50;
    config.raw_send_pause_ms = 20;
    config.restart_pause_ms = 20;
    config.quick_restart_pause_ms = 20;
    return config;
}

// A counting call of get_fly_pos limits the next copying call on the same
// thread; a test must not inherit one from an earlier test in the process.
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

// Polls a condition until it holds or the deadline passes.
inline bool wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms = 2) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

// A "100" status line: 18 values, or 42 with the 24 present output values.
inline std::string status_line(const std::array<std::int32_t, 12>& counts, int word1, int word2, int type,
                               int inputs_1_8 = 0, int inputs_9_16 = 0, int inputs_17_24 = 0,
                               const std::array<int, 24>* outputs = nullptr) {
    std::string line = "100:";
    for (std::int32_t c : counts) line += std::to_string(c) + ",";
    line += std::to_string(word1) + "," + std::to_string(word2) + "," + std::to_string(type) + "," +
            std::to_string(inputs_1_8) + "," + std::to_string(inputs_9_16) + "," + std::to_string(inputs_17_24);
    if (outputs != nullptr) {
        for (int v : *outputs) line += "," + std::to_string(v);
    }
    return line + "\n";
}

}  // namespace orvane::test
