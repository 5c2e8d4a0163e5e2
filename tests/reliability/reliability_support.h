// Shared pieces of the reliability tests: a Runtime pointed at an in-process
// simulator, waiting on conditions with deadlines, run sizes taken from the
// environment (short in CI, long in scripts/reliability.sh), process
// figures, a watchdog that turns a hang into a loud abort, and the FIGURE
// lines the long-run script collects.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "orvane_sim/simulator.h"
#include "api/runtime.h"

namespace orvane::reliability {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since);

// Polls a condition until it holds or the time runs out.
bool wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms = 1);

// An integer run size from the environment, or fallback when unset or not a
// positive number.
long env_long(const char* name, long fallback);

// A Runtime configuration for a simulator on 127.0.0.1:port. With fast
// timings the reconnect pause and the blocking codes' pauses are short, so
// a test can go through many drops; the link's dead-peer settings stay.
RuntimeConfig sim_config(std::uint16_t port, bool fast_timings);

// A simulator on 127.0.0.1 and an ephemeral port, started.
std::unique_ptr<sim::Simulator> start_simulator(sim::SimulatorOptions options = {});

// Keeps the reconnect thread's progress lines off standard output.
void quiet_progress(Runtime& rt);

// Process figures; -1 where the platform cannot tell.
int thread_count();
int handle_count();
long resident_kib();  // VmRSS; Linux only (process_stats_*.cpp)

// True in an AddressSanitizer or ThreadSanitizer build, whose allocators
// hold freed memory back (resident memory says nothing about leaks there).
constexpr bool built_with_memory_sanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// Waits until the thread and handle counts are back at the given values
// (threads end a little after they are joined elsewhere); true when both
// are. Where the platform cannot tell (see counts_reliable) it returns true
// and records the running test as skipped, with the reason.
bool counts_return_to(int threads, int handles, int timeout_ms);

// False where thread and handle counts say nothing about this process's own
// resources: no handle count, as under wine, whose thread list also holds
// the emulator's helper threads.
bool counts_reliable();

// Prints one line "FIGURE <name>: <text>" for the long-run script, and
// records it as a test property.
void figure(const std::string& name, const std::string& text);

// Aborts the process with a message when not disarmed before the deadline:
// a deadlock must fail the run, not stall it until CTest's time-out.
class Watchdog {
public:
    Watchdog(std::string what, int timeout_ms);
    ~Watchdog();  // disarms
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool disarmed_ = false;
    std::thread thread_;
};

// How long a call took, in milliseconds.
template <class Call>
double timed_ms(Call&& call) {
    const auto start = Clock::now();
    call();
    return elapsed_ms(start);
}

}  // namespace orvane::reliability
