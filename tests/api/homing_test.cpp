// Homing, jogging, stopping and zeroing.
#include <atomic>
#include <thread>

#include "api_test_support.h"

namespace orvane::test {
namespace {

struct Homing : ConnectedRuntime {
    float speed(int axis) { return mirror().axis_speed[static_cast<std::size_t>(axis)].get(); }
};

TEST_F(Homing, HomeClearsOnlyTheHomeBitAndLeavesSpeedAndHoldOffAlone) {
    for (std::size_t k = 0; k < state_bit_total; ++k) mirror().axis_state_bits[k].set(true);
    mirror().status_count.set(33);
    mirror().axis_speed[3].set(42.0f);
    ASSERT_EQ(rt.go_home(3, 20.0f), 1);
    for (std::size_t k = 0; k < state_bit_total; ++k) {
        EXPECT_EQ(mirror().axis_state_bits[k].get(), k != 7) << "bit " << k;
    }
    EXPECT_EQ(mirror().status_count.get(), 33);
    EXPECT_FLOAT_EQ(speed(3), 42.0f);
    bool home = true;
    ASSERT_EQ(rt.get_home_state(3, home), 1);
    EXPECT_FALSE(home);
}

// A jog keeps the slow speed it raised to one tenth (its text: command_text_test).
TEST_F(Homing, JogKeepsTheRaisedSpeedAndChangesNoStateBit) {
    for (auto& bit : mirror().axis_state_bits) bit.set(true);
    mirror().status_count.set(33);
    mirror().axis_speed[4].set(0.09f);
    ASSERT_EQ(rt.jog_move(2, true), 1);
    ASSERT_EQ(rt.jog_move(4, false), 1);
    EXPECT_EQ(speed(2), 0.1f);
    EXPECT_EQ(speed(4), 0.1f);
    for (const auto& bit : mirror().axis_state_bits) EXPECT_TRUE(bit.get());
    EXPECT_EQ(mirror().status_count.get(), 33);
}

TEST_F(Homing, OnlyHomingPausesTheCaller) {
    EXPECT_GE(time_call_ms([&] { ASSERT_EQ(rt.go_home(0, 10.0f), 1); }), 45.0);
    EXPECT_LT(fastest_ms([&] { rt.jog_move(0, true); }), 25.0);
    EXPECT_LT(fastest_ms([&] { rt.stop(0, 0); }), 25.0);
    EXPECT_LT(fastest_ms([&] { rt.zero(0); }), 25.0);
}

// Queued before the pause, so the poll loop sends it meanwhile; a long pause outlasts scheduling noise.
TEST(HomingPause, CommandIsQueuedBeforeThePause) {
    Runtime rt(offline_config(1500));
    rt.mirror().connected.store(true);
    std::atomic<bool> returned{false};
    const auto start = Clock::now();
    std::thread caller([&] {
        rt.go_home(1, 20.0f);
        returned.store(true);
    });
    std::string seen;
    const bool visible = wait_until(
        [&] {
            seen += rt.pending().take();
            return !seen.empty();
        },
        1000, 1);
    const bool still_paused = !returned.load();
    caller.join();
    EXPECT_TRUE(visible);
    EXPECT_TRUE(still_paused);
    EXPECT_EQ(seen, "130:1,20.000000!");
    EXPECT_GE(elapsed_ms(start), 1400.0);
}

}  // namespace
}  // namespace orvane::test
