// Speeds, single-axis moves and the coordinated move of axes 0 to 2.
#include <atomic>
#include <cmath>
#include <limits>
#include <regex>
#include <thread>

#include "api_test_support.h"

namespace orvane::test {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf_value = std::numeric_limits<double>::infinity();

class Motion : public ConnectedRuntime {
protected:
    float speed(int axis) { return mirror().axis_speed[static_cast<std::size_t>(axis)].get(); }
    void set_stored_speed(int axis, float v) { mirror().axis_speed[static_cast<std::size_t>(axis)].set(v); }
    bool move_bit(int axis) { return mirror().axis_state_bits[2 * static_cast<std::size_t>(axis)].get(); }
    void set_move_bits(bool on) {
        for (std::size_t a = 0; a < axis_total; ++a) mirror().axis_state_bits[2 * a].set(on);
    }
    void set_acc_time(int axis, float t) {
        mirror().axis_params[static_cast<std::size_t>(axis)].set_float_field(field::acc_time, t);
    }
};

// ---- set_speed -------------------------------------------------------------

TEST_F(Motion, SetSpeedStoresMagnitudeAndSendsNothing) {
    EXPECT_EQ(rt.set_speed(1, -20.0f), 1);
    EXPECT_FLOAT_EQ(speed(1), 20.0f);
    EXPECT_EQ(rt.set_speed(2, 12.5f), 1);
    EXPECT_FLOAT_EQ(speed(2), 12.5f);
    EXPECT_EQ(queued(), "");
}

TEST_F(Motion, SetSpeedZeroIsRefusedAndKeepsTheOldSpeed) {
    ASSERT_EQ(rt.set_speed(1, 20.0f), 1);
    EXPECT_EQ(rt.set_speed(1, 0.0f), 0);
    EXPECT_EQ(rt.set_speed(1, -0.0f), 0);
    EXPECT_FLOAT_EQ(speed(1), 20.0f);
}

TEST_F(Motion, SetSpeedBoundIsFiveWhateverTheAxisCount) {
    EXPECT_EQ(rt.set_speed(6, 10.0f), 0);
    EXPECT_EQ(rt.set_speed(-1, 10.0f), 0);
    mirror().axis_count.set(3);
    EXPECT_EQ(rt.set_speed(3, 10.0f), 1);
    EXPECT_FLOAT_EQ(speed(3), 10.0f);
    EXPECT_EQ(rt.set_speed(5, 11.0f), 1);
    EXPECT_FLOAT_EQ(speed(5), 11.0f);
}

TEST_F(Motion, SetSpeedRefusedWhileNotConnected) {
    disconnect();
    EXPECT_EQ(rt.set_speed(1, 20.0f), 0);
    EXPECT_EQ(speed(1), 0.0f);
}

// ---- single_move_to --------------------------------------------------------

TEST_F(Motion, SingleMoveCommandText) {
    set_stored_speed(2, 25.0f);
    EXPECT_EQ(rt.single_move_to(2, 100.5), 1);
    EXPECT_EQ(queued(), "160:2,25.0,100.500000!");
}

TEST_F(Motion, SingleMoveNumberForms) {
    set_stored_speed(0, 12.345f);
    ASSERT_EQ(rt.single_move_to(0, -3.25), 1);
    EXPECT_EQ(queued(), "160:0,12.3,-3.250000!");
    // Large and tiny values stay in fixed notation.
    set_stored_speed(1, 99.96f);
    ASSERT_EQ(rt.single_move_to(1, 12345678.0), 1);
    EXPECT_EQ(queued(), "160:1,100.0,12345678.000000!");
    ASSERT_EQ(rt.single_move_to(1, 1e-9), 1);
    EXPECT_EQ(queued(), "160:1,100.0,0.000000!");
}

TEST_F(Motion, SingleMoveBeforeAnySpeedSendsZeroSpeed) {
    EXPECT_EQ(rt.single_move_to(0, 10.0), 1);
    EXPECT_EQ(queued(), "160:0,0.0,10.000000!");
}

TEST_F(Motion, SpeedAboveHundredIsLimitedAndStoredWhileTheMoveBitIsZero) {
    set_stored_speed(3, 150.0f);
    mirror().axis_state_bits[6].set(false);
    ASSERT_EQ(rt.single_move_to(3, 1.0), 1);
    EXPECT_EQ(queued(), "160:3,100.0,1.000000!");
    EXPECT_FLOAT_EQ(speed(3), 100.0f);
}

TEST_F(Motion, SpeedAboveHundredIsKeptWhileTheMoveBitIsOne) {
    set_stored_speed(3, 150.0f);
    mirror().axis_state_bits[6].set(true);
    // Another axis's bit must not matter.
    mirror().axis_state_bits[4].set(false);
    ASSERT_EQ(rt.single_move_to(3, 1.0), 1);
    EXPECT_EQ(queued(), "160:3,150.0,1.000000!");
    EXPECT_FLOAT_EQ(speed(3), 150.0f);
}

TEST_F(Motion, SpeedOfExactlyHundredIsNotChanged) {
    set_stored_speed(1, 100.0f);
    ASSERT_EQ(rt.single_move_to(1, 2.0), 1);
    EXPECT_EQ(queued(), "160:1,100.0,2.000000!");
}

TEST_F(Motion, SingleMoveClearsTheMoveBitAndRestartsTheHoldOff) {
    for (std::size_t k = 0; k < state_bit_total; ++k) mirror().axis_state_bits[k].set(true);
    mirror().status_count.set(57);
    ASSERT_EQ(rt.single_move_to(4, 1.0), 1);
    for (std::size_t k = 0; k < state_bit_total; ++k) {
        EXPECT_EQ(mirror().axis_state_bits[k].get(), k != 8) << "bit " << k;
    }
    EXPECT_EQ(mirror().status_count.get(), 1);
}

TEST_F(Motion, MoveStateReadsZeroForTheNextTwentyStatusReplies) {
    mirror().status_count.set(100);
    set_move_bits(true);
    ASSERT_EQ(rt.single_move_to(1, 5.0), 1);
    // The controller reports every axis standing still (all move bits 1).
    const std::string line = status_line({}, 0x55, 0x05, 2);
    for (int reply = 1; reply <= 20; ++reply) {
        rt.on_data(line);
        bool state = true;
        ASSERT_EQ(rt.get_move_state(1, state), 1);
        EXPECT_FALSE(state) << "after status reply " << reply;
    }
    rt.on_data(line);
    bool state = false;
    ASSERT_EQ(rt.get_move_state(1, state), 1);
    EXPECT_TRUE(state);
}

TEST_F(Motion, SingleMoveAxisBoundIsTheAxisCount) {
    EXPECT_EQ(rt.single_move_to(6, 1.0), 0);
    EXPECT_EQ(rt.single_move_to(-1, 1.0), 0);
    EXPECT_EQ(rt.single_move_to(5, 1.0), 1);
    EXPECT_EQ(queued(), "160:5,0.0,1.000000!");
    mirror().axis_count.set(3);
    mirror().axis_state_bits[6].set(true);
    mirror().status_count.set(30);
    EXPECT_EQ(rt.single_move_to(3, 10.0), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_TRUE(mirror().axis_state_bits[6].get());
    EXPECT_EQ(mirror().status_count.get(), 30);
    EXPECT_EQ(rt.single_move_to(2, 10.0), 1);
}

TEST_F(Motion, SingleMoveRefusedWhileNotConnected) {
    disconnect();
    set_stored_speed(0, 150.0f);
    mirror().status_count.set(30);
    mirror().axis_state_bits[0].set(true);
    EXPECT_EQ(rt.single_move_to(0, 1.0), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_FLOAT_EQ(speed(0), 150.0f);
    EXPECT_TRUE(mirror().axis_state_bits[0].get());
    EXPECT_EQ(mirror().status_count.get(), 30);
}

TEST_F(Motion, SingleMoveRefusesANonFiniteTarget) {
    set_stored_speed(0, 150.0f);
    mirror().axis_state_bits[0].set(false);
    mirror().status_count.set(30);
    for (double target : {nan_value, inf_value, -inf_value}) {
        EXPECT_EQ(rt.single_move_to(0, target), 0) << target;
    }
    EXPECT_EQ(queued(), "");
    EXPECT_FLOAT_EQ(speed(0), 150.0f);
    EXPECT_EQ(mirror().status_count.get(), 30);
}

// Whatever speed was stored, a command carries numbers in fixed notation:
// never "nan" or "inf".
void expect_well_formed(const std::string& command, const char* shape_text) {
    const std::regex shape(shape_text);
    EXPECT_TRUE(std::regex_match(command, shape)) << command;
    EXPECT_EQ(command.find("nan"), std::string::npos) << command;
    EXPECT_EQ(command.find("inf"), std::string::npos) << command;
}

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

// ---- xyz_move_to -----------------------------------------------------------

class Coordinated : public Motion {
protected:
    Coordinated() { set_move_bits(true); }
};

TEST_F(Coordinated, Trapezoid) {
    set_stored_speed(0, 50.0f);
    EXPECT_EQ(rt.xyz_move_to(100, 50, 0), 1);
    EXPECT_EQ(queued(), "161:50.0,25.0,0.0,100.000000,50.000000,0.000000!");
}

TEST_F(Coordinated, Triangle) {
    set_stored_speed(0, 50.0f);
    EXPECT_EQ(rt.xyz_move_to(4, 2, 0), 1);
    EXPECT_EQ(queued(), "161:31.6,15.8,0.0,4.000000,2.000000,0.000000!");
}

TEST_F(Coordinated, EachAxisUsesItsOwnAccelerationTime) {
    set_stored_speed(0, 50.0f);
    set_acc_time(1, 0.5f);
    EXPECT_EQ(rt.xyz_move_to(100, 50, 0), 1);
    EXPECT_EQ(queued(), "161:50.0,29.4,0.0,100.000000,50.000000,0.000000!");
}

TEST_F(Coordinated, DominantAxisSpeedIsLimitedWithoutChangingTheStoredSpeed) {
    set_stored_speed(1, 200.0f);
    mirror().axis_state_bits[2].set(false);
    for (int a = 0; a < 3; ++a) set_acc_time(a, 0.1f);
    EXPECT_EQ(rt.xyz_move_to(10, 40, 0), 1);
    EXPECT_EQ(queued(), "161:25.0,100.0,0.0,10.000000,40.000000,0.000000!");
    EXPECT_FLOAT_EQ(speed(1), 200.0f);
}

TEST_F(Coordinated, DominantAxisAboveHundredIsNotLimitedWhileItsMoveBitIsOne) {
    set_stored_speed(1, 200.0f);
    // Only the dominant axis's bit counts.
    mirror().axis_state_bits[0].set(false);
    for (int a = 0; a < 3; ++a) set_acc_time(a, 0.1f);
    ASSERT_EQ(rt.xyz_move_to(10, 40, 0), 1);
    // v = 200: a = 2000, da = 10, 2da = 20 <= 40, T = 0.1 + 20/200 + 0.1 = 0.3.
    EXPECT_EQ(queued(), "161:50.0,200.0,0.0,10.000000,40.000000,0.000000!");
}

TEST_F(Coordinated, DistancesAreFromTheCurrentPositions) {
    mirror().axis_pos[0].set(10.0f);
    mirror().axis_pos[1].set(-20.0f);
    mirror().axis_pos[2].set(5.0f);
    set_stored_speed(0, 50.0f);
    // Distances 100, 50, 0: the trapezoid example shifted.
    ASSERT_EQ(rt.xyz_move_to(-90, 30, 5), 1);
    EXPECT_EQ(queued(), "161:50.0,25.0,0.0,-90.000000,30.000000,5.000000!");
}

TEST_F(Coordinated, TieGoesToTheLowestAxis) {
    set_stored_speed(0, 50.0f);
    set_stored_speed(1, 20.0f);
    set_stored_speed(2, 20.0f);
    // Axes 0 and 1 both travel 10 (in opposite directions). With axis 0
    // dominant T = 0.4 and both run at 50; axis 1 would give 20 each.
    ASSERT_EQ(rt.xyz_move_to(10, -10, 0), 1);
    EXPECT_EQ(queued(), "161:50.0,50.0,0.0,10.000000,-10.000000,0.000000!");
    // A tie between axes 1 and 2 goes to axis 1.
    set_stored_speed(1, 50.0f);
    ASSERT_EQ(rt.xyz_move_to(0, 10, 10), 1);
    EXPECT_EQ(queued(), "161:0.0,50.0,50.0,0.000000,10.000000,10.000000!");
}

TEST_F(Coordinated, FarthestAxisLeads) {
    set_stored_speed(0, 20.0f);
    set_stored_speed(2, 50.0f);
    // Axis 2 travels farthest: its speed leads.
    ASSERT_EQ(rt.xyz_move_to(50, 0, 100), 1);
    EXPECT_EQ(queued(), "161:25.0,0.0,50.0,50.000000,0.000000,100.000000!");
}

TEST_F(Coordinated, ToTheCurrentPositionSendsZeroSpeeds) {
    mirror().axis_pos[0].set(1.5f);
    mirror().axis_pos[1].set(-2.0f);
    mirror().axis_pos[2].set(3.0f);
    set_stored_speed(0, 50.0f);
    EXPECT_EQ(rt.xyz_move_to(1.5, -2.0, 3.0), 1);
    EXPECT_EQ(queued(), "161:0.0,0.0,0.0,1.500000,-2.000000,3.000000!");
}

TEST_F(Coordinated, QueuedEvenWhileNotConnected) {
    disconnect();
    set_stored_speed(0, 50.0f);
    EXPECT_EQ(rt.xyz_move_to(100, 50, 0), 1);
    EXPECT_EQ(queued(), "161:50.0,25.0,0.0,100.000000,50.000000,0.000000!");
}

TEST_F(Coordinated, ClearsTheMoveBitsOfAxesZeroToTwoAndRestartsTheHoldOff) {
    for (std::size_t k = 0; k < state_bit_total; ++k) mirror().axis_state_bits[k].set(true);
    mirror().status_count.set(40);
    set_stored_speed(0, 50.0f);
    ASSERT_EQ(rt.xyz_move_to(1, 1, 1), 1);
    for (std::size_t k = 0; k < state_bit_total; ++k) {
        const bool cleared = k == 0 || k == 2 || k == 4;
        EXPECT_EQ(mirror().axis_state_bits[k].get(), !cleared) << "bit " << k;
    }
    EXPECT_EQ(mirror().status_count.get(), 1);
}

// Every number of the command keeps its form, whatever the arithmetic gives.
void expect_well_formed_161(const std::string& command) {
    static const std::regex shape(R"(161:-?\d+\.\d,-?\d+\.\d,-?\d+\.\d,-?\d+\.\d{6},-?\d+\.\d{6},-?\d+\.\d{6}!)");
    EXPECT_TRUE(std::regex_match(command, shape)) << command;
    EXPECT_EQ(command.find("nan"), std::string::npos) << command;
    EXPECT_EQ(command.find("inf"), std::string::npos) << command;
}

TEST_F(Coordinated, IncomputableSpeedGoesOutAsZero) {
    // Stored speed 0 for the dominant axis: the profile is 0/0.
    ASSERT_EQ(rt.xyz_move_to(5, 2, 0), 1);
    std::string command = queued();
    expect_well_formed_161(command);
    EXPECT_EQ(command, "161:0.0,0.0,0.0,5.000000,2.000000,0.000000!");

    // Speed 0 and acceleration time 0 on the dominant axis.
    set_acc_time(0, 0.0f);
    ASSERT_EQ(rt.xyz_move_to(5, 2, 1), 1);
    command = queued();
    expect_well_formed_161(command);
    EXPECT_EQ(command, "161:0.0,0.0,0.0,5.000000,2.000000,1.000000!");
}

TEST_F(Coordinated, ZeroAccelerationTimeGoesOutAsZero) {
    // A speed but no acceleration time: the ramp distance is inf * 0.
    for (int a = 0; a < 3; ++a) set_acc_time(a, 0.0f);
    set_stored_speed(0, 50.0f);
    ASSERT_EQ(rt.xyz_move_to(100, 50, 25), 1);
    const std::string command = queued();
    expect_well_formed_161(command);
    EXPECT_EQ(command, "161:0.0,0.0,0.0,100.000000,50.000000,25.000000!");
}

TEST_F(Coordinated, HugeValuesStayInFixedNotation) {
    set_stored_speed(0, 1e30f);
    ASSERT_EQ(rt.xyz_move_to(1e15, -1e15, 0), 1);
    expect_well_formed_161(queued());
}

TEST_F(Coordinated, NonFiniteTargetIsRefused) {
    set_stored_speed(0, 50.0f);
    mirror().status_count.set(40);
    const double cases[][3] = {{nan_value, 0, 0}, {0, inf_value, 0}, {0, 0, -inf_value}};
    for (const auto& c : cases) {
        EXPECT_EQ(rt.xyz_move_to(c[0], c[1], c[2]), 0);
    }
    EXPECT_EQ(queued(), "");
    EXPECT_TRUE(mirror().axis_state_bits[0].get());
    EXPECT_EQ(mirror().status_count.get(), 40);
}

// ---- order of the effects --------------------------------------------------
// The command is appended first, then the move bits are cleared, then the
// hold-off restarts. A second thread watches the three effects; reading them
// in the reverse order of their writes, it must never see a later effect
// without the earlier ones. (A wrong order is caught when the watcher happens
// to look in between; it can never fail a right one.)

template <class Move>
void watch_order(Runtime& rt, std::size_t bit, Move move) {
    ControllerMirror& m = rt.mirror();
    std::atomic<bool> active{false};
    std::atomic<bool> finished{false};
    std::atomic<int> generation{0};
    std::atomic<int> acknowledged{0};
    std::atomic<int> violations{0};
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

TEST_F(Motion, SingleMoveAppendsThenClearsTheBitThenRestartsTheHoldOff) {
    set_stored_speed(2, 10.0f);
    watch_order(rt, 4, [&] { ASSERT_EQ(rt.single_move_to(2, 3.0), 1); });
}

TEST_F(Motion, CoordinatedMoveAppendsThenClearsTheBitsThenRestartsTheHoldOff) {
    set_stored_speed(0, 10.0f);
    watch_order(rt, 4, [&] { ASSERT_EQ(rt.xyz_move_to(3.0, 1.0, 2.0), 1); });
}

}  // namespace
}  // namespace orvane::test
