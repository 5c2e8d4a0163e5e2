// Many start/stop cycles (ORVANE_REL_CYCLES, 100; 1000 in
// scripts/reliability.sh): each call returns within 1.5 s (scaled), and the
// threads and sockets come back to where they were. (Closes while a connect
// hangs: tests/lifecycle; starts and closes from many threads: stress_test.)
#include <gtest/gtest.h>

#include <algorithm>

#include "reliability_support.h"
#include "support/time_scale.h"

namespace orvane::reliability {
namespace {

const double call_limit_ms = orvane::testing::scaled_ms(1500.0);

TEST(LifecycleStress, ManyStartStopCycles) {
    const long cycles = env_long("ORVANE_REL_CYCLES", 100);
    const Baseline baseline;
    double worst_initial = 0, worst_close = 0;
    {
        auto simulator = start_simulator();
        ASSERT_TRUE(simulator);
        auto rt = quiet_runtime(simulator->port(), false);
        Watchdog watchdog("the start/stop cycles", static_cast<int>(cycles) * 3000 + 30000);
        const Baseline idle;  // the simulator's own threads and sockets, no client
        for (long c = 0; c < cycles; ++c) {
            SCOPED_TRACE("cycle " + std::to_string(c));
            int result = -1;
            worst_initial = std::max(worst_initial, timed_ms([&] { result = rt->initial(); }));
            ASSERT_EQ(result, 1);
            ASSERT_EQ(rt->is_connect(), 1);
            std::string text = "cycle-" + std::to_string(c);  // some traffic in every cycle
            EXPECT_EQ(rt->cmd(0, 0, text), 1);
            ASSERT_TRUE(c % 25 != 0 || simulator->wait_for_command("2000:" + text, 3000));
            worst_close = std::max(worst_close, timed_ms([&] { result = rt->close(); }));
            ASSERT_EQ(result, 1);
            ASSERT_EQ(rt->is_connect(), 0);
            if (c % 10 == 9) {
                EXPECT_TRUE(idle.back(2000)) << "accumulating from cycle to cycle";
            }
        }
        EXPECT_LT(worst_initial, call_limit_ms);
        EXPECT_LT(worst_close, call_limit_ms);
        // The last connections may be accepted after their close, or (Windows) vanish unaccepted.
        simulator->wait_for_connections(static_cast<int>(cycles), 2000);
        EXPECT_GE(simulator->connection_count(), static_cast<int>(cycles) * 49 / 50);
    }
    EXPECT_TRUE(baseline.back());
    figure("lifecycle_cycles", "%ld initial/close cycles, slowest initial %.1f ms, slowest close %.1f ms", cycles,
           worst_initial, worst_close);
}

}  // namespace
}  // namespace orvane::reliability
