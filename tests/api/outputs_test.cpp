// Digital outputs: the calls store value × level; nothing is queued.
#include <tuple>

#include "api_test_support.h"

namespace orvane::test {
namespace {

class Outputs : public ConnectedRuntime {
protected:
    int value(int output) { return mirror().output_value[static_cast<std::size_t>(output - 1)].get(); }
    int level(int output) { return mirror().output_level[static_cast<std::size_t>(output - 1)].get(); }
    void set_level(int output, int l) { mirror().output_level[static_cast<std::size_t>(output - 1)].set(l); }
    std::array<int, 24> values() {
        std::array<int, 24> v{};
        for (int i = 1; i <= 24; ++i) v[static_cast<std::size_t>(i - 1)] = value(i);
        return v;
    }
};

TEST_F(Outputs, ValueTimesLevel) {
    for (const auto& [output, lv, set, stored] : {std::tuple{1, 16, 255, 4080}, {2, 1, 1, 1}, {24, 7, 100, 700},
                                                      {24, 7, 0, 0}}) {
        set_level(output, lv);
        EXPECT_EQ(rt.set_output_value(output, set), 1);
        EXPECT_EQ(value(output), stored) << output;
    }
    // Only the chosen entry changes, and nothing is queued: the poll loop sends the table.
    EXPECT_EQ(value(3), 0);
    EXPECT_EQ(queued(), "");
}

TEST_F(Outputs, UnknownLevelDefaultsToSixteenAndStays) {
    ASSERT_EQ(level(5), 0);
    EXPECT_EQ(rt.set_output_value(5, 10), 1);
    EXPECT_TRUE(value(5) == 160 && level(5) == 16);
    EXPECT_EQ(rt.set_output_on(5, true), 1);  // the on form then uses it
    EXPECT_EQ(value(5), 4080);
    EXPECT_EQ(level(6), 0);
}

TEST_F(Outputs, OnOffUsesTheLevelUnchangedEvenZero) {
    set_level(3, 4);
    EXPECT_EQ(rt.set_output_on(3, true), 1);
    EXPECT_EQ(value(3), 1020);
    EXPECT_EQ(rt.set_output_on(3, false), 1);
    EXPECT_EQ(value(3), 0);
    EXPECT_EQ(level(3), 4);

    EXPECT_EQ(rt.set_output_on(9, true), 1);  // level still unknown: 0, and the level stays 0
    EXPECT_TRUE(value(9) == 0 && level(9) == 0);
}

TEST_F(Outputs, AllOnUsesEachOutputsLevel) {
    std::string levels = "3";
    for (int i = 1; i < 24; ++i) levels += ",3";
    ASSERT_EQ(rt.cmd(5, 0, levels), 1);
    (void)queued();
    EXPECT_EQ(rt.set_output_all(true), 1);
    std::array<int, 24> expected;
    expected.fill(765);
    EXPECT_EQ(values(), expected);

    set_level(2, 0);
    set_level(10, 16);
    EXPECT_EQ(rt.set_output_all(true), 1);
    EXPECT_EQ(value(2), 0);
    EXPECT_EQ(value(10), 4080);
    EXPECT_EQ(value(11), 765);

    EXPECT_EQ(rt.set_output_all(false), 1);
    expected.fill(0);
    EXPECT_EQ(values(), expected);
    EXPECT_EQ(level(10), 16);
    EXPECT_EQ(queued(), "");
}

// A value outside 0..255 is refused; the call does not set the default level either.
TEST_F(Outputs, ValueOutsideTheByteIsRefused) {
    set_level(1, 2);
    ASSERT_EQ(rt.set_output_value(1, 100), 1);
    for (const int bad : {256, -1, -2147483647 - 1}) {
        EXPECT_EQ(rt.set_output_value(1, bad), 0) << bad;
        EXPECT_EQ(rt.set_output_value(4, bad), 0) << bad;
    }
    EXPECT_EQ(value(1), 200);
    EXPECT_EQ(level(4), 0);
}

TEST_F(Outputs, OddLevelsCannotOverflowTheProduct) {
    // Levels are 1..16 from every normal source; a wild one must still not overflow (UBSan checks the arithmetic).
    set_level(1, 2147483647);
    EXPECT_EQ(rt.set_output_value(1, 255), 1);
    EXPECT_GE(value(1), 0);
    EXPECT_EQ(rt.set_output_all(true), 1);
    EXPECT_GE(value(1), 0);
    set_level(2, -2147483647 - 1);
    EXPECT_EQ(rt.set_output_on(2, true), 1);
    EXPECT_LE(value(2), 0);
}

}  // namespace
}  // namespace orvane::test
