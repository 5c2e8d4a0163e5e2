// The numbered entry point, without a controller: read-outs, table writes,
// queued free commands, and the guards.
#include <atomic>
#include <limits>
#include <stdexcept>
#include <thread>
#include <vector>

#include "api_test_support.h"
#include "support/time_scale.h"

namespace orvane::test {
namespace {

class Cmd : public ConnectedRuntime {
protected:
    int cmd(int code, int axis, std::string& text) { return rt.cmd(code, axis, text); }
    // Calls code with a text and gives back what the call left in it.
    std::string out(int code, int axis = 0, std::string text = {}) {
        EXPECT_EQ(rt.cmd(code, axis, text), 1) << "code " << code;
        return text;
    }
    AxisParams params(int axis) { return mirror().axis_params[static_cast<std::size_t>(axis)].snapshot(); }
    std::array<int, 24> levels() {
        std::array<int, 24> l{};
        for (std::size_t i = 0; i < io_total; ++i) l[i] = mirror().output_level[i].get();
        return l;
    }
};

std::vector<std::string> split(const std::string& text, char delimiter = ',') {
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == delimiter) {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    return pieces;
}

// 21 parameter fields, distinct enough to catch a field landing elsewhere.
const char* const record_text = "1,-2,20000,4,55,1,7,8,-9,1,0.5,1.25,250.75,12.5,-500,600.5,17,0.3,0.002,5,21.5";

std::string join_levels(const std::vector<std::string>& fields) {
    std::string t;
    for (std::size_t i = 0; i < fields.size(); ++i) t += (i ? "," : "") + fields[i];
    return t;
}

// ---- guards ----------------------------------------------------------------

TEST_F(Cmd, NotConnectedRefusesEveryCodeButTheQuickSwitch) {
    disconnect();
    const std::string before_5010 = mirror().reply_5010.get();
    for (int code : {0, 1, 2, 3, 4, 5, 7, 100, 101, 102, 103, 2001, 5000, 5010, 5011, 6000}) {
        std::string text = "keep";
        EXPECT_EQ(cmd(code, 0, text), 0) << "code " << code;
        EXPECT_EQ(text, "keep") << "code " << code;
    }
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(mirror().reply_5010.get(), before_5010);
    EXPECT_EQ(mirror().controller_address.get(), "127.0.0.1");
}

TEST_F(Cmd, AxisAboveFiveRefusesEveryCode) {
    for (int code : {0, 1, 2, 3, 4, 5, 7, 100, 101, 102, 103, 2001, 5000, 5010, 5011, 6000}) {
        std::string text = "keep";
        EXPECT_EQ(cmd(code, 6, text), 0) << "code " << code;
        EXPECT_EQ(text, "keep") << "code " << code;
    }
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(mirror().reply_5010.get(), "-1");
}

TEST_F(Cmd, NegativeAxisIsRefusedWhereItWouldIndexTheParameters) {
    const AxisParams before = params(0);
    for (int code : {2, 3, 102}) {
        std::string text = code == 3 ? std::string(record_text) : std::string("keep");
        const std::string original = text;
        EXPECT_EQ(cmd(code, -1, text), 0) << "code " << code;
        EXPECT_EQ(text, original) << "code " << code;
    }
    std::string record = record_text;
    EXPECT_EQ(cmd(3, -2147483647 - 1, record), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(params(0).ints, before.ints);
    EXPECT_EQ(params(0).floats, before.floats);
}

TEST_F(Cmd, NegativeAxisPassesIntoFreeCommands) {
    std::string text = "x";
    EXPECT_EQ(cmd(100, -1, text), 1);
    EXPECT_EQ(cmd(101, -3, text), 1);
    EXPECT_EQ(queued(), "200:-1,x!210:-3!");
    // And the read-outs that ignore the axis work.
    EXPECT_EQ(out(4, -1).size(), 47u);  // 24 zeros and 23 commas
}

TEST_F(Cmd, UnknownCodeDoesNothingAndReturnsOne) {
    std::string text = "keep";
    EXPECT_EQ(cmd(7, 0, text), 1);
    EXPECT_EQ(cmd(-1, 5, text), 1);
    EXPECT_EQ(cmd(6002, 0, text), 1);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(queued(), "");
}

// ---- queued free commands --------------------------------------------------

// ---- read-outs -------------------------------------------------------------

TEST_F(Cmd, Code1AppendsPositionsAndRawCounts) {
    for (std::size_t i = 0; i < axis_total; ++i) mirror().axis_pos[i].set(1.5f * static_cast<float>(i) - 2.0f);
    for (std::size_t j = 0; j < raw_count_total; ++j) mirror().status_raw[j].set(static_cast<int>(j) * 100 - 300);
    const std::string expected =
        "-2.000000,-0.500000,1.000000,2.500000,4.000000,5.500000,"
        "-300,-200,-100,0,100,200,300,400,500,600,700,800";
    EXPECT_EQ(out(1, 0, "pre:"), "pre:" + expected);
    // Twice on one string: the second list starts right after the last count.
    std::string text;
    ASSERT_EQ(cmd(1, 0, text), 1);
    ASSERT_EQ(cmd(1, 0, text), 1);
    EXPECT_EQ(text, expected + expected);
    EXPECT_NE(text.find("800-2.000000"), std::string::npos);
}

TEST_F(Cmd, Code2AppendsTheAxisRecord) {
    // The defaults.
    EXPECT_EQ(out(2, 4),
              "0,0,10000,1,50,0,0,0,0,0,0.000000,0.000000,0.000000,5.000000,-10000.000000,10000.000000,"
              "10.000000,0.200000,0.001000,10.000000,1.000000");
    AxisParams zero;
    zero.ints.fill(0);
    zero.floats.fill(0.0f);
    mirror().axis_params[2].assign(zero);
    const std::string text = out(2, 2, "#");
    EXPECT_EQ(text,
              "#0,0,0,0,0,0,0,0,0,0,0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,"
              "0.000000,0.000000,0.000000,0.000000");
    const std::vector<std::string> fields = split(text.substr(1));
    ASSERT_EQ(fields.size(), 21u);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(fields[static_cast<std::size_t>(k)], "0");
    for (int k = 10; k < 21; ++k) EXPECT_EQ(fields[static_cast<std::size_t>(k)], "0.000000");
}

// The read-outs are for the host: a value that is not finite shows as "%f"
// writes it, not as a number it is not.
struct NonFiniteCase {
    float value;
    const char* text;
};
const NonFiniteCase non_finite_cases[] = {
    {std::numeric_limits<float>::infinity(), "inf"},
    {-std::numeric_limits<float>::infinity(), "-inf"},
    {std::numeric_limits<float>::quiet_NaN(), "nan"},
    {-std::numeric_limits<float>::quiet_NaN(), "nan"},  // never "-nan"
    {std::numeric_limits<float>::signaling_NaN(), "nan"},
};

TEST_F(Cmd, Code2WritesNonFiniteParametersAsPrintfDoes) {
    for (const NonFiniteCase& c : non_finite_cases) {
        for (int k : {static_cast<int>(field::soft_limit_margin), static_cast<int>(field::home_speed),
                      static_cast<int>(field::p20)}) {
            AxisParams record;
            record.floats.fill(2.5f);
            record.floats[static_cast<std::size_t>(k - field::int_count)] = c.value;
            mirror().axis_params[2].assign(record);
            const std::vector<std::string> fields = split(out(2, 2));
            ASSERT_EQ(fields.size(), 21u);
            for (int j = field::int_count; j < field::count; ++j) {
                EXPECT_EQ(fields[static_cast<std::size_t>(j)], j == k ? c.text : "2.500000") << c.text << " in " << k;
            }
        }
    }
}

TEST_F(Cmd, Code1WritesNonFinitePositionsAsPrintfDoes) {
    for (const NonFiniteCase& c : non_finite_cases) {
        for (std::size_t i = 0; i < axis_total; ++i) mirror().axis_pos[i].set(i == 4 ? c.value : 1.5f);
        const std::vector<std::string> fields = split(out(1));
        ASSERT_EQ(fields.size(), axis_total + raw_count_total);
        for (std::size_t i = 0; i < axis_total; ++i) {
            EXPECT_EQ(fields[i], i == 4 ? c.text : "1.500000") << c.text;
        }
    }
}

TEST_F(Cmd, Code3TakesNonFiniteValuesAndCode2ShowsThem) {
    const std::string ints = "0,0,10000,1,50,0,0,0,0,0,";
    const struct {
        const char* field;
        const char* shown;
    } cases[] = {{"inf", "inf"}, {"-Infinity", "-inf"}, {"nan", "nan"}, {"-nan", "nan"}, {"NAN(12)", "nan"}};
    for (const auto& c : cases) {
        std::string text = ints + c.field + ",0,0,5,-10000,10000,10,0.2,0.001,10,1";
        ASSERT_EQ(cmd(3, 1, text), 1) << c.field;
        EXPECT_EQ(queued(), "120:1," + text + "!");
        EXPECT_EQ(split(out(2, 1))[static_cast<std::size_t>(field::soft_limit_margin)], c.shown) << c.field;
    }
}

TEST_F(Cmd, Code4AppendsTheLevels) {
    for (std::size_t i = 0; i < io_total; ++i) mirror().output_level[i].set(static_cast<int>(i % 17));
    EXPECT_EQ(out(4, 0, "L="), "L=0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,0,1,2,3,4,5,6");
}

TEST_F(Cmd, Code102ReportsParameterSix) {
    EXPECT_EQ(out(102, 1, "something long"), "0");
    mirror().axis_params[1].set_int_field(field::p6, -4);
    EXPECT_EQ(out(102, 1, "x"), "1");
    EXPECT_EQ(out(102, 0, "x"), "0");
    // Parameter 5 is a different field.
    mirror().axis_params[3].set_int_field(field::axis_rotation, 1);
    EXPECT_EQ(out(102, 3), "0");
}

TEST_F(Cmd, TextReadOutsReplaceTheText) {
    mirror().io_text.set("io,text");
    mirror().version_text.set("v1.2");
    EXPECT_EQ(out(103, 0, "old"), "io,text");
    EXPECT_EQ(out(2001, 0, "old"), "v1.2");
    EXPECT_EQ(out(5010, 0, "old"), "-1");
    mirror().reply_5010.set("answer");
    EXPECT_EQ(out(5010, 5, "old"), "answer");
}

TEST_F(Cmd, Code5011EmptiesTheLastAnswer) {
    mirror().reply_5010.set("answer");
    std::string text = "keep";
    EXPECT_EQ(cmd(5011, 0, text), 1);
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(mirror().reply_5010.get(), "");
    EXPECT_EQ(out(5010, 0, "old"), "");
}

// ---- code 3: an axis's parameter record --------------------------------------

TEST_F(Cmd, Code3StoresTheRecordAndSendsTheCallersText) {
    std::string text = record_text;
    EXPECT_EQ(cmd(3, 2, text), 1);
    EXPECT_EQ(text, record_text);
    EXPECT_EQ(queued(), std::string("120:2,") + record_text + "!");
    const AxisParams p = params(2);
    EXPECT_EQ(p.ints, (std::array<std::int32_t, 10>{1, -2, 20000, 4, 55, 1, 7, 8, -9, 1}));
    EXPECT_EQ(p.floats,
              (std::array<float, 11>{0.5f, 1.25f, 250.75f, 12.5f, -500.0f, 600.5f, 17.0f, 0.3f, 0.002f, 5.0f, 21.5f}));
    // Other axes untouched.
    EXPECT_EQ(params(1).ints, AxisParams{}.ints);
    // And the read-out gives it back in its own number forms.
    EXPECT_EQ(out(2, 2),
              "1,-2,20000,4,55,1,7,8,-9,1,0.500000,1.250000,250.750000,12.500000,-500.000000,600.500000,"
              "17.000000,0.300000,0.002000,5.000000,21.500000");
}

TEST_F(Cmd, Code3QueriesFollowTheNewRecord) {
    std::string text = record_text;
    ASSERT_EQ(cmd(3, 1, text), 1);
    double t = 0;
    ASSERT_EQ(rt.get_acc_time(1, t), 1);
    EXPECT_EQ(t, static_cast<double>(0.3f));
    int max_speed = 0;
    ASSERT_EQ(rt.get_max_speed(1, max_speed), 1);
    EXPECT_EQ(max_speed, 250);
    double left = 0, right = 0;
    ASSERT_EQ(rt.get_soft_limits(1, left, right), 1);
    EXPECT_EQ(left, -499.5);
    EXPECT_EQ(right, 600.0);
    bool rotation = false;
    ASSERT_EQ(rt.get_axis_rotation(1, rotation), 1);
    EXPECT_TRUE(rotation);
}

TEST_F(Cmd, Code3KeepsTheCallersFormInTheCommand) {
    std::string text = "0,0,2.7,1,50,0,0,0,0,0, 1.5e1,0,0,5,-10000,10000,10,0.2,0.001,10,1";
    ASSERT_EQ(cmd(3, 0, text), 1);
    EXPECT_EQ(params(0).int_field(field::pulses_per_rev), 2);
    EXPECT_EQ(params(0).float_field(field::soft_limit_margin), 15.0f);
    EXPECT_EQ(queued(), "120:0," + text + "!");
}

TEST_F(Cmd, Code3NeedsExactlyTwentyOneFields) {
    const AxisParams before = params(0);
    std::string trailing = std::string(record_text) + ",";  // 22 fields
    EXPECT_EQ(cmd(3, 0, trailing), 0);
    std::string twenty = "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20";
    EXPECT_EQ(cmd(3, 0, twenty), 0);
    std::string empty;
    EXPECT_EQ(cmd(3, 0, empty), 0);
    EXPECT_EQ(queued(), "");
    EXPECT_EQ(params(0).ints, before.ints);
    EXPECT_EQ(params(0).floats, before.floats);
}

// ---- code 5: the 24 output levels -------------------------------------------

TEST_F(Cmd, Code5ClampsStoresAndSendsLevelDigits) {
    std::vector<std::string> fields = {"0", "1", "10", "11", "16", "17"};
    for (int i = 6; i < 24; ++i) fields.push_back(std::to_string(i - 4));  // 2..19
    std::string text = join_levels(fields);
    const std::string original = text;
    EXPECT_EQ(cmd(5, 0, text), 1);
    EXPECT_EQ(text, original);
    EXPECT_EQ(queued(), "180:009AFF123456789ABCDEFFFF!");
    EXPECT_EQ(levels(), (std::array<int, 24>{1, 1, 10, 11, 16, 16, 2,  3,  4,  5,  6,  7,
                                             8, 9, 10, 11, 12, 13, 14, 15, 16, 16, 16, 16}));
    // The outputs use the new levels at once.
    ASSERT_EQ(rt.set_output_on(3, true), 1);
    EXPECT_EQ(mirror().output_value[2].get(), 2550);
    EXPECT_EQ(out(4, 0), "1,1,10,11,16,16,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,16,16,16");
}

TEST_F(Cmd, Code5NeedsExactlyTwentyFourFields) {
    std::string t23 = join_levels(std::vector<std::string>(23, "2"));
    std::string t25 = join_levels(std::vector<std::string>(25, "2"));
    std::string trailing = join_levels(std::vector<std::string>(24, "2")) + ",";
    EXPECT_EQ(cmd(5, 0, t23), 0);
    EXPECT_EQ(cmd(5, 0, t25), 0);
    EXPECT_EQ(cmd(5, 0, trailing), 0);
    EXPECT_EQ(queued(), "");
    std::array<int, 24> zeros{};
    EXPECT_EQ(levels(), zeros);
}

// ---- direct sends and address switches without a controller ------------------

TEST(CmdRawSend, PausesPollingForItsDurationEvenWithoutALink) {
    RuntimeConfig config = offline_config();
    config.raw_send_pause_ms = 400;
    Runtime rt(config);
    rt.mirror().connected.store(true);
    rt.mirror().reply_5010.set("earlier answer");
    std::string text = "raw text";
    const auto start = Clock::now();
    std::thread caller([&] { EXPECT_EQ(rt.cmd(5000, 0, text), 1); });
    // Paused is seen only while the call runs: never before, and the end
    // of the call clears it (checked below).
    const bool paused = wait_until([&] { return rt.mirror().poll_paused.load(); }, 5000, 1);
    caller.join();
    EXPECT_TRUE(paused);
    EXPECT_GE(elapsed_ms(start), 380.0);
    EXPECT_FALSE(rt.mirror().poll_paused.load());
    // The answer to an earlier raw text is gone: none has come for this one.
    EXPECT_EQ(rt.mirror().reply_5010.get(), "-1");
    EXPECT_EQ(text, "raw text");
    EXPECT_EQ(rt.pending().take(), "");
}

TEST(CmdRawSend, OverlappingRawSendsKeepPollingPausedUntilTheLastEnds) {
    const auto pause = testing::scaled(std::chrono::milliseconds(400));
    RuntimeConfig config = offline_config();
    config.raw_send_pause_ms = static_cast<int>(pause.count());
    Runtime rt(config);
    rt.mirror().connected.store(true);
    // Code 5000 sets the 5010 answer to "-1" once it counts as under way:
    // the sign, for this test, that a call has begun its pause.
    rt.mirror().reply_5010.set("none yet");
    auto inside = [&rt] { return rt.mirror().reply_5010.get() == "-1"; };

    std::atomic<bool> first_returned{false};
    bool paused_after_first = false;
    Clock::time_point looked_at{};
    std::thread first([&] {
        std::string text = "a";
        EXPECT_EQ(rt.cmd(5000, 0, text), 1);
        first_returned.store(true);
        // Right after the first pause ended, on its own thread.
        paused_after_first = rt.mirror().poll_paused.load();
        looked_at = Clock::now();
    });
    const bool first_inside = wait_until(inside, 5000, 1);
    rt.mirror().reply_5010.set("first inside");
    // The second call starts a third of a pause later, so that the two
    // pauses end well apart.
    std::this_thread::sleep_for(pause / 3);
    const auto second_started = Clock::now();
    std::thread second([&] {
        std::string text = "b";
        EXPECT_EQ(rt.cmd(5000, 0, text), 1);
    });
    const bool second_inside = wait_until(inside, 5000, 1);
    const bool began_before_first_ended = second_inside && !first_returned.load();
    first.join();
    second.join();
    ASSERT_TRUE(first_inside && second_inside);
    EXPECT_FALSE(rt.mirror().poll_paused.load()) << "polling stays paused after both ended";

    // The second call's pause cannot end before second_started + pause; if
    // the first thread looked before that, and the second call had begun
    // before the first ended, both overlapped at that moment.
    const bool second_still_inside = looked_at + std::chrono::milliseconds(20) < second_started + pause;
    if (!began_before_first_ended || !second_still_inside) {
        GTEST_SKIP() << "the two raw sends did not overlap as planned (a thread was held up "
                     << "for most of a pause on this machine); nothing to check";
    }
    EXPECT_TRUE(paused_after_first) << "polling resumed when the first of two overlapping raw sends ended";
}

TEST_F(Cmd, Code6000SetsTheAddressFromAHostNumber) {
    std::string text = "x";  // not a number: the new address cannot be reached
    EXPECT_EQ(cmd(6000, 0, text), 1);
    EXPECT_EQ(mirror().controller_address.get(), "127.0.0.x");
    EXPECT_EQ(rt.is_connect(), 0);
    rt.close();
}

TEST(CmdQuickSwitch, RunsWhileDisconnectedWithAnyAxisAndReturnsZero) {
    Runtime rt(offline_config());
    // Incomplete dotted text is a host number after the prefix.
    std::string text = "1.2.3";
    EXPECT_EQ(rt.cmd(6001, 99, text), 0);
    EXPECT_EQ(rt.mirror().controller_address.get(), "127.0.0.1.2.3");
    EXPECT_EQ(text, "1.2.3");
    text = " 127.0.0.5";
    EXPECT_EQ(rt.cmd(6001, -5, text), 0);
    EXPECT_EQ(rt.mirror().controller_address.get(), "127.0.0. 127.0.0.5");
    rt.close();
}

TEST(CmdQuickSwitch, CompleteAddressIsUsedWhole) {
    // Nothing listens there: the attempt is refused at once.
    Runtime rt(offline_config());
    std::string text = "127.9.8.7";
    EXPECT_EQ(rt.cmd(6001, 0, text), 0);
    EXPECT_EQ(rt.mirror().controller_address.get(), "127.9.8.7");
    EXPECT_EQ(rt.is_connect(), 0);
    rt.close();
}

TEST(CmdQuickSwitch, ClearsLevelsAndValues) {
    Runtime rt(offline_config());
    rt.mirror().output_level[3].set(5);
    rt.mirror().output_value[3].set(50);
    rt.mirror().output_sent[3].set(50);
    rt.mirror().outputs_synced.store(true);
    std::string text = "x";
    EXPECT_EQ(rt.cmd(6001, 0, text), 0);
    EXPECT_EQ(rt.mirror().output_level[3].get(), 0);
    EXPECT_EQ(rt.mirror().output_value[3].get(), 0);
    // What was last sent, and the one-time seeding, are kept.
    EXPECT_EQ(rt.mirror().output_sent[3].get(), 50);
    EXPECT_TRUE(rt.mirror().outputs_synced.load());
    rt.close();
}

}  // namespace
}  // namespace orvane::test
