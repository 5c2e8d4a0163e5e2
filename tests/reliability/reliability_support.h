// Shared pieces of the reliability tests: Runtimes on an in-process simulator, run sizes from the
// environment, a watchdog. Tests print "FIGURE <name>: <text>" lines for scripts/reliability.sh.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "api/runtime.h"
#include "orvane_sim/simulator.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"

namespace orvane::reliability {

using Clock = std::chrono::steady_clock;

inline double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}
inline bool wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms = 1) {
    return testing::wait_until(condition, std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(step_ms));
}

// A positive integer from the environment, or fallback.
long env_long(const char* name, long fallback);

// A started simulator on 127.0.0.1 and an ephemeral port.
std::unique_ptr<sim::Simulator> start_simulator(sim::SimulatorOptions options = {});

// A Runtime on the simulator's port, quiet; fast timings are the loopback tests' (short pauses),
// otherwise the shipped ones.
std::unique_ptr<Runtime> quiet_runtime(std::uint16_t port, bool fast_timings);

// Host traffic on a thread of its own until destroyed: a random move, output,
// free command or query every 2 ms (refused while the link is down).
class HostTraffic {
public:
    HostTraffic(Runtime& rt, unsigned seed);
    ~HostTraffic();
    long calls() const { return calls_.load(); }

private:
    std::atomic<bool> run_{true};
    std::atomic<long> calls_{0};
    std::thread thread_;
};

// The thread and handle counts when it was made; back() waits until both are there again
// (succeeds, the test reported as skipped, where they cannot be told).
struct Baseline {
    int threads = platform::thread_count();
    int handles = platform::open_handle_count();
    ::testing::AssertionResult back(int timeout_ms = 3000) const;
};

// Aborts the process when not destroyed before the deadline: a deadlock fails the run, not CTest's time-out.
class Watchdog {
public:
    Watchdog(std::string what, int timeout_ms);
    ~Watchdog();

private:
    std::promise<void> done_;
    std::thread thread_;
};

}  // namespace orvane::reliability
