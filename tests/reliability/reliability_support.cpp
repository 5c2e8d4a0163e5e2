#include "reliability_support.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/platform.h"
#include "support/process_counts.h"

namespace orvane::reliability {

namespace {
// Runtimes that start a helper thread with the process's first thread
// (ThreadSanitizer's background thread) must have done so before a test
// takes its baseline thread count.
[[maybe_unused]] const bool helper_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();
}  // namespace

double elapsed_ms(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

bool wait_until(const std::function<bool()>& condition, int timeout_ms, int step_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

long env_long(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
}

RuntimeConfig sim_config(std::uint16_t port, bool fast_timings) {
    RuntimeConfig config = RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = port;
    if (fast_timings) {
        config.link.reconnect_pause_ms = 50;
        config.link.idle_poll_ms = 10;
        config.raw_send_pause_ms = 20;
        config.restart_pause_ms = 40;
        config.quick_restart_pause_ms = 20;
        config.home_pause_ms = 5;
    }
    return config;
}

std::unique_ptr<sim::Simulator> start_simulator(sim::SimulatorOptions options) {
    options.bind_address = "127.0.0.1";
    options.port = 0;
    auto simulator = std::make_unique<sim::Simulator>(std::move(options));
    std::string error;
    if (!simulator->start(&error)) {
        ADD_FAILURE() << "simulator did not start: " << error;
        return nullptr;
    }
    return simulator;
}

void quiet_progress(Runtime& rt) {
    rt.link().set_progress_callback([](const std::string&) {});
}

int thread_count() { return platform::thread_count(); }
int handle_count() { return platform::open_handle_count(); }

bool counts_return_to(int threads, int handles, int timeout_ms) {
    // Where the platform reports no handles at all (wine), its thread list
    // also holds the emulator's own helper threads: nothing to compare, and
    // the test says so by being reported as skipped.
    if (!testing::process_counts_checkable()) return true;
    return wait_until([&] { return thread_count() == threads && handle_count() == handles; }, timeout_ms, 5);
}

bool counts_reliable() { return testing::process_counts_known(); }

void figure(const std::string& name, const std::string& text) {
    std::cout << "FIGURE " << name << ": " << text << std::endl;
    ::testing::Test::RecordProperty("figure_" + name, text);
}

Watchdog::Watchdog(std::string what, int timeout_ms) {
    thread_ = std::thread([this, what = std::move(what), timeout_ms] {
        std::unique_lock lock(mutex_);
        if (cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return disarmed_; })) return;
        std::fprintf(stderr, "WATCHDOG: %s did not finish within %d ms (deadlock or hang); aborting\n", what.c_str(),
                     timeout_ms);
        std::fflush(stderr);
        std::abort();
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard lock(mutex_);
        disarmed_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

}  // namespace orvane::reliability
