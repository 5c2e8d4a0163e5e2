// Shared pieces of the reliability tests: Runtimes on an in-process simulator, run sizes from the
// environment, process counts, a watchdog, and the FIGURE lines scripts/reliability.sh collects.
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

// A Runtime configuration for a simulator on 127.0.0.1:port. Fast timings
// shorten the reconnect pause and the blocking codes' pauses; the link's
// dead-peer settings stay.
RuntimeConfig sim_config(std::uint16_t port, bool fast_timings);

// A started simulator on 127.0.0.1 and an ephemeral port.
std::unique_ptr<sim::Simulator> start_simulator(sim::SimulatorOptions options = {});

// A Runtime on the simulator's port, its reconnect progress lines kept quiet.
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

// Process figures; -1 where the platform cannot tell.
int thread_count();
int handle_count();
long resident_kib();  // VmRSS; Linux only (process_stats_*.cpp)

// False where thread and handle counts say nothing about this process's own
// resources (no handle count, as under wine).
bool counts_reliable();

// The thread and handle counts when it was made. back() waits until both are
// there again; where they cannot be told it succeeds and the test is
// reported as skipped.
struct Baseline {
    int threads = thread_count();
    int handles = handle_count();
    ::testing::AssertionResult back(int timeout_ms = 3000) const;
};

// Prints "FIGURE <name>: <text>" (printf-style) for the long-run script and
// records it as a test property.
void figure(const std::string& name, const char* format, ...);

// Aborts the process when not disarmed (destroyed) before the deadline: a
// deadlock must fail the run, not stall it until CTest's time-out.
class Watchdog {
public:
    Watchdog(std::string what, int timeout_ms);
    ~Watchdog();

private:
    std::promise<void> done_;
    std::thread thread_;
};

template <class Call>
double timed_ms(Call&& call) {
    const auto start = Clock::now();
    call();
    return elapsed_ms(start);
}

}  // namespace orvane::reliability
