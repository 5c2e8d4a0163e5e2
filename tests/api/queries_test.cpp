// Status queries, answered from the mirror.
#include <climits>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "api_test_support.h"

namespace orvane::test {
namespace {

class Queries : public ConnectedRuntime {
protected:
    void params_float(int axis, int k, float v) {
        mirror().axis_params[static_cast<std::size_t>(axis)].set_float_field(k, v);
    }
    int max_speed_of(float v) {
        params_float(2, field::max_speed, v);
        int speed = -12345;
        EXPECT_EQ(rt.get_max_speed(2, speed), 1);
        return speed;
    }
};

class QueriesDisconnected : public ::testing::Test {
protected:
    QueriesDisconnected() { forget_fly_count(rt); }
    Runtime rt{offline_config()};
};

// ---- before any connection ---------------------------------------------------

TEST_F(QueriesDisconnected, SoftLimitsAndFlyAnswerWithoutAConnection) {
    for (int axis = 0; axis < 6; ++axis) {
        double left = 1, right = 1;
        EXPECT_EQ(rt.get_soft_limits(axis, left, right), 1);
        EXPECT_EQ(left, -10000.0);
        EXPECT_EQ(right, 10000.0);
    }
    // The margin moves both limits inwards, connected or not.
    rt.mirror().axis_params[4].set_float_field(field::soft_limit_margin, 5.0f);
    double left = 0, right = 0;
    EXPECT_EQ(rt.get_soft_limits(4, left, right), 1);
    EXPECT_EQ(left, -9995.0);
    EXPECT_EQ(right, 9995.0);
    int a = 9, b = 9, c = 9;
    EXPECT_EQ(rt.get_fly(a, b, c), 1);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(rt.get_fly_pos(nullptr), 0);
}

TEST_F(QueriesDisconnected, RefusedQueriesLeaveTheCallersVariables) {
    rt.mirror().type_code.set(2);
    rt.mirror().axis_pos[0].set(5.0f);
    rt.mirror().input_bits[0].set(true);
    rt.mirror().axis_state_bits[0].set(true);
    rt.mirror().axis_state_bits[1].set(true);
    EXPECT_EQ(rt.get_type(), 0);
    double time = -7;
    EXPECT_EQ(rt.get_acc_time(0, time), 0);
    EXPECT_EQ(time, -7);
    bool flag = true;
    rt.mirror().axis_params[0].set_int_field(field::axis_rotation, 0);
    EXPECT_EQ(rt.get_axis_rotation(0, flag), 0);
    EXPECT_TRUE(flag);
    bool state = false;
    EXPECT_EQ(rt.get_home_state(0, state), 0);
    EXPECT_FALSE(state);
    EXPECT_EQ(rt.get_move_state(0, state), 0);
    EXPECT_FALSE(state);
    bool level = false;
    EXPECT_EQ(rt.get_input_bit(1, level), 0);
    EXPECT_FALSE(level);
    std::array<bool, 24> levels{};
    EXPECT_EQ(rt.get_input_bits(levels.data()), 0);
    EXPECT_FALSE(levels[0]);
    int speed = -3;
    rt.mirror().axis_params[0].set_float_field(field::max_speed, 50.0f);
    EXPECT_EQ(rt.get_max_speed(0, speed), 0);
    EXPECT_EQ(speed, -3);
    std::array<double, 6> pos;
    pos.fill(-1.0);
    EXPECT_EQ(rt.get_pos(pos.data()), 0);
    for (double p : pos) EXPECT_EQ(p, -1.0);
}

TEST_F(QueriesDisconnected, FlyValuesOutliveTheLink) {
    rt.mirror().fly_counters[0].set(3);
    rt.mirror().fly_counters[1].set(-4);
    rt.mirror().fly_counters[2].set(5);
    rt.mirror().fly_positions.replace({1.25f});
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(rt.get_fly(a, b, c), 1);
    EXPECT_EQ(a, 3);
    EXPECT_EQ(b, -4);
    EXPECT_EQ(c, 5);
    double p = 0;
    EXPECT_EQ(rt.get_fly_pos(&p), 1);
    EXPECT_EQ(p, 1.25);
}

// ---- connected ------------------------------------------------------------------

TEST_F(Queries, TypeWhileConnected) {
    mirror().type_code.set(3);
    EXPECT_EQ(rt.get_type(), 3);
}

TEST_F(Queries, PositionsOfAllSixAxesAlsoOnAThreeAxisController) {
    mirror().axis_count.set(3);
    const float values[6] = {1.5f, -2.25f, 12.345f, 0.0f, 1e6f, -0.001f};
    for (std::size_t i = 0; i < 6; ++i) mirror().axis_pos[i].set(values[i]);
    std::array<double, 7> pos;
    pos.fill(-99.0);
    EXPECT_EQ(rt.get_pos(pos.data()), 1);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(pos[i], static_cast<double>(values[i])) << i;
    EXPECT_EQ(pos[6], -99.0);
    EXPECT_EQ(rt.get_pos(nullptr), 0);
}

TEST_F(Queries, MoveAndHomeStateBitsPerAxis) {
    // Move bits on for axes 1 and 4, home bits on for axes 0, 4 and 5.
    const bool bits[12] = {false, true, true, false, false, false, false, false, true, true, false, true};
    for (std::size_t k = 0; k < 12; ++k) mirror().axis_state_bits[k].set(bits[k]);
    for (int axis = 0; axis < 6; ++axis) {
        bool moving = !bits[2 * axis];
        bool homed = !bits[2 * axis + 1];
        EXPECT_EQ(rt.get_move_state(axis, moving), 1);
        EXPECT_EQ(rt.get_home_state(axis, homed), 1);
        EXPECT_EQ(moving, bits[2 * axis]) << "axis " << axis;
        EXPECT_EQ(homed, bits[2 * axis + 1]) << "axis " << axis;
    }
}

TEST_F(Queries, AllInputs) {
    for (std::size_t i = 0; i < io_total; ++i) mirror().input_bits[i].set(i == 0 || i == 16 || i == 23);
    std::array<bool, 25> levels;
    levels.fill(true);
    levels[24] = false;
    EXPECT_EQ(rt.get_input_bits(levels.data()), 1);
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(levels[i], i == 0 || i == 16 || i == 23) << i;
    EXPECT_FALSE(levels[24]);
    EXPECT_EQ(rt.get_input_bits(nullptr), 0);
}

TEST_F(Queries, InputsFollowStatusReplies) {
    // Inputs 2, 10 and 24 on.
    rt.on_data(status_line({}, 0, 0, 2, 0x02, 0x02, 0x80));
    bool level = true;
    ASSERT_EQ(rt.get_input_bit(1, level), 1);
    EXPECT_FALSE(level);
    ASSERT_EQ(rt.get_input_bit(2, level), 1);
    EXPECT_TRUE(level);
    ASSERT_EQ(rt.get_input_bit(24, level), 1);
    EXPECT_TRUE(level);
    ASSERT_EQ(rt.get_input_bit(10, level), 1);
    EXPECT_TRUE(level);
    ASSERT_EQ(rt.get_input_bit(9, level), 1);
    EXPECT_FALSE(level);
}

TEST_F(Queries, AccelerationTimeAndRotationAxisBounds) {
    params_float(3, field::acc_time, 0.75f);
    mirror().axis_params[3].set_int_field(field::axis_rotation, 2);
    double time = 0;
    bool rotation = false;
    EXPECT_EQ(rt.get_acc_time(3, time), 1);
    EXPECT_EQ(time, 0.75);
    EXPECT_EQ(rt.get_axis_rotation(3, rotation), 1);
    EXPECT_TRUE(rotation);
    EXPECT_EQ(rt.get_axis_rotation(2, rotation), 1);
    EXPECT_FALSE(rotation);

    mirror().axis_count.set(3);
    rotation = true;
    EXPECT_EQ(rt.get_axis_rotation(3, rotation), 0);
    EXPECT_EQ(rt.get_axis_rotation(-1, rotation), 0);
    EXPECT_TRUE(rotation);
    time = 0;
    EXPECT_EQ(rt.get_acc_time(3, time), 1);
    EXPECT_EQ(time, 0.75);
    EXPECT_EQ(rt.get_acc_time(6, time), 0);
    EXPECT_EQ(rt.get_acc_time(-1, time), 0);
    EXPECT_EQ(time, 0.75);
}

TEST_F(Queries, SoftLimitsMoveInwardsByTheMarginInSinglePrecision) {
    params_float(1, field::soft_limit_margin, 5.0f);
    params_float(1, field::left_soft_limit, -100.0f);
    params_float(1, field::right_soft_limit, 200.0f);
    double left = 0, right = 0;
    EXPECT_EQ(rt.get_soft_limits(1, left, right), 1);
    EXPECT_EQ(left, -95.0);
    EXPECT_EQ(right, 195.0);
    // Formed as floats: 0.1f + 0.2f in float, then widened.
    params_float(2, field::soft_limit_margin, 0.2f);
    params_float(2, field::left_soft_limit, 0.1f);
    params_float(2, field::right_soft_limit, 0.1f);
    EXPECT_EQ(rt.get_soft_limits(2, left, right), 1);
    EXPECT_EQ(left, static_cast<double>(0.1f + 0.2f));
    EXPECT_EQ(right, static_cast<double>(0.1f - 0.2f));
    left = right = 7;
    EXPECT_EQ(rt.get_soft_limits(6, left, right), 0);
    EXPECT_EQ(rt.get_soft_limits(-1, left, right), 0);
    EXPECT_EQ(left, 7);
    EXPECT_EQ(right, 7);
}

TEST_F(Queries, MaxSpeedTruncatesTowardsZero) {
    EXPECT_EQ(max_speed_of(99.9f), 99);
    EXPECT_EQ(max_speed_of(-5.7f), -5);
    EXPECT_EQ(max_speed_of(0.0f), 0);
    EXPECT_EQ(max_speed_of(2147483520.0f), 2147483520);  // the largest float below 2^31
}

TEST_F(Queries, MaxSpeedOutsideTheIntRange) {
    EXPECT_EQ(max_speed_of(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(max_speed_of(1e20f), INT_MAX);
    EXPECT_EQ(max_speed_of(2147483648.0f), INT_MAX);
    EXPECT_EQ(max_speed_of(std::numeric_limits<float>::infinity()), INT_MAX);
    EXPECT_EQ(max_speed_of(-1e20f), INT_MIN);
    EXPECT_EQ(max_speed_of(-std::numeric_limits<float>::infinity()), INT_MIN);
    EXPECT_EQ(max_speed_of(-2147483648.0f), INT_MIN);
}

TEST_F(Queries, MaxSpeedBeforeTheParametersArriveIsZero) {
    int speed = -1;
    EXPECT_EQ(rt.get_max_speed(0, speed), 1);
    EXPECT_EQ(speed, 0);
    speed = -1;
    EXPECT_EQ(rt.get_max_speed(6, speed), 0);
    EXPECT_EQ(rt.get_max_speed(-1, speed), 0);
    EXPECT_EQ(speed, -1);
}

// ---- fly positions -------------------------------------------------------------

TEST_F(Queries, FlyPositionsEmptyWritesNothing) {
    double sentinel[2] = {-1, -1};
    EXPECT_EQ(rt.get_fly_pos(sentinel), 0);
    EXPECT_EQ(rt.get_fly_pos(nullptr), 0);
    EXPECT_EQ(sentinel[0], -1);
}

TEST_F(Queries, FlyPositionsCountAndCopy) {
    mirror().fly_positions.replace({1.5f, -2.25f, 12.345f});
    EXPECT_EQ(rt.get_fly_pos(nullptr), 3);
    std::array<double, 5> got;
    got.fill(-1);
    EXPECT_EQ(rt.get_fly_pos(got.data()), 3);
    EXPECT_EQ(got[0], 1.5);
    EXPECT_EQ(got[1], -2.25);
    EXPECT_EQ(got[2], static_cast<double>(12.345f));
    EXPECT_EQ(got[3], -1);
}

TEST_F(Queries, FlyPositionsFromAReplyAreInTheNamedAxisUnits) {
    mirror().axis_params[4].set_int_field(field::use_encoder, 1);
    rt.on_data("520:4,1000,-2500,0\n");
    std::array<double, 3> got{};
    ASSERT_EQ(rt.get_fly_pos(got.data()), 3);
    EXPECT_EQ(got[0], 1.0);
    EXPECT_EQ(got[1], static_cast<double>(-2500.0f * 0.001f));
    EXPECT_EQ(got[2], 0.0);
}

TEST_F(Queries, ArraySizedFromACountIsNeverOverrun) {
    mirror().fly_positions.replace({1.0f, 2.0f});
    const int n = rt.get_fly_pos(nullptr);
    ASSERT_EQ(n, 2);
    // The list grows before the copying call.
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
    std::array<double, 5> got;
    got.fill(-1);
    EXPECT_EQ(rt.get_fly_pos(got.data()), 2);
    EXPECT_EQ(got[0], 1.0);
    EXPECT_EQ(got[1], 2.0);
    EXPECT_EQ(got[2], -1);
    // The limit applies once: the next copying call delivers everything.
    EXPECT_EQ(rt.get_fly_pos(got.data()), 5);
    EXPECT_EQ(got[4], 5.0);
}

TEST_F(Queries, CountOfZeroThenGrowthWritesNothing) {
    ASSERT_EQ(rt.get_fly_pos(nullptr), 0);
    mirror().fly_positions.replace({1.0f, 2.0f});
    double got = -1;
    EXPECT_EQ(rt.get_fly_pos(&got), 0);
    EXPECT_EQ(got, -1);
}

TEST_F(Queries, ListThatShrankAfterTheCountIsCopiedWhole) {
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f});
    ASSERT_EQ(rt.get_fly_pos(nullptr), 3);
    mirror().fly_positions.replace({7.0f});
    std::array<double, 3> got;
    got.fill(-1);
    EXPECT_EQ(rt.get_fly_pos(got.data()), 1);
    EXPECT_EQ(got[0], 7.0);
    EXPECT_EQ(got[1], -1);
}

TEST_F(Queries, ACountOnAnotherThreadDoesNotLimitThisOne) {
    mirror().fly_positions.replace({1.0f});
    std::thread other([&] { EXPECT_EQ(rt.get_fly_pos(nullptr), 1); });
    other.join();
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f});
    std::array<double, 3> got{};
    EXPECT_EQ(rt.get_fly_pos(got.data()), 3);
}

TEST_F(Queries, ACountOnAnotherRuntimeDoesNotLimitThisOne) {
    Runtime other(offline_config());
    other.mirror().fly_positions.replace({1.0f});
    ASSERT_EQ(other.get_fly_pos(nullptr), 1);
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f});
    std::array<double, 3> got{};
    EXPECT_EQ(rt.get_fly_pos(got.data()), 3);
}

TEST_F(Queries, FlyPositionsWhileTheParserReplacesThem) {
    // Copies must not overlap replacements (ASan/TSan watch this); every
    // copy is one whole list.
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            std::string reply = "520:0";
            for (int k = 0; k <= i % 7; ++k) reply += "," + std::to_string(1000 * (i % 7));
            rt.on_data(reply + "\n");
        }
        done.store(true);
    });
    std::array<double, 8> got{};
    while (!done.load()) {
        const int n = rt.get_fly_pos(nullptr);
        const int m = rt.get_fly_pos(got.data());
        ASSERT_LE(m, n);
        for (int k = 1; k < m; ++k) ASSERT_EQ(got[static_cast<std::size_t>(k)], got[0]);
    }
    writer.join();
}

// ---- readiness -----------------------------------------------------------------

TEST_F(Queries, ReadyNeedsLevelsParametersAndAVersion) {
    struct Case {
        const char* what;
        int last_level;
        float max_speed;
        const char* version;
        bool ready;
    };
    const Case cases[] = {
        {"all known", 16, 0.1f, "V1", true},
        {"levels not known", 0, 0.1f, "V1", false},
        {"parameters not known", 16, 0.05f, "V1", false},
        {"a one-character version is none", 16, 0.1f, "V", false},
        {"no version", 16, 0.1f, "", false},
    };
    for (const Case& c : cases) {
        mirror().output_level[io_total - 1].set(c.last_level);
        mirror().axis_params[0].set_float_field(field::max_speed, c.max_speed);
        mirror().version_text.set(c.version);
        EXPECT_EQ(rt.ready(), c.ready) << c.what;
    }
    disconnect();
    mirror().output_level[io_total - 1].set(16);
    mirror().axis_params[0].set_float_field(field::max_speed, 1.0f);
    mirror().version_text.set("V1");
    EXPECT_FALSE(rt.ready());
}

}  // namespace
}  // namespace orvane::test
