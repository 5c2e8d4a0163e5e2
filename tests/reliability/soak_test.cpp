// Soak: host traffic, a drop every 10 s; after a warm-up (a third, at least 10 s) resident memory grows by
// less than a megabyte. ORVANE_REL_SOAK_S seconds (30; 120 in scripts/reliability.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "reliability_support.h"

namespace orvane::reliability {
namespace {

// A sanitizer's allocator holds freed memory back: resident memory says nothing there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORVANE_SANITIZED 1
#elif defined(__has_feature)
#define ORVANE_SANITIZED (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer))
#else
#define ORVANE_SANITIZED 0
#endif

// VmRSS in KiB from /proc (Linux); -1 elsewhere.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    long kib = -1;
    for (std::string key; status >> key && kib < 0;) {
        if (key == "VmRSS:") status >> kib;
    }
    return kib;
}

TEST(Soak, ResidentMemoryStaysFlatAcrossDrops) {
    if (resident_kib() < 0) GTEST_SKIP() << "resident memory cannot be read on this platform";
    if (ORVANE_SANITIZED) GTEST_SKIP() << "a sanitizer build; the plain build measures resident memory";
    const long seconds = env_long("ORVANE_REL_SOAK_S", 30);
    const long warm_up_s = std::max(10L, seconds / 3);
    Watchdog watchdog("the soak run", static_cast<int>(seconds * 1000) + 60000);
    const Baseline baseline{};

    sim::SimulatorOptions options;
    options.faults.drop_after_ms = 10000;
    options.history_limit = 64;  // the simulator shares the process: keep its records small
    auto simulator = start_simulator(options);
    ASSERT_TRUE(simulator);
    auto rt = quiet_runtime(simulator->port(), false);
    ASSERT_EQ(rt->initial(), 1);

    auto traffic = std::make_unique<HostTraffic>(*rt, 17);
    std::vector<long> samples;  // one a second
    long after_warm_up = -1;
    for (long s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the sampling period
        samples.push_back(resident_kib());
        if (s == warm_up_s) after_warm_up = samples.back();
    }
    const long calls = traffic->calls();
    traffic.reset();
    const int drops = simulator->fault_counters().timed_drops;
    EXPECT_EQ(rt->close(), 1);
    rt.reset();
    simulator.reset();

    // The end level: the median of the last three samples (one allocator hiccup does not decide).
    std::vector<long> last(samples.end() - std::min<std::size_t>(3, samples.size()), samples.end());
    std::sort(last.begin(), last.end());
    const long end_level = last[last.size() / 2];
    const long growth = end_level - after_warm_up;
    EXPECT_LT(growth, 1024) << "resident memory grew " << growth << " KiB after warm-up";
    EXPECT_GE(drops, static_cast<int>(seconds / 10) - 1);
    EXPECT_TRUE(baseline.back());

    std::printf("FIGURE soak: %ld s, %d drops, %ld host calls; VmRSS grew %ld KiB after warm-up\n", seconds, drops,
                calls, growth);
}

}  // namespace
}  // namespace orvane::reliability
