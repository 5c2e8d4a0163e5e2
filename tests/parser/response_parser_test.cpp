#include "state/response_parser.h"

#include "support/mirror_dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace orvane {
namespace {

using test::mirror_dump;

using Values = std::vector<std::string>;

std::string join(const Values& values) {
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) text += ',';
        text += values[i];
    }
    return text;
}

// A status reply of n values, all "0" unless set afterwards.
Values zeros(std::size_t n) { return Values(n, "0"); }

std::string line(const char* code, const Values& values) { return std::string(code) + ":" + join(values); }

class ReplyParser : public ::testing::Test {
protected:
    // Past the hold-off, so state bits are taken at once.
    void skip_hold_off() { mirror.status_count.set(21); }
    Conversion feed(const std::string& chunk) { return apply_chunk(mirror, chunk); }
    void expect_unchanged(const std::string& chunk) {
        const std::string before = mirror_dump(mirror);
        EXPECT_EQ(feed(chunk), Conversion::ok);
        EXPECT_EQ(mirror_dump(mirror), before) << "chunk: " << chunk;
    }

    ControllerMirror mirror{"127.0.0.254"};
};

TEST_F(ReplyParser, ShortChunksChangeNothing) {
    expect_unchanged("");
    expect_unchanged("\n\n");
    expect_unchanged("10");
    expect_unchanged("1:");
}

TEST_F(ReplyParser, MalformedLinesAreSkipped) {
    Values v = zeros(18);
    v[0] = "777";
    const std::string good = join(v);
    expect_unchanged("100");
    expect_unchanged("100" + good);                      // no ":"
    expect_unchanged("100:" + good + ":1");              // two ":"
    expect_unchanged("100::" + good);                    // two ":"
    expect_unchanged(":" + good);                        // empty code
    expect_unchanged("100:");                            // empty payload
    expect_unchanged("5010:\n2001:\n");                  // empty payloads
    expect_unchanged("2001:v1:2");                       // ":" inside the payload
    expect_unchanged(" 100:" + good);                    // codes are not trimmed
    expect_unchanged("100 :" + good);
    expect_unchanged("0100:" + good);
    expect_unchanged("101:" + good);                     // unknown code
    expect_unchanged("a\nb:\n:c\n12\n");                 // lines under 3 bytes and empty parts
    expect_unchanged(std::string("100\0:", 5) + good);  // a NUL is an ordinary byte
}

TEST_F(ReplyParser, StatusWithSeventeenValuesChangesNothing) {
    mirror.status_count.set(5);
    Values v = zeros(17);
    v[0] = "1000";
    v[12] = "255";
    expect_unchanged(line("100", v));
    EXPECT_EQ(mirror.status_count.get(), 5);
}

TEST_F(ReplyParser, WorkedStatusExample) {
    skip_hold_off();
    for (std::size_t k = 0; k < state_bit_total; ++k) mirror.axis_state_bits[k].set(true);
    for (std::size_t i = 0; i < io_total; ++i) mirror.input_bits[i].set(true);
    mirror.axis_count.set(3);

    const Values v = {"12345", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "5", "0", "2", "1", "0", "0"};
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);

    EXPECT_EQ(mirror.status_raw[0].get(), 12345);
    EXPECT_EQ(mirror.axis_pos[0].get(), 12.345f);
    for (std::size_t k = 0; k < state_bit_total; ++k) {
        EXPECT_EQ(mirror.axis_state_bits[k].get(), k == 0 || k == 2) << "state bit " << k;
    }
    EXPECT_EQ(mirror.type_code.get(), 2);
    EXPECT_EQ(mirror.axis_count.get(), 6);
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(mirror.input_bits[i].get(), i == 0) << "input " << i + 1;
    EXPECT_EQ(mirror.status_count.get(), 21);
    EXPECT_FALSE(mirror.outputs_synced.load());
}

TEST_F(ReplyParser, StateBitsWaitOutTheHoldOff) {
    Values v = zeros(18);
    v[12] = "255";  // all move and home bits of axes 0..3
    v[13] = "15";   // axes 4 and 5
    v[15] = "128";
    for (int reply = 1; reply <= 21; ++reply) {
        v[0] = std::to_string(reply);
        ASSERT_EQ(feed(line("100", v)), Conversion::ok);
        EXPECT_EQ(mirror.status_count.get(), reply);
        EXPECT_EQ(mirror.status_raw[0].get(), reply);  // counts and inputs are taken meanwhile
        EXPECT_TRUE(mirror.input_bits[7].get());
        for (std::size_t k = 0; k < state_bit_total; ++k) ASSERT_FALSE(mirror.axis_state_bits[k].get());
    }
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    for (std::size_t k = 0; k < state_bit_total; ++k) EXPECT_TRUE(mirror.axis_state_bits[k].get()) << k;
    EXPECT_EQ(mirror.status_count.get(), 21);

    // Bits above those listed are ignored; state word 2 only reaches 8..11.
    v[12] = "256";
    v[13] = "-16";  // bits 0..3 clear, the rest set
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    for (std::size_t k = 0; k < state_bit_total; ++k) EXPECT_FALSE(mirror.axis_state_bits[k].get()) << k;
}

TEST_F(ReplyParser, HoldOffKeepsBitsTheCallerCleared) {
    mirror.status_count.set(1);  // as a move sets it
    mirror.axis_state_bits[1].set(true);
    Values v = zeros(18);
    v[12] = "0";
    for (int reply = 0; reply < 20; ++reply) ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_TRUE(mirror.axis_state_bits[1].get());
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_FALSE(mirror.axis_state_bits[1].get());
}

TEST_F(ReplyParser, FailedStateWordDoesNotCountTowardsTheHoldOff) {
    mirror.status_count.set(3);
    Values v = zeros(18);
    v[0] = "55";
    v[12] = "busy";
    v[14] = "1";
    EXPECT_EQ(feed(line("100", v) + "\n2001:v2"), Conversion::invalid_argument);
    EXPECT_EQ(mirror.status_count.get(), 3);
    EXPECT_EQ(mirror.status_raw[0].get(), 55);  // stored before the failure
    EXPECT_EQ(mirror.axis_pos[0].get(), pulse_count_to_position(55, 10.0f, 10000));
    EXPECT_EQ(mirror.type_code.get(), 0);  // after it: not applied
    EXPECT_EQ(mirror.version_text.get(), "");  // the rest of the chunk is lost

    // The next chunk is parsed as usual.
    EXPECT_EQ(feed("2001:v2"), Conversion::ok);
    EXPECT_EQ(mirror.version_text.get(), "v2");
}

TEST_F(ReplyParser, FailedSecondStateWordKeepsTheFirst) {
    skip_hold_off();
    Values v = zeros(18);
    v[12] = "3";
    v[13] = "";
    v[14] = "1";
    mirror.axis_state_bits[8].set(true);
    EXPECT_EQ(feed(line("100", v)), Conversion::invalid_argument);
    EXPECT_TRUE(mirror.axis_state_bits[0].get());
    EXPECT_TRUE(mirror.axis_state_bits[1].get());
    EXPECT_TRUE(mirror.axis_state_bits[8].get());  // word 2 not applied
    EXPECT_EQ(mirror.type_code.get(), 0);
    EXPECT_EQ(mirror.axis_count.get(), 6);
}

TEST_F(ReplyParser, FailedInputWordKeepsEarlierInputs) {
    Values v = zeros(18);
    v[14] = "3";
    v[15] = "1";
    v[16] = "2147483648";
    v[17] = "1";
    EXPECT_EQ(feed(line("100", v)), Conversion::out_of_range);
    EXPECT_EQ(mirror.type_code.get(), 3);
    EXPECT_TRUE(mirror.input_bits[0].get());
    EXPECT_FALSE(mirror.input_bits[16].get());
}

TEST_F(ReplyParser, StrictTypeOutOfRangeStopsBeforeStoringIt) {
    mirror.type_code.set(2);
    Values v = zeros(18);
    v[14] = "2147483648";
    v[15] = "1";
    EXPECT_EQ(feed(line("100", v)), Conversion::out_of_range);
    EXPECT_EQ(mirror.type_code.get(), 2);
    EXPECT_FALSE(mirror.input_bits[0].get());
}

TEST_F(ReplyParser, TypeCodeSetsAxisCount) {
    Values v = zeros(18);
    const struct {
        const char* type;
        std::int32_t axes;
    } steps[] = {{"1", 3}, {"4", 3}, {"0", 3}, {"2", 6}, {"1", 3}, {"3", 6}, {"-1", 6}};
    for (const auto& step : steps) {
        v[14] = step.type;
        ASSERT_EQ(feed(line("100", v)), Conversion::ok);
        EXPECT_EQ(mirror.type_code.get(), std::stoi(step.type));
        EXPECT_EQ(mirror.axis_count.get(), step.axes) << "type " << step.type;
    }
}

TEST_F(ReplyParser, CountsAreLenientAndSaturate) {
    Values v = zeros(18);
    v[0] = "99999999999";
    v[1] = "-99999999999";
    v[2] = "abc";
    v[3] = " -42xyz";
    v[6] = "";
    v[11] = "+7";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(mirror.status_raw[1].get(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(mirror.status_raw[2].get(), 0);
    EXPECT_EQ(mirror.status_raw[3].get(), -42);
    EXPECT_EQ(mirror.status_raw[6].get(), 0);
    EXPECT_EQ(mirror.status_raw[11].get(), 7);
    EXPECT_EQ(mirror.axis_pos[0].get(), pulse_count_to_position(2147483647, 10.0f, 10000));
}

TEST_F(ReplyParser, PositionsFollowEachAxisConversion) {
    mirror.axis_params[1].set_int_field(field::use_encoder, 1);
    mirror.axis_params[2].set_int_field(field::pulses_per_rev, 4000);
    mirror.axis_params[2].set_float_field(field::travel_per_rev, 5.0f);
    mirror.axis_params[3].set_int_field(field::use_encoder, 1);
    mirror.axis_params[3].set_float_field(field::encoder_scale, 0.5f);
    Values v = zeros(18);
    v[0] = "10000";
    v[1] = "999";   // pulse count of an encoder axis: not used
    v[7] = "1000";  // encoder count of axis 1
    v[2] = "4000";
    v[3] = "7";
    v[9] = "-3";
    v[5] = "-1";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.axis_pos[0].get(), 10.0f);
    EXPECT_EQ(mirror.axis_pos[1].get(), 1.0f);
    EXPECT_EQ(mirror.axis_pos[2].get(), 5.0f);
    EXPECT_EQ(mirror.axis_pos[3].get(), -1.5f);
    EXPECT_EQ(mirror.axis_pos[5].get(), -0.001f);
}

TEST_F(ReplyParser, PositionsUseAllSixAxesWhateverTheAxisCount) {
    mirror.axis_count.set(3);
    Values v = zeros(18);
    v[5] = "2000";
    v[14] = "1";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.axis_pos[5].get(), 2.0f);
}

TEST_F(ReplyParser, CountConversionsAreExact) {
    mirror.axis_params[3].set_int_field(field::use_encoder, 1);
    Values v = zeros(18);
    v[0] = "12345";
    v[1] = "10000";
    v[2] = "5";  // divided in double then rounded once: single precision would give 0x1.47ae16p-8
    v[9] = "1000";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.axis_pos[0].get(), 12.345f);
    EXPECT_EQ(mirror.axis_pos[1].get(), 10.0f);
    EXPECT_EQ(mirror.axis_pos[2].get(), 0.005f);
    EXPECT_EQ(mirror.axis_pos[3].get(), 1.0f);

    ASSERT_EQ(feed("520:3,1000,-1"), Conversion::ok);
    EXPECT_EQ(mirror.fly_positions.snapshot(), (std::vector<float>{1.0f, -0.001f}));
    ASSERT_EQ(feed("520:2,12345,5"), Conversion::ok);
    EXPECT_EQ(mirror.fly_positions.snapshot(), (std::vector<float>{12.345f, 0.005f}));
}

TEST_F(ReplyParser, ShortStatusDoesNotSeedOutputs) {
    Values v = zeros(30);
    for (std::size_t i = 18; i < 30; ++i) v[i] = "1";
    v[0] = "5";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 5);
    EXPECT_FALSE(mirror.outputs_synced.load());
    for (std::size_t i = 0; i < io_total; ++i) {
        EXPECT_EQ(mirror.output_value[i].get(), 0);
        EXPECT_EQ(mirror.output_sent[i].get(), 0);
    }
}

TEST_F(ReplyParser, LongStatusSeedsOutputsOnce) {
    mirror.output_value[0].set(7);  // the caller's values stay
    mirror.output_value[5].set(-2);
    mirror.output_sent[3].set(9);   // seeding leaves every sent value 0
    Values v = zeros(42);
    for (std::size_t i = 0; i < io_total; ++i) v[18 + i] = std::to_string(i + 1);
    v[18 + 10] = "99999999999";  // lenient: saturates
    v[18 + 11] = "x";            // lenient: 0
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_TRUE(mirror.outputs_synced.load());
    for (std::size_t i = 0; i < io_total; ++i) {
        std::int32_t expected = static_cast<std::int32_t>(i + 1);
        if (i == 0) expected = 7;
        if (i == 5) expected = -2;
        if (i == 10) expected = std::numeric_limits<std::int32_t>::max();
        if (i == 11) expected = 0;
        EXPECT_EQ(mirror.output_value[i].get(), expected) << "output " << i + 1;
        EXPECT_EQ(mirror.output_sent[i].get(), 0) << "output " << i + 1;
    }

    // Once only: a later long status changes no output.
    mirror.output_value[1].set(0);
    for (std::size_t i = 0; i < io_total; ++i) v[18 + i] = "5";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_EQ(mirror.output_value[1].get(), 0);
    EXPECT_EQ(mirror.output_sent[1].get(), 0);
}

TEST_F(ReplyParser, ValuesPastFortyTwoAreIgnored) {
    Values v = zeros(50);
    v[18] = "4";
    v[42] = "junk";
    v[49] = "1";
    ASSERT_EQ(feed(line("100", v)), Conversion::ok);
    EXPECT_TRUE(mirror.outputs_synced.load());
    EXPECT_EQ(mirror.output_value[0].get(), 4);
}

Values params_values() {
    Values v;
    for (int a = 0; a < axis_total; ++a) {
        for (int k = 0; k < field::count; ++k) {
            const int n = 100 * a + k;
            v.push_back(k < field::int_count ? std::to_string(n) : std::to_string(n) + ".5");
        }
    }
    return v;
}

TEST_F(ReplyParser, ParametersReplaceAllSixRecords) {
    ASSERT_EQ(feed(line("125", params_values())), Conversion::ok);
    for (int a = 0; a < axis_total; ++a) {
        const AxisParams p = mirror.axis_params[static_cast<std::size_t>(a)].snapshot();
        for (int k = 0; k < field::int_count; ++k) EXPECT_EQ(p.int_field(k), 100 * a + k);
        for (int k = field::int_count; k < field::count; ++k)
            EXPECT_EQ(p.float_field(k), static_cast<float>(100 * a + k) + 0.5f);
    }
}

TEST_F(ReplyParser, ParametersWithAnotherCountAreIgnored) {
    expect_unchanged(line("125", params_values()) + ",");  // 127 values
    Values v = params_values();
    v.pop_back();
    expect_unchanged(line("125", v));  // 125 values
    v.push_back("1.0");
    v.push_back("1.0");
    expect_unchanged(line("125", v));
}

TEST_F(ReplyParser, ParameterFailureKeepsWhatCameBefore) {
    const AxisParams defaults;
    Values v = params_values();
    v[21 * 2 + 12] = "x";
    const Values status = {"10", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "2", "0", "0", "0"};
    EXPECT_EQ(feed(line("125", v) + "\n" + line("100", status) + "\n2001:v3"), Conversion::invalid_argument);
    for (int a = 0; a < axis_total; ++a) {
        const AxisParams p = mirror.axis_params[static_cast<std::size_t>(a)].snapshot();
        for (int k = 0; k < field::count; ++k) {
            const bool replaced = a < 2 || (a == 2 && k < 12);
            if (k < field::int_count) {
                EXPECT_EQ(p.int_field(k), replaced ? 100 * a + k : defaults.int_field(k)) << a << "/" << k;
            } else {
                EXPECT_EQ(p.float_field(k), replaced ? static_cast<float>(100 * a + k) + 0.5f : defaults.float_field(k))
                    << a << "/" << k;
            }
        }
    }
    EXPECT_EQ(mirror.status_raw[0].get(), 0);
    EXPECT_EQ(mirror.version_text.get(), "");
}

TEST_F(ReplyParser, LevelDigits) {
    for (std::size_t i = 0; i < io_total; ++i) mirror.output_level[i].set(7);
    ASSERT_EQ(feed("190:" + std::string(22, '0') + "F1,4,5,6,io"), Conversion::ok);
    for (std::size_t i = 0; i < 22; ++i) EXPECT_EQ(mirror.output_level[i].get(), 1);
    EXPECT_EQ(mirror.output_level[22].get(), 16);
    EXPECT_EQ(mirror.output_level[23].get(), 2);
    EXPECT_EQ(mirror.fly_counters[0].get(), 4);
    EXPECT_EQ(mirror.fly_counters[1].get(), 5);
    EXPECT_EQ(mirror.fly_counters[2].get(), 6);
    EXPECT_EQ(mirror.io_text.get(), "io");

    for (const char bad : {'f', 'G', '/', 'z'}) {
        mirror.output_level[22].set(3);
        std::string code = std::string(22, '9') + bad + "A";
        ASSERT_EQ(feed("190:" + code + ",0,0,0,"), Conversion::ok);
        EXPECT_EQ(mirror.output_level[21].get(), 10);
        EXPECT_EQ(mirror.output_level[22].get(), 3) << "digit " << bad;
        EXPECT_EQ(mirror.output_level[23].get(), 11);
        EXPECT_EQ(mirror.io_text.get(), "");
    }
}

TEST_F(ReplyParser, LevelCodeOfAnotherLengthStillSetsFlyAndIo) {
    for (std::size_t i = 0; i < io_total; ++i) mirror.output_level[i].set(9);
    ASSERT_EQ(feed("190:" + std::string(23, '0') + ",-1,abc,99999999999,text with blanks"), Conversion::ok);
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(mirror.output_level[i].get(), 9);
    EXPECT_EQ(mirror.fly_counters[0].get(), -1);
    EXPECT_EQ(mirror.fly_counters[1].get(), 0);
    EXPECT_EQ(mirror.fly_counters[2].get(), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(mirror.io_text.get(), "text with blanks");

    ASSERT_EQ(feed("190:" + std::string(25, '0') + ",1,2,3,x"), Conversion::ok);
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(mirror.output_level[i].get(), 9);
    EXPECT_EQ(mirror.fly_counters[2].get(), 3);
}

TEST_F(ReplyParser, OutputReplyNeedsExactlyFiveValues) {
    expect_unchanged("190:" + std::string(24, '1') + ",1,2,3");
    expect_unchanged("190:" + std::string(24, '1') + ",1,2,3,io,");
}

TEST_F(ReplyParser, FlyPositions) {
    ASSERT_EQ(feed("520:1,1000,-2000,abc,99999999999"), Conversion::ok);
    EXPECT_EQ(mirror.fly_positions.snapshot(),
              (std::vector<float>{1.0f, -2.0f, 0.0f, pulse_count_to_position(2147483647, 10.0f, 10000)}));

    mirror.axis_params[4].set_int_field(field::use_encoder, 1);
    mirror.axis_params[4].set_float_field(field::encoder_scale, 0.25f);
    ASSERT_EQ(feed("520:4,8,-4"), Conversion::ok);
    EXPECT_EQ(mirror.fly_positions.snapshot(), (std::vector<float>{2.0f, -1.0f}));
}

TEST_F(ReplyParser, FlyPositionEdgeCases) {
    ASSERT_EQ(feed("520:0,5000"), Conversion::ok);
    expect_unchanged("520:2");   // one value: the list keeps its content
    expect_unchanged("520:6,100");  // no such axis: dropped before the list is touched
    expect_unchanged("520:-1,100");
    expect_unchanged("520:99999999999,100");
    EXPECT_EQ(mirror.fly_positions.snapshot(), std::vector<float>{5.0f});

    ASSERT_EQ(feed("520:0,"), Conversion::ok);
    EXPECT_EQ(mirror.fly_positions.snapshot(), std::vector<float>{0.0f});

    ASSERT_EQ(feed("520:x,3000,,"), Conversion::ok);  // lenient axis: 0
    EXPECT_EQ(mirror.fly_positions.snapshot(), (std::vector<float>{3.0f, 0.0f, 0.0f}));
}

TEST_F(ReplyParser, TextReplies) {
    ASSERT_EQ(feed("5010:ok, done\n2001:V1.2,build 7"), Conversion::ok);
    EXPECT_EQ(mirror.reply_5010.get(), "ok, done");
    EXPECT_EQ(mirror.version_text.get(), "V1.2,build 7");
    ASSERT_EQ(feed("5010:x"), Conversion::ok);  // a chunk of 6 bytes
    EXPECT_EQ(mirror.reply_5010.get(), "x");
}

TEST_F(ReplyParser, CarriageReturnsStayInTheLastValue) {
    skip_hold_off();
    Values v = zeros(18);
    v[0] = "2000";
    v[12] = "1";
    v[17] = "4";
    const std::string chunk = line("100", v) + "\r\n2001:V9\r\n5010:r\r\n190:" + std::string(24, '1') +
                              ",1,2,3\r,io\r\n520:0,1000\r\n";
    ASSERT_EQ(feed(chunk), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 2000);
    EXPECT_TRUE(mirror.axis_state_bits[0].get());
    EXPECT_TRUE(mirror.input_bits[18].get());
    EXPECT_EQ(mirror.version_text.get(), "V9\r");
    EXPECT_EQ(mirror.reply_5010.get(), "r\r");
    EXPECT_EQ(mirror.io_text.get(), "io\r");
    EXPECT_EQ(mirror.fly_counters[2].get(), 3);
    EXPECT_EQ(mirror.output_level[0].get(), 2);
    EXPECT_EQ(mirror.fly_positions.snapshot(), std::vector<float>{1.0f});
}

TEST_F(ReplyParser, LinesOfOneChunkApplyInOrder) {
    Values a = zeros(18);
    Values b = zeros(18);
    a[0] = "1";
    b[0] = "2";
    ASSERT_EQ(feed(line("100", a) + "\nnoise\n999:1\n" + line("100", b) + "\n\n"), Conversion::ok);
    EXPECT_EQ(mirror.status_raw[0].get(), 2);
    EXPECT_EQ(mirror.status_count.get(), 2);
}

TEST_F(ReplyParser, LineSplitAcrossChunksIsNotJoined) {
    skip_hold_off();
    Values v = zeros(18);
    v[0] = "300";
    v[17] = "12";  // inputs 17..24: bits 2 and 3
    const std::string whole = line("100", v) + "\n";
    const std::size_t cut = whole.size() - 2;  // between "1" and "2"
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
    const std::string status = line("100", zeros(18));
    expect_unchanged(status.substr(0, 20));
    expect_unchanged(status.substr(20));
}

}  // namespace
}  // namespace orvane
