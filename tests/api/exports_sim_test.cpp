// The exports against a simulator at the default controller address (skipped where it cannot be bound).
#include <orvane/orvane.h>
#include <orvane_sim/simulator.h>

#include <future>

#include "api_test_support.h"

namespace orvane::test {
namespace {

constexpr int deadline_ms = 5000;

TEST(ExportsWithController, ConnectMoveReadAndClose) {
    sim::SimulatorOptions options;  // the default address and port
    options.version = "default-address sim";
    sim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) GTEST_SKIP() << "cannot bind the default controller address: " << error;

    ASSERT_EQ(Orvane_is_connect(), 0);
    ASSERT_EQ(Orvane_initial(), 1);
    EXPECT_EQ(Orvane_is_connect(), 1);
    ASSERT_TRUE(wait_until(
        [] {
            std::string version;
            return Orvane_cmd(2001, 0, version) == 1 && version == "default-address sim";
        },
        deadline_ms));
    EXPECT_EQ(Orvane_get_Type(), 2);

    ASSERT_EQ(Orvane_set_speed(0, 50.0f), 1);
    ASSERT_EQ(Orvane_single_move_to(0, 7.25), 1);
    ASSERT_TRUE(wait_until(
        [] {
            bool still = false;
            double pos[6] = {};
            return Orvane_get_move_state(0, still) == 1 && still && Orvane_get_pos(pos) == 1 && pos[0] == 7.25;
        },
        deadline_ms));
    EXPECT_DOUBLE_EQ(sim.position(0), 7.25);

    ASSERT_EQ(Orvane_set_output(4, 3), 1);  // level 1 from the controller
    ASSERT_TRUE(wait_until([&] { return sim.output_value(4) == 3; }, deadline_ms));

    EXPECT_EQ(Orvane_close(), 1);
    EXPECT_EQ(Orvane_is_connect(), 0);
    EXPECT_EQ(Orvane_stop(0, 0), 0);
    sim.stop();
}

}  // namespace
}  // namespace orvane::test
