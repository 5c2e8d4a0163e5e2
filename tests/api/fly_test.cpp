// Fly set-up, start and trim.
#include "api_test_support.h"

namespace orvane::test {
namespace {

struct Fly : ConnectedRuntime {
    std::array<int, 3> counters() {
        std::array<int, 3> c{-7, -7, -7};
        EXPECT_EQ(rt.get_fly(c[0], c[1], c[2]), 1);
        return c;
    }
};

TEST_F(Fly, SetFlyIsReportedAtOnce) {
    ASSERT_EQ(rt.set_fly(7, 8, 9), 1);
    EXPECT_EQ(counters(), (std::array<int, 3>{7, 8, 9}));
    // Until the controller's "190" reply replaces them.
    rt.on_data("190:" + std::string(24, '0') + ",4,5,6,io\n");
    EXPECT_EQ(counters(), (std::array<int, 3>{4, 5, 6}));
}

TEST_F(Fly, StartAndTrimForgetThePositions) {
    mirror().fly_positions.replace({1.0f, 2.0f, 3.0f});
    ASSERT_EQ(rt.start_fly(0, 1), 1);
    double unused = -1;
    EXPECT_EQ(rt.get_fly_pos(&unused), 0);
    EXPECT_EQ(unused, -1);

    // A "520" reply brings new ones; trimming forgets them again.
    rt.on_data("520:0,1000,2000\n");
    double got[2] = {0, 0};
    ASSERT_EQ(rt.get_fly_pos(got), 2);
    EXPECT_TRUE(got[0] == 1.0 && got[1] == 2.0);
    ASSERT_EQ(rt.trim_fly(3), 1);
    EXPECT_EQ(rt.get_fly_pos(&unused), 0);
}

TEST_F(Fly, StartAndTrimPauseTheCallerButSetUpDoesNot) {
    EXPECT_GE(time_call_ms([&] { rt.start_fly(0, 1); }), 45.0);
    EXPECT_GE(time_call_ms([&] { rt.trim_fly(1); }), 45.0);
    EXPECT_LT(fastest_ms([&] { rt.set_fly(1, 2, 3); }), 25.0);
}

}  // namespace
}  // namespace orvane::test
