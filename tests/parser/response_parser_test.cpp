#include "state/response_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/mirror_dump.h"
#include "support/status_line.h"

namespace orvane {
namespace {

using test::mirror_dump;
using test::reply_line;
using test::Values;
using Floats = std::vector<float>;
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

// A status reply of n values, "0" but for those given by index.
Values status_values(std::initializer_list<std::pair<std::size_t, std::string>> set, std::size_t n = 18) {
    Values v = test::status_values(n);
    for (const auto& [i, text] : set) v[i] = text;
    return v;
}
std::string status(std::initializer_list<std::pair<std::size_t, std::string>> set, std::size_t n = 18) {
    return reply_line("100", status_values(set, n));
}

// A parameters reply: value k of axis a is 100 a + k (".5" on the floats).
Values params_values() {
    Values v;
    for (int a = 0; a < axis_total; ++a) {
        for (int k = 0; k < field::count; ++k)
            v.push_back(std::to_string(100 * a + k) + (k < field::int_count ? "" : ".5"));
    }
    return v;
}

double field_value(const AxisParams& p, int k) {
    return k < field::int_count ? p.int_field(k) : static_cast<double>(p.float_field(k));
}

class ReplyParser : public ::testing::Test {
protected:
    void skip_hold_off() { mirror.status_count.set(21); }  // state bits are taken at once
    Conversion feed(const std::string& chunk) { return apply_chunk(mirror, chunk); }
    void expect_unchanged(const std::string& chunk) {
        const std::string before = mirror_dump(mirror);
        EXPECT_EQ(feed(chunk), Conversion::ok);
        EXPECT_EQ(mirror_dump(mirror), before);
    }
    void expect_positions(const Floats& expected) {
        for (std::size_t a = 0; a < expected.size(); ++a) EXPECT_EQ(mirror.axis_pos[a].get(), expected[a]) << a;
    }

    ControllerMirror mirror{"127.0.0.254"};
};

TEST_F(ReplyParser, LinesThatChangeNothing) {
    mirror.status_count.set(5);
    ASSERT_EQ(feed("520:0,5000"), Conversion::ok);  // a fly list for the lines that must keep it
    const std::string good = status({{0, "777"}}).substr(4);
    Values params = params_values();
    params.pop_back();
    const std::string ones = "190:" + std::string(24, '1');
    // Bad codes, empty payloads, a NUL, short lines, wrong value counts, a fly reply for no such axis.
    const std::vector<std::string> chunks = {
        "", "\n\n", "10", "1:", "100", "100" + good, "100:" + good + ":1", "100::" + good, ":" + good,
        " 100:" + good, "100 :" + good, "0100:" + good, "101:" + good, "100:", "5010:\n2001:\n", "2001:v1:2",
        std::string("100\0:", 5) + good, "a\nb:\n:c\n12\n", status({{0, "1000"}, {12, "255"}}, 17),
        reply_line("125", params), reply_line("125", params_values()) + ",", ones + ",1,2,3", ones + ",1,2,3,io,",
        "520:2", "520:6,100", "520:-1,100", "520:99999999999,100"};
    for (const auto& chunk : chunks) {
        SCOPED_TRACE("chunk '" + chunk + "'");
        expect_unchanged(chunk);
    }
}

TEST_F(ReplyParser, WorkedStatusExample) {
    skip_hold_off();
    for (auto& bit : mirror.axis_state_bits) bit.set(true);
    for (auto& bit : mirror.input_bits) bit.set(true);
    mirror.axis_count.set(3);
    ASSERT_EQ(feed(status({{0, "12345"}, {12, "5"}, {14, "2"}, {15, "1"}})), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 12345);
    EXPECT_EQ(mirror.axis_pos[0].get(), 12.345f);
    for (std::size_t k = 0; k < state_bit_total; ++k) EXPECT_EQ(mirror.axis_state_bits[k].get(), k == 0 || k == 2) << k;
    EXPECT_EQ(mirror.type_code.get(), 2);
    EXPECT_EQ(mirror.axis_count.get(), 6);
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(mirror.input_bits[i].get(), i == 0) << "input " << i + 1;
    EXPECT_EQ(mirror.status_count.get(), 21);
}

TEST_F(ReplyParser, StateBitsWaitOutTheHoldOff) {
    // All move and home bits of axes 0..3, then of axes 4 and 5.
    Values v = status_values({{12, "255"}, {13, "15"}, {15, "128"}});
    for (int reply = 1; reply <= 21; ++reply) {
        v[0] = std::to_string(reply);
        ASSERT_EQ(feed(reply_line("100", v)), Conversion::ok);
        EXPECT_EQ(mirror.status_count.get(), reply);
        EXPECT_EQ(mirror.status_raw[0].get(), reply);  // counts and inputs are taken meanwhile
        EXPECT_TRUE(mirror.input_bits[7].get());
        for (const auto& bit : mirror.axis_state_bits) ASSERT_FALSE(bit.get());
    }
    ASSERT_EQ(feed(reply_line("100", v)), Conversion::ok);
    for (const auto& bit : mirror.axis_state_bits) EXPECT_TRUE(bit.get());
    EXPECT_EQ(mirror.status_count.get(), 21);
    // Bits above those listed are ignored; state word 2 only reaches 8..11.
    ASSERT_EQ(feed(status({{12, "256"}, {13, "-16"}})), Conversion::ok);
    for (const auto& bit : mirror.axis_state_bits) EXPECT_FALSE(bit.get());
}

TEST_F(ReplyParser, HoldOffKeepsBitsTheCallerCleared) {
    mirror.status_count.set(1);  // as a move sets it
    mirror.axis_state_bits[1].set(true);
    for (int reply = 0; reply < 20; ++reply) ASSERT_EQ(feed(status({})), Conversion::ok);
    EXPECT_TRUE(mirror.axis_state_bits[1].get());
    ASSERT_EQ(feed(status({})), Conversion::ok);
    EXPECT_FALSE(mirror.axis_state_bits[1].get());
}

// A failing value keeps what came before it and loses the rest of the chunk.
TEST_F(ReplyParser, AFailingValueKeepsWhatCameBefore) {
    mirror.status_count.set(3);  // and a failed state word does not count towards the hold-off
    EXPECT_EQ(feed(status({{0, "55"}, {12, "busy"}, {14, "1"}}) + "\n2001:v2"), Conversion::invalid_argument);
    EXPECT_EQ(mirror.status_count.get(), 3);
    EXPECT_EQ(mirror.status_raw[0].get(), 55);
    EXPECT_EQ(mirror.axis_pos[0].get(), pulse_count_to_position(55, 10.0f, 10000));
    EXPECT_EQ(mirror.type_code.get(), 0);
    EXPECT_EQ(mirror.version_text.get(), "");
    EXPECT_EQ(feed("2001:v2"), Conversion::ok);  // the next chunk is parsed as usual
    EXPECT_EQ(mirror.version_text.get(), "v2");

    skip_hold_off();
    mirror.axis_state_bits[8].set(true);
    EXPECT_EQ(feed(status({{12, "3"}, {13, ""}, {14, "1"}})), Conversion::invalid_argument);
    EXPECT_TRUE(mirror.axis_state_bits[0].get() && mirror.axis_state_bits[1].get());
    EXPECT_TRUE(mirror.axis_state_bits[8].get());  // word 2 not applied
    EXPECT_EQ(mirror.type_code.get(), 0);
    EXPECT_EQ(mirror.axis_count.get(), 6);

    EXPECT_EQ(feed(status({{14, "3"}, {15, "1"}, {16, "2147483648"}, {17, "1"}})), Conversion::out_of_range);
    EXPECT_EQ(mirror.type_code.get(), 3);
    EXPECT_TRUE(mirror.input_bits[0].get());
    EXPECT_FALSE(mirror.input_bits[16].get());
    // The type is read strictly, and stops before it is stored.
    EXPECT_EQ(feed(status({{14, "2147483648"}, {15, "2"}})), Conversion::out_of_range);
    EXPECT_EQ(mirror.type_code.get(), 3);
    EXPECT_FALSE(mirror.input_bits[1].get());
}

TEST_F(ReplyParser, TypeCodeSetsAxisCount) {
    const std::pair<const char*, std::int32_t> steps[] = {{"1", 3}, {"4", 3}, {"0", 3}, {"2", 6},
                                                          {"1", 3}, {"3", 6}, {"-1", 6}};
    for (const auto& [type, axes] : steps) {
        ASSERT_EQ(feed(status({{14, type}})), Conversion::ok);
        EXPECT_EQ(mirror.type_code.get(), std::stoi(type));
        EXPECT_EQ(mirror.axis_count.get(), axes) << "type " << type;
    }
}

TEST_F(ReplyParser, CountsAreLenientAndSaturate) {
    ASSERT_EQ(feed(status({{0, "99999999999"}, {1, "-99999999999"}, {2, "abc"}, {3, " -42xyz"}, {6, ""}, {11, "+7"}})),
              Conversion::ok);
    const std::pair<std::size_t, std::int32_t> expected[] = {
        {0, int_max}, {1, std::numeric_limits<std::int32_t>::min()}, {2, 0}, {3, -42}, {6, 0}, {11, 7}};
    for (const auto& [i, value] : expected) EXPECT_EQ(mirror.status_raw[i].get(), value) << i;
    EXPECT_EQ(mirror.axis_pos[0].get(), pulse_count_to_position(int_max, 10.0f, 10000));
}

// Pulse (0..5) or encoder counts (6..11) by each axis's parameters, divided in double (5 pulses are not 0x1.47ae16p-8).
TEST_F(ReplyParser, PositionsFollowEachAxisConversionExactly) {
    mirror.axis_params[1].set_int_field(field::use_encoder, 1);
    mirror.axis_params[2].set_int_field(field::pulses_per_rev, 4000);
    mirror.axis_params[2].set_float_field(field::travel_per_rev, 5.0f);
    mirror.axis_params[3].set_int_field(field::use_encoder, 1);
    mirror.axis_params[3].set_float_field(field::encoder_scale, 0.5f);
    ASSERT_EQ(
        feed(status(
            {{0, "12345"}, {1, "999"}, {7, "1000"}, {2, "4000"}, {3, "7"}, {9, "-3"}, {4, "5"}, {5, "-1"}, {14, "1"}})),
        Conversion::ok);
    EXPECT_EQ(mirror.axis_count.get(), 3);
    expect_positions({12.345f, 1.0f, 5.0f, -1.5f, 0.005f, -0.001f});
    ASSERT_EQ(feed(status({{0, "10000"}, {5, "2000"}})), Conversion::ok);
    expect_positions({10.0f, 0.0f, 0.0f, 0.0f, 0.0f, 2.0f});
}

TEST_F(ReplyParser, FlyPositions) {
    mirror.axis_params[3].set_int_field(field::use_encoder, 1);
    mirror.axis_params[4].set_int_field(field::use_encoder, 1);
    mirror.axis_params[4].set_float_field(field::encoder_scale, 0.25f);
    // Axis 3 an encoder axis, 4 one with its own scale; a lenient axis "x" is 0.
    const std::pair<const char*, Floats> steps[] = {
        {"520:1,1000,-2000,abc,99999999999", {1.0f, -2.0f, 0.0f, pulse_count_to_position(int_max, 10.0f, 10000)}},
        {"520:3,1000,-1", {1.0f, -0.001f}}, {"520:0,12345,5", {12.345f, 0.005f}}, {"520:4,8,-4", {2.0f, -1.0f}},
        {"520:0,", {0.0f}}, {"520:x,3000,,", {3.0f, 0.0f, 0.0f}}};
    for (const auto& [line, positions] : steps) {
        ASSERT_EQ(feed(line), Conversion::ok);
        EXPECT_EQ(mirror.fly_positions.snapshot(), positions) << line;
    }
}

// Values 18..41 seed the outputs, from the first such status only; what follows them is ignored.
TEST_F(ReplyParser, TheFirstLongStatusSeedsOutputsOnce) {
    mirror.output_value[0].set(7);  // the caller's values stay
    mirror.output_value[5].set(-2);
    mirror.output_sent[3].set(9);  // seeding leaves every sent value 0
    Values v = status_values({{0, "5"}}, 41);
    for (std::size_t i = 18; i < 41; ++i) v[i] = "1";
    ASSERT_EQ(feed(reply_line("100", v)), Conversion::ok);  // one value short
    EXPECT_EQ(mirror.status_raw[0].get(), 5);
    EXPECT_FALSE(mirror.outputs_synced.load());
    for (std::size_t i = 0; i < io_total; ++i) {
        EXPECT_EQ(mirror.output_value[i].get(), i == 0 ? 7 : i == 5 ? -2 : 0) << i;
        EXPECT_EQ(mirror.output_sent[i].get(), i == 3 ? 9 : 0) << i;
    }

    v = status_values({{42, "junk"}, {49, "1"}}, 50);
    for (std::size_t i = 0; i < io_total; ++i) v[18 + i] = std::to_string(i + 1);
    v[28] = "99999999999";  // lenient: saturates
    v[29] = "x";            // lenient: 0
    ASSERT_EQ(feed(reply_line("100", v)), Conversion::ok);
    EXPECT_TRUE(mirror.outputs_synced.load());
    for (std::size_t i = 0; i < io_total; ++i) {
        const std::int32_t seeded = i == 10 ? int_max : i == 11 ? 0 : static_cast<std::int32_t>(i + 1);
        EXPECT_EQ(mirror.output_value[i].get(), i == 0 ? 7 : i == 5 ? -2 : seeded) << "output " << i + 1;
        EXPECT_EQ(mirror.output_sent[i].get(), 0) << "output " << i + 1;
    }
    mirror.output_value[1].set(0);
    for (std::size_t i = 0; i < io_total; ++i) v[18 + i] = "5";
    ASSERT_EQ(feed(reply_line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.output_value[1].get(), 0);
    EXPECT_EQ(mirror.output_sent[1].get(), 0);
}

// All six records are replaced; a failing value keeps those before it and loses the rest of the chunk.
TEST_F(ReplyParser, ParametersReplaceAllSixRecordsUpToAFailure) {
    const AxisParams defaults;
    for (const bool fail : {true, false}) {
        SCOPED_TRACE(fail ? "failing at axis 2 value 12" : "whole");
        Values v = params_values();
        if (fail) v[21 * 2 + 12] = "x";
        const std::string chunk = reply_line("125", v) + "\n" + status({{0, "10"}, {14, "2"}}) + "\n2001:v3";
        EXPECT_EQ(feed(chunk), fail ? Conversion::invalid_argument : Conversion::ok);
        for (int a = 0; a < axis_total; ++a) {
            const AxisParams p = mirror.axis_params[static_cast<std::size_t>(a)].snapshot();
            for (int k = 0; k < field::count; ++k) {
                const bool replaced = !fail || a < 2 || (a == 2 && k < 12);
                const double sent = 100 * a + k + (k < field::int_count ? 0.0 : 0.5);
                EXPECT_EQ(field_value(p, k), replaced ? sent : field_value(defaults, k)) << a << "/" << k;
            }
        }
        EXPECT_EQ(mirror.status_raw[0].get(), fail ? 0 : 10);
        EXPECT_EQ(mirror.version_text.get(), fail ? "" : "v3");
    }
}

TEST_F(ReplyParser, LevelDigits) {
    for (auto& level : mirror.output_level) level.set(7);
    ASSERT_EQ(feed("190:" + std::string(22, '0') + "F1,4,5,6,io"), Conversion::ok);
    for (std::size_t i = 0; i < 22; ++i) EXPECT_EQ(mirror.output_level[i].get(), 1);
    EXPECT_EQ(mirror.output_level[22].get(), 16);
    EXPECT_EQ(mirror.output_level[23].get(), 2);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(mirror.fly_counters[i].get(), static_cast<std::int32_t>(4 + i));
    EXPECT_EQ(mirror.io_text.get(), "io");
    for (const char bad : {'f', 'G', '/', 'z'}) {
        mirror.output_level[22].set(3);
        ASSERT_EQ(feed("190:" + std::string(22, '9') + bad + "A,0,0,0,"), Conversion::ok);
        EXPECT_EQ(mirror.output_level[21].get(), 10);
        EXPECT_EQ(mirror.output_level[22].get(), 3) << "digit " << bad;
        EXPECT_EQ(mirror.output_level[23].get(), 11);
        EXPECT_EQ(mirror.io_text.get(), "");
    }
}

TEST_F(ReplyParser, LevelCodeOfAnotherLengthStillSetsFlyAndIo) {
    for (auto& level : mirror.output_level) level.set(9);
    ASSERT_EQ(feed("190:" + std::string(23, '0') + ",-1,abc,99999999999,text with blanks"), Conversion::ok);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(mirror.fly_counters[i].get(), (std::array{-1, 0, int_max})[i]);
    EXPECT_EQ(mirror.io_text.get(), "text with blanks");
    ASSERT_EQ(feed("190:" + std::string(25, '0') + ",1,2,3,x"), Conversion::ok);
    for (const auto& level : mirror.output_level) EXPECT_EQ(level.get(), 9);
    EXPECT_EQ(mirror.fly_counters[2].get(), 3);
}

TEST_F(ReplyParser, TextRepliesAndCarriageReturnsInTheLastValue) {
    ASSERT_EQ(feed("5010:ok, done\n2001:V1.2,build 7"), Conversion::ok);
    EXPECT_EQ(mirror.reply_5010.get(), "ok, done");
    EXPECT_EQ(mirror.version_text.get(), "V1.2,build 7");
    ASSERT_EQ(feed("5010:x"), Conversion::ok);  // a chunk of 6 bytes
    EXPECT_EQ(mirror.reply_5010.get(), "x");

    skip_hold_off();
    const std::string chunk = status({{0, "2000"}, {12, "1"}, {17, "4"}}) +
                              "\r\n2001:V9\r\n5010:r\r\n190:" + std::string(24, '1') + ",1,2,3\r,io\r\n520:0,1000\r\n";
    ASSERT_EQ(feed(chunk), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 2000);
    EXPECT_TRUE(mirror.axis_state_bits[0].get());
    EXPECT_TRUE(mirror.input_bits[18].get());
    EXPECT_EQ(mirror.version_text.get(), "V9\r");
    EXPECT_EQ(mirror.reply_5010.get(), "r\r");
    EXPECT_EQ(mirror.io_text.get(), "io\r");
    EXPECT_EQ(mirror.fly_counters[2].get(), 3);
    EXPECT_EQ(mirror.output_level[0].get(), 2);
    EXPECT_EQ(mirror.fly_positions.snapshot(), Floats{1.0f});
}

TEST_F(ReplyParser, LinesOfOneChunkApplyInOrder) {
    ASSERT_EQ(feed(status({{0, "1"}}) + "\nnoise\n999:1\n" + status({{0, "2"}}) + "\n\n"), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 2);
    EXPECT_EQ(mirror.status_count.get(), 2);
}

TEST_F(ReplyParser, LineSplitAcrossChunksIsNotJoined) {
    skip_hold_off();
    const std::string whole = status({{0, "300"}, {17, "12"}}) + "\n";  // inputs 17..24: bits 2 and 3
    const std::size_t cut = whole.size() - 2;                           // between "1" and "2"
    ASSERT_EQ(feed(whole.substr(0, cut)), Conversion::ok);
    // The head is a reply of its own, its last value cut short to "1".
    EXPECT_EQ(mirror.status_raw[0].get(), 300);
    EXPECT_TRUE(mirror.input_bits[16].get());
    EXPECT_FALSE(mirror.input_bits[18].get());
    expect_unchanged(whole.substr(cut));

    ASSERT_EQ(feed("2001:V1."), Conversion::ok);
    expect_unchanged("23\n");
    EXPECT_EQ(mirror.version_text.get(), "V1.");
    // A head with too few values is skipped; the tail has no code.
    expect_unchanged(status({}).substr(0, 20));
    expect_unchanged(status({}).substr(20));
}

}  // namespace
}  // namespace orvane
