// Status queries, answered from the mirror (which arguments each refuses: guards_test).
#include <climits>
#include <cmath>
#include <limits>
#include <thread>
#include <tuple>
#include <vector>

#include "api_test_support.h"

namespace orvane::test {
namespace {

using Floats = std::vector<float>;

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
    std::array<int, 3> fly() {
        int a = 9, b = 9, c = 9;
        EXPECT_EQ(rt.get_fly(a, b, c), 1);
        return {a, b, c};
    }
};

TEST_F(Queries, SoftLimitsAndFlyAnswerWithoutAConnection) {
    disconnect();
    params_float(4, field::soft_limit_margin, 5.0f);  // moves both limits inwards
    for (int axis = 0; axis < 6; ++axis) {
        double left = 1, right = 1;
        EXPECT_EQ(rt.get_soft_limits(axis, left, right), 1);
        EXPECT_EQ(left, axis == 4 ? -9995.0 : -10000.0);
        EXPECT_EQ(right, axis == 4 ? 9995.0 : 10000.0);
    }
    EXPECT_EQ(fly(), (std::array<int, 3>{0, 0, 0}));
    // Values from before outlive the link.
    for (std::size_t i = 0; i < 3; ++i) mirror().fly_counters[i].set(i == 1 ? -4 : static_cast<int>(3 + i));
    mirror().fly_positions.replace({1.25f});
    EXPECT_EQ(fly(), (std::array<int, 3>{3, -4, 5}));
    double p = 0;
    EXPECT_TRUE(rt.get_fly_pos(&p) == 1 && p == 1.25);
    mirror().fly_positions.clear();
    EXPECT_EQ(rt.get_fly_pos(nullptr), 0);
}

// Not connected, then connected with an axis and an input out of range.
TEST_F(Queries, RefusedQueriesLeaveTheCallersVariables) {
    mirror().type_code.set(2);
    mirror().axis_pos[0].set(5.0f);
    mirror().input_bits[0].set(true);
    mirror().axis_state_bits[0].set(true);
    mirror().axis_state_bits[1].set(true);
    params_float(0, field::max_speed, 50.0f);
    mirror().axis_params[0].set_int_field(field::axis_rotation, 0);
    for (const auto& [connected, axis, input] : {std::tuple{false, 0, 1}, {true, 6, 25}, {true, -1, 0}}) {
        SCOPED_TRACE(::testing::Message() << "connected " << connected << ", axis " << axis);
        mirror().connected.store(connected);
        double time = -7, left = 7, right = 7;
        bool rotation = true, home = false, moving = false, level = false;
        int speed = -3;
        EXPECT_EQ(rt.get_acc_time(axis, time) + rt.get_axis_rotation(axis, rotation) + rt.get_home_state(axis, home) +
                      rt.get_move_state(axis, moving) + rt.get_input_bit(input, level) + rt.get_max_speed(axis, speed),
                  0);
        EXPECT_TRUE(time == -7 && rotation && !home && !moving && !level && speed == -3);
        if (connected) {
            EXPECT_EQ(rt.get_soft_limits(axis, left, right), 0);
            EXPECT_TRUE(left == 7 && right == 7);
            continue;
        }
        EXPECT_EQ(rt.get_type(), 0);
        std::array<bool, 24> levels{};
        EXPECT_EQ(rt.get_input_bits(levels.data()), 0);
        EXPECT_FALSE(levels[0]);
        std::array<double, 6> pos;
        pos.fill(-1.0);
        EXPECT_EQ(rt.get_pos(pos.data()), 0);
        for (double p : pos) EXPECT_EQ(p, -1.0);
    }
}

TEST_F(Queries, TypeAccelerationTimeRotationAndPositionsOfAllSixAxes) {
    mirror().type_code.set(3);
    EXPECT_EQ(rt.get_type(), 3);
    params_float(3, field::acc_time, 0.75f);
    mirror().axis_params[3].set_int_field(field::axis_rotation, 2);
    double time = 0;
    bool rotation = false;
    EXPECT_EQ(rt.get_acc_time(3, time) + rt.get_axis_rotation(3, rotation), 2);
    EXPECT_TRUE(time == 0.75 && rotation);
    EXPECT_EQ(rt.get_axis_rotation(2, rotation), 1);
    EXPECT_FALSE(rotation);
    // Positions of all six axes also on a three-axis controller.
    mirror().axis_count.set(3);
    const float values[6] = {1.5f, -2.25f, 12.345f, 0.0f, 1e6f, -0.001f};
    for (std::size_t i = 0; i < 6; ++i) mirror().axis_pos[i].set(values[i]);
    std::array<double, 7> pos;
    pos.fill(-99.0);
    EXPECT_EQ(rt.get_pos(pos.data()), 1);
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(pos[i], static_cast<double>(values[i])) << i;
    EXPECT_EQ(pos[6], -99.0);
}

TEST_F(Queries, MoveAndHomeStateBitsPerAxis) {
    // Move bits on for axes 1 and 4, home bits on for axes 0, 4 and 5.
    const bool bits[12] = {false, true, true, false, false, false, false, false, true, true, false, true};
    for (std::size_t k = 0; k < 12; ++k) mirror().axis_state_bits[k].set(bits[k]);
    for (int axis = 0; axis < 6; ++axis) {
        bool moving = !bits[2 * axis];
        bool homed = !bits[2 * axis + 1];
        EXPECT_EQ(rt.get_move_state(axis, moving) + rt.get_home_state(axis, homed), 2);
        EXPECT_EQ(moving, bits[2 * axis]) << "axis " << axis;
        EXPECT_EQ(homed, bits[2 * axis + 1]) << "axis " << axis;
    }
}

TEST_F(Queries, InputsFollowStatusReplies) {
    rt.on_data("100:0,0,0,0,0,0,0,0,0,0,0,0,0,0,2,2,2,128\n");  // inputs 2, 10 and 24 on
    const auto on = [](int n) { return n == 2 || n == 10 || n == 24; };
    for (int n = 1; n <= 24; ++n) {
        bool level = !on(n);
        ASSERT_EQ(rt.get_input_bit(n, level), 1);
        EXPECT_EQ(level, on(n)) << "input " << n;
    }
    std::array<bool, 25> levels;
    levels.fill(true);
    levels[24] = false;
    EXPECT_EQ(rt.get_input_bits(levels.data()), 1);
    for (int n = 1; n <= 24; ++n) EXPECT_EQ(levels[static_cast<std::size_t>(n - 1)], on(n)) << n;
    EXPECT_FALSE(levels[24]);
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
}

// Truncated towards zero, saturated outside the int range; 0 before the parameters arrive.
TEST_F(Queries, MaxSpeed) {
    int speed = -1;
    EXPECT_EQ(rt.get_max_speed(0, speed), 1);
    EXPECT_EQ(speed, 0);
    const float inf = std::numeric_limits<float>::infinity();
    // 2147483520 is the largest float below 2^31.
    const std::pair<float, int> cases[] = {
        {99.9f, 99}, {-5.7f, -5}, {0.0f, 0}, {2147483520.0f, 2147483520}, {std::nanf(""), 0}, {1e20f, INT_MAX},
        {2147483648.0f, INT_MAX}, {inf, INT_MAX}, {-1e20f, INT_MIN}, {-inf, INT_MIN}, {-2147483648.0f, INT_MIN}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(max_speed_of(value), expected) << value;
}

// (Positions from a reply, in the axis's units: response_parser_test.)
TEST_F(Queries, FlyPositionsCountAndCopy) {
    double sentinel[2] = {-1, -1};
    EXPECT_EQ(rt.get_fly_pos(sentinel), 0);  // empty: writes nothing
    EXPECT_EQ(sentinel[0], -1);
    mirror().fly_positions.replace({1.5f, -2.25f, 12.345f});
    EXPECT_EQ(rt.get_fly_pos(nullptr), 3);
    std::array<double, 5> got;
    got.fill(-1);
    EXPECT_EQ(rt.get_fly_pos(got.data()), 3);
    EXPECT_EQ(got, (std::array<double, 5>{1.5, -2.25, static_cast<double>(12.345f), -1, -1}));
}

// A counting call limits the next copying call on the same thread and runtime, once.
TEST_F(Queries, ACountLimitsTheNextCopyOnce) {
    const std::tuple<Floats, Floats, int> cases[] = {
        {{1, 2}, {1, 2, 3, 4, 5}, 2},  // the list grew before the copying call
        {{}, {1, 2}, 0},               // a count of zero, then growth: nothing written
        {{1, 2, 3}, {7}, 1},           // a list that shrank is copied whole
    };
    for (const auto& [counted, copied, expected] : cases) {
        SCOPED_TRACE(::testing::Message() << counted.size() << " counted, " << copied.size() << " copied");
        mirror().fly_positions.replace(counted);
        ASSERT_EQ(rt.get_fly_pos(nullptr), static_cast<int>(counted.size()));
        mirror().fly_positions.replace(copied);
        std::array<double, 5> got;
        got.fill(-1);
        EXPECT_EQ(rt.get_fly_pos(got.data()), expected);
        for (std::size_t i = 0; i < 5; ++i) {
            EXPECT_EQ(got[i], static_cast<int>(i) < expected ? copied[i] : -1) << i;
        }
        EXPECT_EQ(rt.get_fly_pos(got.data()), static_cast<int>(copied.size()));
    }

    mirror().fly_positions.replace({1.0f});
    std::thread other([&] { EXPECT_EQ(rt.get_fly_pos(nullptr), 1); });
    other.join();
    Runtime other_runtime(offline_config());
    other_runtime.mirror().fly_positions.replace({1.0f});
    ASSERT_EQ(other_runtime.get_fly_pos(nullptr), 1);
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f});
    std::array<double, 3> got{};
    EXPECT_EQ(rt.get_fly_pos(got.data()), 3) << "a count on another thread or runtime limits this one";
}

TEST_F(Queries, FlyPositionsWhileTheParserReplacesThem) {
    // Copies must not overlap replacements (ASan/TSan watch this); every copy is one whole list.
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

TEST_F(Queries, ReadyNeedsLevelsParametersAndAVersion) {
    const std::tuple<const char*, int, float, const char*, bool> cases[] = {
        {"all known", 16, 0.1f, "V1", true},
        {"levels not known", 0, 0.1f, "V1", false},
        {"parameters not known", 16, 0.05f, "V1", false},
        {"a one-character version is none", 16, 0.1f, "V", false},
        {"no version", 16, 0.1f, "", false},
    };
    for (const auto& [what, last_level, max_speed, version, ready] : cases) {
        mirror().output_level[io_total - 1].set(last_level);
        params_float(0, field::max_speed, max_speed);
        mirror().version_text.set(version);
        EXPECT_EQ(rt.ready(), ready) << what;
    }
    mirror().output_level[io_total - 1].set(16);
    mirror().version_text.set("V1");
    disconnect();
    EXPECT_FALSE(rt.ready()) << "all known but not connected";
}

}  // namespace
}  // namespace orvane::test
