// The exported functions on the process-wide runtime, marked connected by hand (no Orvane_initial here).
#include <orvane/orvane.h>

#include <stdexcept>

#include "api/process_runtime.h"
#include "api_test_support.h"

namespace orvane::test {
namespace {

class Exports : public ::testing::Test {
protected:
    // The same mirror whatever ran before in this process (the runtime is process-wide).
    void SetUp() override {
        Runtime& rt = process_runtime();
        ASSERT_EQ(Orvane_is_connect(), 0);  // nothing started it
        m().connected.store(true);
        for (std::size_t i = 0; i < io_total; ++i) {
            m().output_level[i].set(0);
            m().output_value[i].set(0);
            m().input_bits[i].set(false);
        }
        for (auto& counter : m().fly_counters) counter.set(0);
        for (auto& params : m().axis_params) params.assign(AxisParams{});
        for (auto& speed : m().axis_speed) speed.set(0.0f);
        m().axis_count.set(axis_total);
        m().fly_positions.clear();
        forget_fly_count(rt);
        (void)rt.pending().take();
    }
    void TearDown() override { m().connected.store(false); }
    static ControllerMirror& m() { return process_runtime().mirror(); }
    static std::string queued() { return process_runtime().pending().take(); }
};

TEST_F(Exports, SetOutputOverloads) {
    // The bool form leaves an unknown level at 0, the int form makes it 16.
    EXPECT_EQ(Orvane_set_output(2, true), 1);
    EXPECT_TRUE(m().output_value[1].get() == 0 && m().output_level[1].get() == 0);
    EXPECT_EQ(Orvane_set_output(2, 1), 1);
    EXPECT_TRUE(m().output_value[1].get() == 16 && m().output_level[1].get() == 16);
    EXPECT_EQ(Orvane_set_output(2, true), 1);
    EXPECT_EQ(m().output_value[1].get(), 4080);
    EXPECT_EQ(Orvane_set_output(2, false), 1);
    EXPECT_EQ(m().output_value[1].get(), 0);
    EXPECT_EQ(Orvane_set_outputAll(true), 1);
    EXPECT_EQ(m().output_value[1].get(), 4080);
    EXPECT_EQ(m().output_value[0].get(), 0);
}

TEST_F(Exports, InputBitOverloads) {
    m().input_bits[20].set(true);
    bool level = false;
    EXPECT_EQ(Orvane_get_input_bit(21, level), 1);
    EXPECT_TRUE(level);
    bool levels[24] = {};
    EXPECT_EQ(Orvane_get_input_bit(levels), 1);
    EXPECT_TRUE(levels[20] && !levels[19]);
    EXPECT_EQ(Orvane_get_input_bit(static_cast<bool*>(nullptr)), 0);
}

TEST_F(Exports, QueriesThroughTheExports) {
    m().axis_params[2].set_float_field(field::max_speed, 99.9f);
    int speed = -1;
    EXPECT_EQ(Orvane_get_max_speed(2, speed), 1);
    EXPECT_EQ(speed, 99);
    m().fly_positions.replace({1.0f, 2.0f});
    EXPECT_EQ(Orvane_get_fly_pos(nullptr), 2);
    m().fly_positions.replace({1.0f, 2.0f, 3.0f});
    double got[3] = {0, 0, -1};
    EXPECT_EQ(Orvane_get_fly_pos(got), 2);
    EXPECT_EQ(got[2], -1);
    bool flag = true;
    EXPECT_EQ(Orvane_get_aixs_rotation(3, flag), 1);
    EXPECT_FALSE(flag);
}

TEST_F(Exports, ConversionErrorsOfCodes3And5ReachTheCaller) {
    std::string record = "0,0,x,1,50,0,0,0,0,0,0,0,0,5,-1,1,10,0.2,0.001,10,1";
    try {
        Orvane_cmd(3, 0, record);
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "invalid stoi argument");
    }
    std::string levels = "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,99999999999";
    try {
        Orvane_cmd(5, 0, levels);
        ADD_FAILURE() << "no error";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "stoi argument out of range");
    }
    EXPECT_EQ(queued(), "");
    // Good texts work as usual.
    std::string good = "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,2";
    EXPECT_EQ(Orvane_cmd(5, 0, good), 1);
    EXPECT_EQ(queued(), "180:000000000000000000000001!");
}

}  // namespace
}  // namespace orvane::test
