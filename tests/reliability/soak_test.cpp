// Soak: steady host traffic for a long stretch while the controller drops
// the link every 10 s. After a warm-up, resident memory must not grow by a
// megabyte or more: a host that runs for months cannot afford a leak per
// drop or per call.
//
// Size: ORVANE_REL_SOAK_S seconds (CI 30, full run 120); the first third
// (at least 10 s) is warm-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "reliability_support.h"

namespace orvane::reliability {
namespace {

TEST(Soak, ResidentMemoryStaysFlatAcrossDrops) {
    if (resident_kib() < 0) GTEST_SKIP() << "resident memory cannot be read on this platform";
    if (built_with_memory_sanitizer()) {
        GTEST_SKIP() << "a sanitizer's allocator keeps freed memory; the plain build measures resident memory";
    }
    const long seconds = env_long("ORVANE_REL_SOAK_S", 30);
    const long warm_up_s = std::max(10L, seconds / 3);
    Watchdog watchdog("the soak run", static_cast<int>(seconds * 1000) + 60000);
    const int threads_before = thread_count();
    const int handles_before = handle_count();

    sim::SimulatorOptions options;
    options.faults.drop_after_ms = 10000;
    options.history_limit = 64;  // the simulator shares the process: keep its records small
    auto simulator = start_simulator(options);
    ASSERT_TRUE(simulator);
    auto rt = std::make_unique<Runtime>(sim_config(simulator->port(), false));
    quiet_progress(*rt);
    ASSERT_EQ(rt->initial(), 1);

    std::atomic<bool> run{true};
    std::atomic<long> calls{0};
    std::thread host([&] {
        std::mt19937 rng(17);
        while (run.load()) {
            const int axis = static_cast<int>(rng() % 6);
            double pos[6];
            bool levels[24];
            std::string text;
            switch (rng() % 6) {
                case 0: rt->single_move_to(axis, static_cast<double>(rng() % 100)); break;
                case 1: rt->set_output_on(static_cast<int>(rng() % 24) + 1, rng() % 2 == 0); break;
                case 2: rt->get_pos(pos); break;
                case 3: rt->get_input_bits(levels); break;
                case 4: rt->cmd(1, 0, text); break;
                default: {
                    text = "soak";
                    rt->cmd(0, axis, text);
                }
            }
            ++calls;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    std::vector<long> samples;  // one a second
    long after_warm_up = -1;
    for (long s = 1; s <= seconds; ++s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the sampling period
        samples.push_back(resident_kib());
        if (s == warm_up_s) after_warm_up = samples.back();
    }
    run.store(false);
    host.join();
    const int drops = simulator->fault_counters().timed_drops;
    EXPECT_EQ(rt->close(), 1);
    rt.reset();
    simulator->stop();
    simulator.reset();

    // The end level: the middle of the last three samples, so one
    // allocator hiccup does not decide.
    std::vector<long> last(samples.end() - std::min<std::size_t>(3, samples.size()), samples.end());
    std::sort(last.begin(), last.end());
    const long end_level = last[last.size() / 2];
    const long growth = end_level - after_warm_up;
    const long peak = *std::max_element(samples.begin(), samples.end());
    EXPECT_LT(growth, 1024) << "resident memory grew " << growth << " KiB after warm-up";
    EXPECT_GE(drops, static_cast<int>(seconds / 10) - 1);
    EXPECT_TRUE(counts_return_to(threads_before, handles_before, 3000));

    char text[200];
    std::snprintf(text, sizeof text,
                  "%ld s with a drop every 10 s (%d drops), %ld host calls; VmRSS %ld KiB after %ld s warm-up, "
                  "%ld KiB at the end (growth %ld KiB), peak %ld KiB",
                  seconds, drops, calls.load(), after_warm_up, warm_up_s, end_level, growth, peak);
    figure("soak", text);
}

}  // namespace
}  // namespace orvane::reliability
