// The simulator's controller model, driven with chosen times (no threads,
// no sockets), and the pieces it is built from.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "controller_model.h"
#include "fly.h"
#include "motion.h"
#include "protocol.h"

namespace orvane::sim {
namespace {

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> out;
    const std::string payload = line.substr(line.find(':') + 1);
    for (std::string_view f : protocol::split_fields(payload)) out.emplace_back(f);
    return out;
}

class Model : public ::testing::Test {
protected:
    ControllerModel model{2, "sim 1", {}};
    std::vector<std::string> commands;
    std::vector<Reply> replies;

    void line(std::string_view text, double now) { model.handle_line(text, now, commands, replies); }
    void at(double now) { model.update(now, replies); }
    std::vector<std::string> status() { return fields_of(model.status_line()); }
    std::string take_reply() {
        if (replies.empty()) return {};
        std::string text = replies.front().text;
        replies.erase(replies.begin());
        return text;
    }
    // Time at which axis stands still, found by stepping 1 ms from from.
    double still_time(int axis, double from) {
        for (double t = from; t < from + 100.0; t += 0.001) {
            at(t);
            if (!model.moving_at(axis, t)) return t;
        }
        return -1.0;
    }
};

TEST(SimProtocol, SplitsBatchesIntoCommandsAndTheOutputFrame) {
    const auto pieces = protocol::split_line("160:0,25.0,10.000000!170:1!!110:1,2,3");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].kind, protocol::PieceKind::command);
    EXPECT_EQ(pieces[0].code, "160");
    EXPECT_EQ(pieces[0].payload, "0,25.0,10.000000");
    EXPECT_EQ(pieces[1].text, "170:1!");
    EXPECT_EQ(pieces[2].kind, protocol::PieceKind::output_frame);
    EXPECT_EQ(pieces[2].payload, "1,2,3");

    const auto tail = protocol::split_line("170:1!junk");
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[1].kind, protocol::PieceKind::unknown);
    EXPECT_EQ(tail[1].text, "junk");

    const auto polls = protocol::split_line("2001:2001");
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(polls[0].kind, protocol::PieceKind::poll);

    // A frame closed by "!" and followed by another command.
    const auto after = protocol::split_line("!110:0!170:2!");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].payload, "0");
    EXPECT_EQ(after[1].text, "170:2!");
}

TEST(SimProtocol, NumbersAndLevelDigits) {
    std::int64_t i = 0;
    EXPECT_TRUE(protocol::parse_int(" -12x", i));
    EXPECT_EQ(i, -12);
    EXPECT_TRUE(protocol::parse_int("2.7", i));
    EXPECT_EQ(i, 2);
    EXPECT_FALSE(protocol::parse_int("", i));
    double d = 0.0;
    EXPECT_TRUE(protocol::parse_double("+0.25", d));
    EXPECT_EQ(d, 0.25);
    EXPECT_FALSE(protocol::parse_double("abc", d));
    EXPECT_EQ(protocol::level_digit(1), '0');
    EXPECT_EQ(protocol::level_digit(11), 'A');
    EXPECT_EQ(protocol::level_digit(16), 'F');
    EXPECT_EQ(protocol::level_from_digit('F'), 16);
    EXPECT_EQ(protocol::level_from_digit('f'), 0);
    EXPECT_EQ(protocol::format_float(0.001f), "0.001");
    EXPECT_EQ(protocol::format_float(-10000.0f), "-10000");
}

TEST(SimMotion, TrapezoidTakesDistanceOverSpeedPlusAccelerationTime) {
    AxisMotion m;
    const double speed = 50.0;
    m.move_to(0.0, 10.0, speed, acceleration_for(speed, 0.2), AxisMotion::Goal::move);
    EXPECT_TRUE(m.moving_at(0.399));
    EXPECT_FALSE(m.moving_at(0.401));
    EXPECT_NEAR(m.position_at(0.2), 50.0 * 0.2 / 2.0 + 0.0, 1e-9);  // end of the ramp
    EXPECT_EQ(m.advance(0.5), AxisMotion::Goal::move);
    EXPECT_EQ(m.position(), 10.0);
    EXPECT_FALSE(m.moving());
}

TEST(SimMotion, ShortMoveIsTriangular) {
    AxisMotion m;
    const double a = acceleration_for(50.0, 0.2);  // 250 units/s²
    m.move_to(0.0, 4.0, 50.0, a, AxisMotion::Goal::move);
    const double t = 2.0 * std::sqrt(4.0 / a);  // 0.253 s
    EXPECT_TRUE(m.moving_at(t - 0.001));
    EXPECT_FALSE(m.moving_at(t + 0.001));
    EXPECT_NEAR(m.position_at(t / 2.0), 2.0, 1e-9);
}

TEST(SimMotion, NewTargetBehindAMovingAxisBrakesAndReturns) {
    AxisMotion m;
    const double a = acceleration_for(10.0, 0.1);
    m.move_to(0.0, 100.0, 10.0, a, AxisMotion::Goal::move);
    m.advance(1.0);
    const double there = m.position();
    m.move_to(1.0, 0.0, 10.0, a, AxisMotion::Goal::move);
    // Still going forwards while braking.
    EXPECT_GT(m.position_at(1.05), there);
    m.advance(100.0);
    EXPECT_EQ(m.position(), 0.0);
}

TEST(SimMotion, DecelerateStopsWithinTheAccelerationTime) {
    AxisMotion m;
    const double a = acceleration_for(20.0, 0.2);
    m.move_to(0.0, 1000.0, 20.0, a, AxisMotion::Goal::jog);
    m.decelerate(1.0);
    const double before = m.position();
    EXPECT_TRUE(m.moving_at(1.19));
    EXPECT_FALSE(m.moving_at(1.21));
    EXPECT_EQ(m.advance(2.0), AxisMotion::Goal::stop);
    EXPECT_NEAR(m.position(), before + 20.0 * 0.2 / 2.0, 1e-9);
}

TEST_F(Model, PollAnswers) {
    line("190:190", 0.0);
    EXPECT_EQ(take_reply(), "190:000000000000000000000000,0,0,0,IN=000000000000000000000000 OUT=000000000000000000000000");
    line("2001:2001", 0.0);
    EXPECT_EQ(take_reply(), "2001:sim 1");
    line("125:125", 0.0);
    const auto values = fields_of(take_reply());
    ASSERT_EQ(values.size(), 126u);
    for (int a = 0; a < 6; ++a) {
        EXPECT_EQ(values[21 * a + 2], "10000");
        EXPECT_EQ(values[21 * a + 12], "100");
        EXPECT_EQ(values[21 * a + 17], "0.2");
        EXPECT_EQ(values[21 * a + 18], "0.001");
    }
    EXPECT_EQ(commands, (std::vector<std::string>{"190:190", "2001:2001", "125:125"}));
}

TEST_F(Model, StatusLineCarriesCountsBitsTypeInputsAndOutputs) {
    model.set_input(0, true);
    model.set_input(9, true);
    model.set_input(23, true);
    line("!110:1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,-24", 0.0);
    model.set_position(1, 12.345, 0.0);
    auto s = status();
    ASSERT_EQ(s.size(), 42u);
    EXPECT_EQ(s[1], "12345");  // pulses: 12.345 / 10 * 10000
    EXPECT_EQ(s[7], "12345");  // encoder: 12.345 / 0.001
    EXPECT_EQ(s[12], "85");    // axes 0..3 still, none homed
    EXPECT_EQ(s[13], "5");
    EXPECT_EQ(s[14], "2");
    EXPECT_EQ(s[15], "1");
    EXPECT_EQ(s[16], "2");
    EXPECT_EQ(s[17], "128");
    EXPECT_EQ(s[18], "1");
    EXPECT_EQ(s[41], "-24");
    EXPECT_TRUE(replies.empty());
}

TEST_F(Model, ParameterRecordChangesTheCountConversion) {
    line("120:0,0,0,20000,1,50,0,0,0,0,0,0,0,100,5,-10000,10000,10,0.2,0.002,10,1!", 0.0);
    EXPECT_TRUE(replies.empty());
    model.set_position(0, 1.0, 0.0);
    auto s = status();
    EXPECT_EQ(s[0], "2000");
    EXPECT_EQ(s[6], "500");
    // A record with a field too few is not taken, and answered as raw text.
    line("120:0,1,2!", 0.0);
    EXPECT_EQ(model.record(0).ints[2], 20000);
    EXPECT_EQ(take_reply(), "5010:echo 120;0,1,2!");
}

TEST_F(Model, SingleMoveReachesItsTargetOnTime) {
    line("160:2,50.0,10.000000!", 1.0);
    EXPECT_TRUE(model.moving_at(2, 1.0));
    EXPECT_EQ(status()[12], std::to_string(85 & ~(1 << 4)));
    EXPECT_NEAR(still_time(2, 1.0), 1.4, 0.002);
    EXPECT_EQ(model.position_at(2, 5.0), 10.0);
    EXPECT_EQ(status()[2], "10000");
    EXPECT_EQ(status()[12], "85");
}

TEST_F(Model, CoordinatedMoveArrivesTogether) {
    // The speeds the library computes for targets 4, 2, 0 (triangular) and
    // 100, 50, 0 (trapezoidal) with the default acceleration time.
    // Steps 1 ms at a time and notes when axes 0 and 1 come to rest.
    const auto rest_times = [&](double from) {
        std::array<double, 2> rest{-1.0, -1.0};
        for (double t = from; t < from + 10.0 && (rest[0] < 0 || rest[1] < 0); t += 0.001) {
            at(t);
            for (int a = 0; a < 2; ++a) {
                if (rest[a] < 0 && !model.moving_at(a, t)) rest[a] = t;
            }
        }
        return rest;
    };
    line("161:31.6,15.8,0.0,4.000000,2.000000,0.000000!", 0.0);
    EXPECT_FALSE(model.moving_at(2, 0.0));
    const auto triangle = rest_times(0.0);
    EXPECT_GT(triangle[0], 0.25);
    EXPECT_NEAR(triangle[1], triangle[0], 0.002);
    EXPECT_EQ(model.position_at(0, 10.0), 4.0);
    EXPECT_EQ(model.position_at(1, 10.0), 2.0);

    line("161:50.0,25.0,0.0,104.000000,52.000000,0.000000!", 10.0);
    const auto trapezoid = rest_times(10.0);
    EXPECT_NEAR(trapezoid[0], 12.2, 0.002);
    EXPECT_NEAR(trapezoid[1], trapezoid[0], 0.002);
}

TEST_F(Model, SpeedZeroStartsNothing) {
    model.set_position(0, 3.0, 0.0);
    line("160:0,0.0,8.000000!", 0.0);
    EXPECT_FALSE(model.moving_at(0, 0.0));
    EXPECT_EQ(model.position_at(0, 1.0), 3.0);
    EXPECT_TRUE(replies.empty());
}

TEST_F(Model, HomingTravelsToZeroThenSetsTheHomeBit) {
    model.set_position(1, 2.0, 0.0);
    line("130:1,10.000000!", 0.0);
    EXPECT_FALSE(model.homed_at(1, 0.0));
    const double done = still_time(1, 0.0);
    EXPECT_NEAR(done, 0.4, 0.002);  // 2 / 10 + 0.2
    EXPECT_TRUE(model.homed_at(1, done));
    EXPECT_EQ(model.position_at(1, done), 0.0);
    EXPECT_EQ(status()[12], std::to_string(85 | (1 << 3)));
    // A new homing clears the bit until it completes.
    line("170:1!", 1.0);
    line("160:1,10.0,1.000000!", 1.0);
    line("130:1,10.000000!", 2.0);
    EXPECT_FALSE(model.homed_at(1, 2.0));
}

TEST_F(Model, JogRunsUntilStoppedOrAtTheSoftLimit) {
    line("150:0,10.0,1!", 0.0);
    at(1.0);
    EXPECT_TRUE(model.moving_at(0, 1.0));
    line("140:0,0!", 1.0);
    const double stopped = still_time(0, 1.0);
    EXPECT_NEAR(stopped, 1.2, 0.002);
    const double where = model.position_at(0, 5.0);
    EXPECT_NEAR(where, 10.0 * 0.2 / 2.0 + 10.0 * 0.8 + 10.0 * 0.2 / 2.0, 1e-6);  // ramp, cruise, brake

    // Soft limits with a margin: right limit 5 - 0.5.
    AxisRecord r;
    r.floats[AxisRecord::right_soft_limit - 10] = 5.0f;
    r.floats[AxisRecord::left_soft_limit - 10] = -5.0f;
    r.floats[AxisRecord::soft_limit_margin - 10] = 0.5f;
    model.set_record(1, r);
    line("150:1,10.0,1!", 10.0);
    at(20.0);
    EXPECT_EQ(model.position_at(1, 20.0), 4.5);
    line("160:1,10.0,-100.000000!", 20.0);
    at(40.0);
    EXPECT_EQ(model.position_at(1, 40.0), -4.5);
    // Mode other than 0 stops at once.
    line("150:1,10.0,1!", 40.0);
    at(40.5);
    const double moving_at = model.position_at(1, 40.5);
    line("140:1,1!", 40.5);
    EXPECT_FALSE(model.moving_at(1, 40.5));
    EXPECT_EQ(model.position_at(1, 41.0), moving_at);
}

TEST_F(Model, ZeroSetsThePositionToZero) {
    model.set_position(4, 7.5, 0.0);
    line("170:4!", 0.0);
    EXPECT_EQ(model.position_at(4, 0.0), 0.0);
}

TEST(SimModelType1, AxesThreeToFiveIgnoreMotion) {
    ControllerModel model{1, "v", {}};
    std::vector<std::string> commands;
    std::vector<Reply> replies;
    model.handle_line("160:3,50.0,5.000000!130:4,5.000000!150:5,5.0,1!", 0.0, commands, replies);
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(commands.size(), 3u);
    for (int a = 3; a < 6; ++a) EXPECT_FALSE(model.moving_at(a, 0.0));
    EXPECT_EQ(fields_of(model.status_line())[14], "1");
    EXPECT_EQ(model.axis_count(), 3);
}

TEST_F(Model, LevelsAndFlySetUpComeBackInTheLevelsReply) {
    line("180:0123456789ABCDEF0000000G!490:2,5,20!", 0.0);
    EXPECT_EQ(model.output_level(0), 1);
    EXPECT_EQ(model.output_level(15), 16);
    EXPECT_EQ(model.output_level(23), 1);  // "G" is no level: unchanged
    line("190:190", 0.0);
    EXPECT_EQ(take_reply().substr(0, 35), "190:0123456789ABCDEF00000000,2,5,20");
}

TEST_F(Model, FlyCapturesCountPositionsAtTheInterval) {
    model.set_position(0, 2.0, 0.0);
    line("490:0,5,10!500:0,0!", 0.0);
    at(0.035);
    EXPECT_TRUE(replies.empty());
    at(0.045);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(take_reply(), "520:0,2000,2000,2000,2000,2000");
    EXPECT_EQ(model.fly().report().size(), 5u);
}

TEST_F(Model, FlyWaitingForMotionSamplesTheMoveInEncoderCounts) {
    AxisRecord r;
    r.ints[AxisRecord::use_encoder] = 1;
    r.floats[AxisRecord::encoder_scale - 10] = 0.002f;
    model.set_record(1, r);
    line("490:1,4,100!500:1,1!", 0.0);
    at(1.0);
    EXPECT_TRUE(replies.empty());
    line("160:1,10.0,10.000000!", 1.0);  // 1.2 s long
    at(1.25);
    EXPECT_TRUE(replies.empty());
    at(1.35);
    const auto values = fields_of(take_reply());
    ASSERT_EQ(values.size(), 5u);
    EXPECT_EQ(values[0], "1");
    EXPECT_EQ(values[1], "0");
    // Positions at 0.1, 0.2 and 0.3 s into the move, as encoder counts.
    EXPECT_EQ(values[2], std::to_string(protocol::to_count(0.5 * 50.0 * 0.01 / 0.002)));
    EXPECT_EQ(values[3], std::to_string(protocol::to_count(1.0 / 0.002)));
    EXPECT_EQ(values[4], std::to_string(protocol::to_count(2.0 / 0.002)));
}

TEST_F(Model, OnlyWhileMovingSkipsSamplesOfAStandingAxis) {
    line("490:0,3,100!500:0,1!", 0.0);
    at(1.0);
    EXPECT_TRUE(replies.empty());
    line("160:0,10.0,5.000000!", 1.05);
    at(1.4);
    EXPECT_EQ(fields_of(take_reply()).size(), 4u);
}

TEST_F(Model, TrimEndsTheRunAndReportsTheFirstPositions) {
    model.set_position(3, 1.0, 0.0);
    line("490:3,1000,10!500:0,0!", 0.0);
    line("510:2!", 0.055);  // six samples so far
    EXPECT_EQ(take_reply(), "520:3,1000,1000");
    at(1.0);
    EXPECT_TRUE(replies.empty());
    // Without a run going on, trim cuts the last report again.
    line("510:1!", 1.0);
    EXPECT_EQ(take_reply(), "520:3,1000");
    // Nothing set up: start does nothing.
    line("490:0,0,10!500:0,0!", 2.0);
    at(3.0);
    EXPECT_TRUE(replies.empty());
}

TEST_F(Model, RawTextIsEchoedOnceALine) {
    line("hello, world:1", 0.0);
    EXPECT_EQ(take_reply(), "5010:echo hello, world;1");
    line("300:1,2!170:0!", 0.0);
    EXPECT_EQ(take_reply(), "5010:echo 300;1,2!170;0!");
    EXPECT_TRUE(replies.empty());
    line("abc\r", 0.0);
    EXPECT_EQ(take_reply(), "5010:echo abc");
    line("6000:7!200:1,x!210:2!2000:free text!", 0.0);
    EXPECT_TRUE(replies.empty());
    line("160:0,abc!", 0.0);
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies.front().raw_answer);
}

TEST_F(Model, OutputFrameNeedsAllTwentyFourValues) {
    line("!110:1,2,3", 0.0);
    EXPECT_EQ(model.output_value(0), 0);
    EXPECT_EQ(take_reply().substr(0, 10), "5010:echo ");
}

}  // namespace
}  // namespace orvane::sim
