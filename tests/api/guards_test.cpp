// Every operation's refusals in one table: a refused call returns 0 and queues nothing.
#include <vector>

#include "api_test_support.h"

namespace orvane::test {
namespace {

enum class Guard {
    any_axis,       // 0..5 whatever the controller's axis count
    existing_axis,  // 0 .. axis count - 1
    io_number,      // 1..24
    array,          // argument 1 passes an array, 0 a null pointer
    none,           // nothing but the connection
};

struct Operation {
    const char* name;
    Guard guard;
    bool needs_connection;
    std::function<int(Runtime&, int)> call;
};

const Operation operations[] = {
    {"set_speed", Guard::any_axis, true, [](Runtime& rt, int a) { return rt.set_speed(a, 5.0f); }},
    {"single_move_to", Guard::existing_axis, true, [](Runtime& rt, int a) { return rt.single_move_to(a, 1.0); }},
    {"go_home", Guard::existing_axis, true, [](Runtime& rt, int a) { return rt.go_home(a, 1.0f); }},
    {"jog_move", Guard::existing_axis, true, [](Runtime& rt, int a) { return rt.jog_move(a, true); }},
    {"stop", Guard::any_axis, true, [](Runtime& rt, int a) { return rt.stop(a, 0); }},
    {"zero", Guard::existing_axis, true, [](Runtime& rt, int a) { return rt.zero(a); }},
    {"get_acc_time", Guard::any_axis, true, [](Runtime& rt, int a) { double t = 0; return rt.get_acc_time(a, t); }},
    {"get_axis_rotation", Guard::existing_axis, true,
     [](Runtime& rt, int a) { bool f = false; return rt.get_axis_rotation(a, f); }},
    {"get_home_state", Guard::any_axis, true, [](Runtime& rt, int a) { bool s = false; return rt.get_home_state(a, s); }},
    {"get_move_state", Guard::any_axis, true, [](Runtime& rt, int a) { bool s = false; return rt.get_move_state(a, s); }},
    {"get_max_speed", Guard::any_axis, true, [](Runtime& rt, int a) { int s = 0; return rt.get_max_speed(a, s); }},
    {"get_soft_limits", Guard::any_axis, false,
     [](Runtime& rt, int a) { double l = 0, r = 0; return rt.get_soft_limits(a, l, r); }},
    {"get_input_bit", Guard::io_number, true, [](Runtime& rt, int n) { bool l = false; return rt.get_input_bit(n, l); }},
    {"set_output_value", Guard::io_number, true, [](Runtime& rt, int n) { return rt.set_output_value(n, 5); }},
    {"set_output_on", Guard::io_number, true, [](Runtime& rt, int n) { return rt.set_output_on(n, true); }},
    {"get_input_bits", Guard::array, true,
     [](Runtime& rt, int given) { bool levels[24] = {}; return rt.get_input_bits(given ? levels : nullptr); }},
    {"get_pos", Guard::array, true,
     [](Runtime& rt, int given) { double pos[6] = {}; return rt.get_pos(given ? pos : nullptr); }},
    {"set_output_all", Guard::none, true, [](Runtime& rt, int) { return rt.set_output_all(true); }},
    {"set_fly", Guard::none, true, [](Runtime& rt, int) { return rt.set_fly(1, 2, 3); }},
    {"start_fly", Guard::none, true, [](Runtime& rt, int) { return rt.start_fly(1, 2); }},
    {"trim_fly", Guard::none, true, [](Runtime& rt, int) { return rt.trim_fly(1); }},
    // No guard at all: queued for the next connection.
    {"xyz_move_to", Guard::none, false, [](Runtime& rt, int) { return rt.xyz_move_to(0, 0, 0); }},
};

struct Case {
    int axis_count;
    int argument;
    bool accepted;
};

// The arguments tried for each kind of guard and whether they pass.
std::vector<Case> cases_for(Guard guard) {
    switch (guard) {
        case Guard::any_axis:
            return {{6, -1, false}, {6, 0, true}, {6, 5, true}, {6, 6, false}, {3, 5, true}, {3, 6, false}};
        case Guard::existing_axis:
            return {{6, -1, false}, {6, 0, true}, {6, 5, true}, {6, 6, false}, {3, 2, true}, {3, 3, false}};
        case Guard::io_number:
            return {{6, 0, false}, {6, 1, true}, {6, 24, true}, {6, 25, false}, {6, -1, false}};
        case Guard::array:
            return {{6, 1, true}, {6, 0, false}};
        case Guard::none:
            return {{6, 1, true}};
    }
    return {};
}

// A valid argument of the operation, for the connection check.
int valid_argument(Guard guard) { return guard == Guard::io_number || guard == Guard::array ? 1 : 0; }

struct Guards : ConnectedRuntime {
    Guards() : ConnectedRuntime(offline_config(0)) {}
};

TEST_F(Guards, ArgumentsOutsideTheirRangeAreRefusedAndQueueNothing) {
    for (const Operation& op : operations) {
        for (const Case& c : cases_for(op.guard)) {
            mirror().axis_count.set(c.axis_count);
            (void)queued();
            EXPECT_EQ(op.call(rt, c.argument), c.accepted ? 1 : 0)
                << op.name << "(" << c.argument << ") with " << c.axis_count << " axes";
            if (!c.accepted) {
                EXPECT_EQ(queued(), "") << op.name << "(" << c.argument << ")";
            }
        }
    }
}

TEST_F(Guards, WhileNotConnectedOnlySoftLimitsAndTheCoordinatedMoveAnswer) {
    disconnect();
    for (const Operation& op : operations) {
        (void)queued();
        EXPECT_EQ(op.call(rt, valid_argument(op.guard)), op.needs_connection ? 0 : 1) << op.name;
        if (op.needs_connection) {
            EXPECT_EQ(queued(), "") << op.name;
        }
    }
    // Nor does anything reach the outputs the poll loop would send.
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(mirror().output_value[i].get(), 0);
}

}  // namespace
}  // namespace orvane::test
