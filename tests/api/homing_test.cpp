// Homing, jogging, stopping and zeroing.
#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

#include "api_test_support.h"

namespace orvane::test {
namespace {

class Homing : public ConnectedRuntime {
protected:
    // The shortest of a few calls: one late wake-up must not make a call
    // that returns at once look slow.
    double fastest_ms(const std::function<void()>& call, int tries = 5) {
        double best = 1e9;
        for (int i = 0; i < tries; ++i) best = std::min(best, time_call_ms(call));
        return best;
    }
    float speed(int axis) { return mirror().axis_speed[static_cast<std::size_t>(axis)].get(); }
};

TEST_F(Homing, HomeCommandText) {
    EXPECT_EQ(rt.go_home(1, 20.0f), 1);
    EXPECT_EQ(queued(), "130:1,20.000000!");
}

TEST_F(Homing, HomeSpeedBelowOneTenthUsesTheAxisHomeSpeed) {
    ASSERT_EQ(rt.go_home(0, 0.0f), 1);
    EXPECT_EQ(queued(), "130:0,5.000000!");
    ASSERT_EQ(rt.go_home(0, 0.05f), 1);
    EXPECT_EQ(queued(), "130:0,5.000000!");
    ASSERT_EQ(rt.go_home(0, -3.0f), 1);
    EXPECT_EQ(queued(), "130:0,5.000000!");
    // Each axis has its own.
    mirror().axis_params[2].set_float_field(field::home_speed, 7.5f);
    ASSERT_EQ(rt.go_home(2, 0.0f), 1);
    EXPECT_EQ(queued(), "130:2,7.500000!");
}

TEST_F(Homing, FloatOneTenthIsNotBelowOneTenth) {
    // The float nearest 0.1 lies just above the double 0.1.
    ASSERT_EQ(rt.go_home(0, 0.1f), 1);
    EXPECT_EQ(queued(), "130:0,0.100000!");
}

TEST_F(Homing, NonFiniteHomeSpeedUsesTheAxisHomeSpeed) {
    for (float speed : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity()}) {
        ASSERT_EQ(rt.go_home(0, speed), 1);
        EXPECT_EQ(queued(), "130:0,5.000000!");
    }
}

TEST_F(Homing, NonFiniteParameterNeverReachesTheWire) {
    // The homing speed parameter comes from the controller or the caller's
    // code 3 text, which may say "nan" or "inf"; the command carries zero.
    for (float speed : {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
        mirror().axis_params[1].set_float_field(field::home_speed, speed);
        ASSERT_EQ(rt.go_home(1, 0.0f), 1);
        EXPECT_EQ(queued(), "130:1,0.000000!") << speed;
    }
}

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

TEST_F(Homing, JogCommandText) {
    mirror().axis_speed[0].set(5.0f);
    EXPECT_EQ(rt.jog_move(0, true), 1);
    EXPECT_EQ(queued(), "150:0,5.0,1!");
    mirror().axis_speed[1].set(5.0f);
    EXPECT_EQ(rt.jog_move(1, false), 1);
    EXPECT_EQ(queued(), "150:1,5.0,0!");
    EXPECT_EQ(rt.jog_move(1, true), 1);
    EXPECT_EQ(queued(), "150:1,5.0,1!");
}

TEST_F(Homing, JogRaisesASlowSpeedToOneTenthAndKeepsIt) {
    ASSERT_EQ(rt.jog_move(2, true), 1);
    EXPECT_EQ(queued(), "150:2,0.1,1!");
    EXPECT_EQ(speed(2), 0.1f);
    mirror().axis_speed[4].set(0.09f);
    ASSERT_EQ(rt.jog_move(4, false), 1);
    EXPECT_EQ(queued(), "150:4,0.1,0!");
    EXPECT_EQ(speed(4), 0.1f);
}

TEST_F(Homing, JogHasNoUpperLimit) {
    mirror().axis_speed[1].set(250.0f);
    mirror().axis_state_bits[2].set(false);
    ASSERT_EQ(rt.jog_move(1, true), 1);
    EXPECT_EQ(queued(), "150:1,250.0,1!");
    EXPECT_FLOAT_EQ(speed(1), 250.0f);
}

TEST_F(Homing, JogChangesNoStateBit) {
    for (std::size_t k = 0; k < state_bit_total; ++k) mirror().axis_state_bits[k].set(true);
    mirror().status_count.set(33);
    ASSERT_EQ(rt.jog_move(0, true), 1);
    for (std::size_t k = 0; k < state_bit_total; ++k) EXPECT_TRUE(mirror().axis_state_bits[k].get());
    EXPECT_EQ(mirror().status_count.get(), 33);
}

TEST_F(Homing, StopCommandText) {
    EXPECT_EQ(rt.stop(2, 0), 1);
    EXPECT_EQ(queued(), "140:2,0!");
    EXPECT_EQ(rt.stop(0, -1), 1);
    EXPECT_EQ(queued(), "140:0,-1!");
    EXPECT_EQ(rt.stop(5, 2147483647), 1);
    EXPECT_EQ(queued(), "140:5,2147483647!");
}

TEST_F(Homing, StopRefusesAxesOutsideZeroToFive) {
    EXPECT_EQ(rt.stop(6, 0), 0);
    EXPECT_EQ(rt.stop(-1, 0), 0);
    EXPECT_EQ(queued(), "");
}

TEST_F(Homing, ZeroCommandText) {
    EXPECT_EQ(rt.zero(3), 1);
    EXPECT_EQ(queued(), "170:3!");
}

TEST_F(Homing, ThreeAxisControllerLimitsAllButStop) {
    mirror().axis_count.set(3);
    EXPECT_EQ(rt.zero(4), 0);
    EXPECT_EQ(rt.jog_move(4, true), 0);
    EXPECT_EQ(rt.go_home(4, 10.0f), 0);
    EXPECT_EQ(rt.zero(3), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(speed(4), 0.0f);  // the refused jog raised nothing
    EXPECT_EQ(rt.stop(4, 0), 1);
    EXPECT_EQ(queued(), "140:4,0!");
    EXPECT_EQ(rt.zero(2), 1);
    EXPECT_EQ(rt.jog_move(2, false), 1);
    EXPECT_EQ(queued(), "170:2!150:2,0.1,0!");
}

TEST_F(Homing, SixAxisBounds) {
    EXPECT_EQ(rt.zero(6), 0);
    EXPECT_EQ(rt.zero(-1), 0);
    EXPECT_EQ(rt.jog_move(6, true), 0);
    EXPECT_EQ(rt.jog_move(-1, true), 0);
    EXPECT_EQ(rt.go_home(6, 10.0f), 0);
    EXPECT_EQ(rt.go_home(-1, 10.0f), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(rt.zero(5), 1);
    EXPECT_EQ(rt.jog_move(5, true), 1);
    EXPECT_EQ(queued(), "170:5!150:5,0.1,1!");
}

TEST_F(Homing, AllRefusedWhileNotConnected) {
    disconnect();
    mirror().axis_state_bits[1].set(true);
    EXPECT_EQ(rt.go_home(0, 10.0f), 0);
    EXPECT_EQ(rt.jog_move(0, true), 0);
    EXPECT_EQ(rt.stop(0, 0), 0);
    EXPECT_EQ(rt.zero(0), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_TRUE(mirror().axis_state_bits[1].get());
    EXPECT_EQ(speed(0), 0.0f);
}

TEST_F(Homing, OnlyHomingPausesTheCaller) {
    const double home_ms = time_call_ms([&] { ASSERT_EQ(rt.go_home(0, 10.0f), 1); });
    EXPECT_GE(home_ms, 45.0);
    EXPECT_LT(fastest_ms([&] { rt.jog_move(0, true); }), 25.0);
    EXPECT_LT(fastest_ms([&] { rt.stop(0, 0); }), 25.0);
    EXPECT_LT(fastest_ms([&] { rt.zero(0); }), 25.0);
    // A refused homing returns at once.
    EXPECT_LT(fastest_ms([&] { rt.go_home(6, 10.0f); }), 25.0);
}

// The pause comes after the command is queued, so the poll loop can send
// it meanwhile. A long pause makes this independent of scheduling noise.
TEST(HomingPause, CommandIsQueuedBeforeThePause) {
    RuntimeConfig config = offline_config();
    config.home_pause_ms = 1500;
    Runtime rt(config);
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
