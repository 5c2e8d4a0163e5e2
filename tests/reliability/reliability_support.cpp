#include "reliability_support.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "support/loopback_runtime.h"
#include "support/process_counts.h"

namespace orvane::reliability {

namespace {
// A helper thread some runtimes start with the process's second thread
// (ThreadSanitizer's) must be there before a test takes its baseline.
[[maybe_unused]] const bool helper_threads_started = [] {
    std::thread([] {}).join();
    return true;
}();
}  // namespace

long env_long(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
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

std::unique_ptr<Runtime> quiet_runtime(std::uint16_t port, bool fast_timings) {
    RuntimeConfig config = fast_timings ? testing::loopback_config(port) : RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = port;
    auto rt = std::make_unique<Runtime>(config);
    rt->link().set_progress_callback([](const std::string&) {});
    return rt;
}

HostTraffic::HostTraffic(Runtime& rt, unsigned seed)
    : thread_([this, &rt, seed] {
          std::mt19937 rng(seed);
          for (std::string text; run_.load(); ++calls_) {
              const int axis = static_cast<int>(rng() % 6);
              double pos[6];
              bool levels[24];
              switch (rng() % 6) {
                  case 0: rt.single_move_to(axis, static_cast<double>(rng() % 200) - 100.0); break;
                  case 1: rt.set_output_on(static_cast<int>(rng() % 24) + 1, rng() % 2 == 0); break;
                  case 2: rt.get_pos(pos); break;
                  case 3: rt.get_input_bits(levels); break;
                  case 4: rt.cmd(1, 0, text = ""); break;
                  default: rt.cmd(0, axis, text = "7");
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(2));  // a host's pace
          }
      }) {}

HostTraffic::~HostTraffic() {
    run_.store(false);
    thread_.join();
}

::testing::AssertionResult Baseline::back(int timeout_ms) const {
    if (!testing::process_counts_checkable()) return ::testing::AssertionSuccess();
    if (wait_until([&] { return Baseline().threads == threads && Baseline().handles == handles; }, timeout_ms, 5)) {
        return ::testing::AssertionSuccess();
    }
    const Baseline now{};
    return ::testing::AssertionFailure() << "threads " << now.threads << " (before " << threads << "), handles "
                                         << now.handles << " (before " << handles << ")";
}

Watchdog::Watchdog(std::string what, int timeout_ms)
    : thread_([done = done_.get_future(), what = std::move(what), timeout_ms] {
          if (done.wait_for(std::chrono::milliseconds(timeout_ms)) == std::future_status::ready) return;
          std::fprintf(stderr, "WATCHDOG: %s did not finish within %d ms (deadlock or hang); aborting\n", what.c_str(),
                       timeout_ms);
          std::abort();  // stderr is unbuffered
      }) {}

Watchdog::~Watchdog() {
    done_.set_value();
    thread_.join();
}

}  // namespace orvane::reliability
