// Every queued command's text, and the number forms the controller reads (integer, "%f", one-decimal speed).
#include <cmath>
#include <regex>
#include <sstream>
#include <vector>

#include "api_test_support.h"

namespace orvane::test {
namespace {

struct CommandCase {
    const char* what;
    std::function<int(Runtime&)> call;
    const char* text;
};

int cmd(Runtime& rt, int code, int axis, std::string text) { return rt.cmd(code, axis, text); }

const CommandCase commands[] = {
    {"single move", [](Runtime& rt) { return rt.single_move_to(2, 100.5); }, "160:2,25.0,100.500000!"},
    {"single move, rounded speed", [](Runtime& rt) { return rt.single_move_to(1, -3.25); }, "160:1,12.3,-3.250000!"},
    {"single move, large target", [](Runtime& rt) { return rt.single_move_to(0, 12345678.0); },
     "160:0,100.0,12345678.000000!"},
    {"single move, tiny target", [](Runtime& rt) { return rt.single_move_to(0, 1e-9); }, "160:0,100.0,0.000000!"},
    {"coordinated move to where the axes are", [](Runtime& rt) { return rt.xyz_move_to(0, 0, 0); },
     "161:0.0,0.0,0.0,0.000000,0.000000,0.000000!"},
    {"home", [](Runtime& rt) { return rt.go_home(1, 20.0f); }, "130:1,20.000000!"},
    {"home below one tenth takes the axis home speed", [](Runtime& rt) { return rt.go_home(0, 0.05f); },
     "130:0,5.000000!"},
    {"home, zero speed", [](Runtime& rt) { return rt.go_home(0, 0.0f); }, "130:0,5.000000!"},
    {"home, negative speed", [](Runtime& rt) { return rt.go_home(0, -3.0f); }, "130:0,5.000000!"},
    {"home, the float nearest one tenth is not below it", [](Runtime& rt) { return rt.go_home(0, 0.1f); },
     "130:0,0.100000!"},
    {"home, speed not a number", [](Runtime& rt) { return rt.go_home(0, std::nanf("")); }, "130:0,5.000000!"},
    {"home, infinite speed", [](Runtime& rt) { return rt.go_home(0, -HUGE_VALF); }, "130:0,5.000000!"},
    {"home, each axis its own home speed",
     [](Runtime& rt) {
         rt.mirror().axis_params[2].set_float_field(field::home_speed, 7.5f);
         return rt.go_home(2, 0.0f);
     },
     "130:2,7.500000!"},
    {"home, a home speed parameter not a number goes out as zero",
     [](Runtime& rt) {
         rt.mirror().axis_params[1].set_float_field(field::home_speed, -std::nanf(""));
         return rt.go_home(1, 0.0f);
     },
     "130:1,0.000000!"},
    {"jog, a slow speed raised to one tenth",
     [](Runtime& rt) {
         rt.mirror().axis_speed[4].set(0.09f);
         return rt.jog_move(4, false);
     },
     "150:4,0.1,0!"},
    {"jog, no upper limit",
     [](Runtime& rt) {
         rt.mirror().axis_speed[4].set(250.0f);
         return rt.jog_move(4, true);
     },
     "150:4,250.0,1!"},
    {"jog forwards", [](Runtime& rt) { return rt.jog_move(3, true); }, "150:3,7.0,1!"},
    {"jog backwards", [](Runtime& rt) { return rt.jog_move(3, false); }, "150:3,7.0,0!"},
    {"stop", [](Runtime& rt) { return rt.stop(2, 0); }, "140:2,0!"},
    {"stop, any mode", [](Runtime& rt) { return rt.stop(5, -1); }, "140:5,-1!"},
    {"zero", [](Runtime& rt) { return rt.zero(3); }, "170:3!"},
    {"fly set-up", [](Runtime& rt) { return rt.set_fly(1, 200, 3); }, "490:1,200,3!"},
    {"fly set-up, int32 limits", [](Runtime& rt) { return rt.set_fly(-2147483647 - 1, 0, 2147483647); },
     "490:-2147483648,0,2147483647!"},
    {"fly start", [](Runtime& rt) { return rt.start_fly(0, 1); }, "500:0,1!"},
    {"fly trim", [](Runtime& rt) { return rt.trim_fly(-5); }, "510:-5!"},
    {"code 0", [](Runtime& rt) { return cmd(rt, 0, 0, "1,2,3"); }, "2000:1,2,3!"},
    {"code 0, empty", [](Runtime& rt) { return cmd(rt, 0, 5, ""); }, "2000:!"},
    {"code 100", [](Runtime& rt) { return cmd(rt, 100, 3, "9,8"); }, "200:3,9,8!"},
    {"code 101", [](Runtime& rt) { return cmd(rt, 101, 4, "9,8"); }, "210:4!"},
    {"code 5", [](Runtime& rt) { return cmd(rt, 5, 0, "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,1,1,1,1,1,1,1,1"); },
     "180:0123456789ABCDEF00000000!"},
};

struct CommandTexts : ConnectedRuntime {
    CommandTexts() : ConnectedRuntime(offline_config(0)) {
        mirror().axis_speed[0].set(150.0f);  // above 100 while moving: sent as 100
        mirror().axis_speed[1].set(12.345f);
        mirror().axis_speed[2].set(25.0f);
        mirror().axis_speed[3].set(7.0f);
    }
};

TEST_F(CommandTexts, EachOperationQueuesItsText) {
    for (const CommandCase& c : commands) {
        (void)queued();
        EXPECT_EQ(c.call(rt), 1) << c.what;
        EXPECT_EQ(queued(), c.text) << c.what;
    }
}

// "160:2,25.0,1.000000!" gives 2, 25.0 and 1.000000.
std::vector<std::string> number_fields(const std::string& queued_text) {
    std::vector<std::string> fields;
    std::stringstream commands(queued_text);
    for (std::string command; std::getline(commands, command, '!');) {
        std::stringstream values(command.substr(command.find(':') + 1));
        for (std::string field; std::getline(values, field, ',');) fields.push_back(field);
    }
    return fields;
}

TEST_F(CommandTexts, EveryNumberFieldHasOneOfTheThreeForms) {
    static const std::regex forms("-?[0-9]+|-?[0-9]+\\.[0-9]{6}|-?[0-9]+\\.[0-9]");
    const double values[] = {0.0, -0.0, 1e-9, -3.25, 0.05, 99.96, 1e6, 1e15, -1e15, 1e300};
    for (double v : values) {
        const float f = static_cast<float>(v);
        mirror().axis_speed[4].set(f);
        mirror().axis_speed[0].set(f);
        ASSERT_EQ(rt.single_move_to(4, v), 1);
        ASSERT_EQ(rt.jog_move(4, true), 1);
        ASSERT_EQ(rt.go_home(4, f), 1);
        ASSERT_EQ(rt.xyz_move_to(v, -v, v / 3), 1);
        for (const std::string& field : number_fields(queued())) {
            EXPECT_TRUE(std::regex_match(field, forms)) << "\"" << field << "\" for " << v;
        }
    }
}

}  // namespace
}  // namespace orvane::test
