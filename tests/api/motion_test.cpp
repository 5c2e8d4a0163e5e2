// Speeds, single-axis moves and the coordinated move of axes 0 to 2.
#include <array>
#include <atomic>
#include <limits>
#include <regex>
#include <thread>
#include <tuple>

#include "api_test_support.h"

namespace orvane::test {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

class Motion : public ConnectedRuntime {
protected:
    float speed(int axis) { return mirror().axis_speed[static_cast<std::size_t>(axis)].get(); }
    void set_stored_speed(int axis, float v) { mirror().axis_speed[static_cast<std::size_t>(axis)].set(v); }
    void set_acc_time(int axis, float t) {
        mirror().axis_params[static_cast<std::size_t>(axis)].set_float_field(field::acc_time, t);
    }
};

TEST_F(Motion, SetSpeedStoresMagnitudeSendsNothingAndRefusesZero) {
    EXPECT_EQ(rt.set_speed(1, -20.0f), 1);
    EXPECT_EQ(rt.set_speed(2, 12.5f), 1);
    EXPECT_EQ(rt.set_speed(1, 0.0f) + rt.set_speed(1, -0.0f), 0);
    EXPECT_FLOAT_EQ(speed(1), 20.0f);
    EXPECT_FLOAT_EQ(speed(2), 12.5f);
    EXPECT_EQ(queued(), "");
}

// A stored speed above 100 is limited, and the limit stored, only while the axis's own move bit is 0.
TEST_F(Motion, SingleMoveSendsTheStoredSpeedLimitedWhileTheMoveBitIsZero) {
    const std::tuple<float, bool, const char*, float> cases[] = {
        {0.0f, false, "160:3,0.0,1.000000!", 0.0f},  // before any speed
        {150.0f, false, "160:3,100.0,1.000000!", 100.0f},
        {150.0f, true, "160:3,150.0,1.000000!", 150.0f},
        {100.0f, false, "160:3,100.0,1.000000!", 100.0f},
    };
    for (const auto& [stored, bit, command, kept] : cases) {
        set_stored_speed(3, stored);
        mirror().axis_state_bits[6].set(bit);
        mirror().axis_state_bits[4].set(!bit);  // another axis's bit must not matter
        ASSERT_EQ(rt.single_move_to(3, 1.0), 1);
        EXPECT_EQ(queued(), command);
        EXPECT_FLOAT_EQ(speed(3), kept) << command;
    }
}

// A move clears the move bits of its axes (4; 0 to 2) and restarts the hold-off.
TEST_F(Motion, MovesClearTheirMoveBitsAndRestartTheHoldOff) {
    set_stored_speed(0, 50.0f);
    for (const bool coordinated : {false, true}) {
        for (auto& bit : mirror().axis_state_bits) bit.set(true);
        mirror().status_count.set(57);
        ASSERT_EQ(coordinated ? rt.xyz_move_to(1, 1, 1) : rt.single_move_to(4, 1.0), 1);
        for (std::size_t k = 0; k < state_bit_total; ++k) {
            const bool cleared = coordinated ? k == 0 || k == 2 || k == 4 : k == 8;
            EXPECT_EQ(mirror().axis_state_bits[k].get(), !cleared) << "bit " << k << " coordinated " << coordinated;
        }
        EXPECT_EQ(mirror().status_count.get(), 1);
    }
}

TEST_F(Motion, NonFiniteTargetsAreRefusedWithoutEffects) {
    set_stored_speed(0, 150.0f);  // would be limited: axis 0's move bit is 0
    for (std::size_t a = 1; a < axis_total; ++a) mirror().axis_state_bits[2 * a].set(true);
    mirror().status_count.set(30);
    for (double target : {nan_value, inf_value, -inf_value}) {
        EXPECT_EQ(rt.single_move_to(0, target), 0) << target;
        EXPECT_EQ(rt.xyz_move_to(target, 0, 0) + rt.xyz_move_to(0, target, 0) + rt.xyz_move_to(0, 0, target), 0);
    }
    EXPECT_EQ(queued(), "");
    EXPECT_FLOAT_EQ(speed(0), 150.0f);
    EXPECT_TRUE(mirror().axis_state_bits[2].get() && mirror().axis_state_bits[4].get());
    EXPECT_EQ(mirror().status_count.get(), 30);
}

// Whatever speed was stored or the arithmetic gives, a command carries numbers in fixed notation: never "nan" or "inf".
void expect_well_formed(const std::string& command, const char* shape_text) {
    EXPECT_TRUE(std::regex_match(command, std::regex(shape_text))) << command;
    EXPECT_EQ(command.find("nan"), std::string::npos) << command;
    EXPECT_EQ(command.find("inf"), std::string::npos) << command;
}
constexpr const char* shape_161 = R"(161:-?\d+\.\d,-?\d+\.\d,-?\d+\.\d,-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6}!)";

TEST_F(Motion, NonFiniteStoredSpeedNeverReachesTheWire) {
    for (float speed : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity()}) {
        rt.set_speed(1, speed);
        for (bool bit : {false, true}) {
            mirror().axis_state_bits[2].set(bit);
            ASSERT_EQ(rt.single_move_to(1, 2.5), 1);
            expect_well_formed(queued(), R"(160:1,-?\d+\.\d,2\.500000!)");
        }
        ASSERT_EQ(rt.jog_move(1, true), 1);
        expect_well_formed(queued(), R"(150:1,-?\d+\.\d,1!)");
    }
}

// Per axis 0..2: speed, acceleration time, position, move bit 0 (only the dominant axis's counts).
struct CoordinatedCase {
    const char* what;
    std::array<float, 3> speeds;
    std::array<float, 3> acc_times;
    std::array<float, 3> positions;
    std::array<bool, 3> moving;
    std::array<double, 3> target;
    const char* command;
};

const CoordinatedCase coordinated_cases[] = {
    {"trapezoid", {50, 0, 0}, {0.2f, 0.2f, 0.2f}, {}, {}, {100, 50, 0},
     "161:50.0,25.0,0.0,100.000000,50.000000,0.000000!"},
    {"triangle", {50, 0, 0}, {0.2f, 0.2f, 0.2f}, {}, {}, {4, 2, 0}, "161:31.6,15.8,0.0,4.000000,2.000000,0.000000!"},
    {"each axis its own acceleration time", {50, 0, 0}, {0.2f, 0.5f, 0.2f}, {}, {}, {100, 50, 0},
     "161:50.0,29.4,0.0,100.000000,50.000000,0.000000!"},
    {"dominant speed above 100 limited while its move bit is 0", {0, 200, 0}, {0.1f, 0.1f, 0.1f}, {}, {false, true, false},
     {10, 40, 0}, "161:25.0,100.0,0.0,10.000000,40.000000,0.000000!"},
    // v = 200: a = 2000, da = 10, 2da = 20 <= 40, T = 0.1 + 20/200 + 0.1 = 0.3.
    {"dominant speed above 100 kept while its move bit is 1", {0, 200, 0}, {0.1f, 0.1f, 0.1f}, {}, {true, false, true},
     {10, 40, 0}, "161:50.0,200.0,0.0,10.000000,40.000000,0.000000!"},
    {"distances from the current positions", {50, 0, 0}, {0.2f, 0.2f, 0.2f}, {10, -20, 5}, {}, {-90, 30, 5},
     "161:50.0,25.0,0.0,-90.000000,30.000000,5.000000!"},
    // Axes 0 and 1 both travel 10: with axis 0 dominant both run at 50.
    {"a tie goes to the lowest axis", {50, 20, 20}, {0.2f, 0.2f, 0.2f}, {}, {}, {10, -10, 0},
     "161:50.0,50.0,0.0,10.000000,-10.000000,0.000000!"},
    {"a tie of axes 1 and 2 goes to axis 1", {50, 50, 20}, {0.2f, 0.2f, 0.2f}, {}, {}, {0, 10, 10},
     "161:0.0,50.0,50.0,0.000000,10.000000,10.000000!"},
    {"the farthest axis leads", {20, 0, 50}, {0.2f, 0.2f, 0.2f}, {}, {}, {50, 0, 100},
     "161:25.0,0.0,50.0,50.000000,0.000000,100.000000!"},
    // Incomputable speeds go out as zero.
    {"dominant speed 0: the profile is 0/0", {0, 0, 0}, {0.2f, 0.2f, 0.2f}, {}, {}, {5, 2, 0},
     "161:0.0,0.0,0.0,5.000000,2.000000,0.000000!"},
    {"dominant speed and acceleration time 0", {0, 0, 0}, {0, 0.2f, 0.2f}, {}, {}, {5, 2, 1},
     "161:0.0,0.0,0.0,5.000000,2.000000,1.000000!"},
    {"no acceleration time: the ramp is inf * 0", {50, 0, 0}, {0, 0, 0}, {}, {}, {100, 50, 25},
     "161:0.0,0.0,0.0,100.000000,50.000000,25.000000!"},
};

TEST_F(Motion, CoordinatedSpeedsFollowTheDominantAxisProfile) {
    for (const CoordinatedCase& c : coordinated_cases) {
        for (int a = 0; a < 3; ++a) {
            const auto i = static_cast<std::size_t>(a);
            set_stored_speed(a, c.speeds[i]);
            set_acc_time(a, c.acc_times[i]);
            mirror().axis_pos[i].set(c.positions[i]);
            mirror().axis_state_bits[2 * i].set(!c.moving[i]);
        }
        ASSERT_EQ(rt.xyz_move_to(c.target[0], c.target[1], c.target[2]), 1) << c.what;
        const std::string command = queued();
        EXPECT_EQ(command, c.command) << c.what;
        expect_well_formed(command, shape_161);
        // The limit applies to the command only.
        EXPECT_EQ(speed(1), c.speeds[1]) << c.what;
    }
}

// Append, clear the bits, restart the hold-off: a watcher reading in reverse never sees a later effect alone.

template <class Move>
void watch_order(Runtime& rt, std::size_t bit, Move move) {
    ControllerMirror& m = rt.mirror();
    std::atomic<bool> active{false}, finished{false};
    std::atomic<int> generation{0}, acknowledged{0}, violations{0};
    std::thread watcher([&] {
        while (!finished.load()) {
            // Confirms that no read of the previous round is still going on.
            acknowledged.store(generation.load());
            if (!active.load()) continue;
            const bool count_restarted = m.status_count.get() == 1;
            const bool bit_cleared = !m.axis_state_bits[bit].get();
            const bool appended = !rt.pending().empty();
            if (count_restarted && !bit_cleared) ++violations;
            if (bit_cleared && !appended) ++violations;
        }
    });
    for (int round = 1; round <= 300; ++round) {
        (void)rt.pending().take();
        m.axis_state_bits[bit].set(true);
        m.status_count.set(99);
        active.store(true);
        move();
        active.store(false);
        generation.store(round);
        while (acknowledged.load() != round) std::this_thread::yield();
    }
    finished.store(true);
    watcher.join();
    EXPECT_EQ(violations.load(), 0);
}

TEST_F(Motion, MovesAppendThenClearTheBitThenRestartTheHoldOff) {
    set_stored_speed(0, 10.0f);
    set_stored_speed(2, 10.0f);
    watch_order(rt, 4, [&] { ASSERT_EQ(rt.single_move_to(2, 3.0), 1); });
    watch_order(rt, 4, [&] { ASSERT_EQ(rt.xyz_move_to(3.0, 1.0, 2.0), 1); });
}

}  // namespace
}  // namespace orvane::test
