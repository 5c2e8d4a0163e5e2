// The exports' behaviour end to end: a Runtime connected to the controller simulator on a loopback port.
#include <orvane_sim/simulator.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "api_test_support.h"
#include "support/loopback_runtime.h"

namespace orvane::test {
namespace {

constexpr int deadline_ms = 5000;

sim::SimulatorOptions sim_options(const std::string& address = "127.0.0.1", int port = 0) {
    sim::SimulatorOptions options;
    options.bind_address = address;
    options.port = port;
    options.version = "sim-for-api 7.3";
    return options;
}

RuntimeConfig sim_config(int port) {
    RuntimeConfig config = testing::loopback_config(static_cast<std::uint16_t>(port));
    config.raw_send_pause_ms = 200;
    config.restart_pause_ms = 150;
    return config;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<sim::Simulator>(options());
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        rt = std::make_unique<Runtime>(config(sim->port()));
    }
    void TearDown() override {
        if (rt) rt->close();
        rt.reset();
        if (sim) sim->stop();
    }
    virtual sim::SimulatorOptions options() { return sim_options(); }
    virtual RuntimeConfig config(int port) { return sim_config(port); }

    // Until the mirror holds levels, parameters and version, and the hold-off after the connection is over.
    void connect_and_load() {
        ASSERT_EQ(rt->initial(), 1);
        ASSERT_TRUE(wait_until([&] { return loaded(); }, deadline_ms));
    }
    bool loaded() {
        ControllerMirror& m = rt->mirror();
        return m.connected.load() && m.output_level[23].get() != 0 &&
               m.axis_params[0].float_field(field::max_speed) >= 0.1f && m.version_text.size() >= 2 &&
               m.status_count.get() > 20 && m.outputs_synced.load();
    }
    // The text a command code hands back (it must succeed).
    std::string answer(int code, int arg = 0, std::string text = {}) {
        EXPECT_EQ(rt->cmd(code, arg, text), 1) << code;
        return text;
    }
    bool answer_becomes(const std::string& expected) {
        return wait_until([&] { return answer(5010) == expected; }, deadline_ms);
    }
    double client_pos(int axis) {
        double pos[6] = {};
        EXPECT_EQ(rt->get_pos(pos), 1);
        return pos[axis];
    }
    bool move_state(int axis) {
        bool state = false;
        EXPECT_EQ(rt->get_move_state(axis, state), 1);
        return state;
    }

    std::unique_ptr<sim::Simulator> sim;
    std::unique_ptr<Runtime> rt;
};

TEST_F(EndToEnd, ConnectLoadsLevelsParametersAndVersion) {
    sim::AxisRecord record;
    record.floats[sim::AxisRecord::acc_time - 10] = 0.35f;
    record.floats[sim::AxisRecord::max_speed - 10] = 250.5f;
    record.ints[5] = 1;
    sim->set_axis_record(3, record);
    sim->set_output_level(24, 12);
    connect_and_load();

    EXPECT_EQ(answer(2001), "sim-for-api 7.3");
    EXPECT_EQ(answer(4), "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,12");
    double acc = 0;
    int max_speed = 0;
    bool rotation = false;
    ASSERT_EQ(rt->get_acc_time(3, acc) + rt->get_max_speed(3, max_speed) + rt->get_axis_rotation(3, rotation), 3);
    EXPECT_TRUE(acc == static_cast<double>(0.35f) && max_speed == 250 && rotation);
    EXPECT_EQ(rt->get_type(), 2);
}

// The move bit reads 0 while moving and during the hold-off; coordinated speeds are scaled to arrive together.
TEST_F(EndToEnd, MovesReachTheirTargetsWithTheMoveBitHeldOff) {
    connect_and_load();
    ASSERT_TRUE(wait_until([&] { return move_state(4); }, deadline_ms));
    ASSERT_EQ(rt->set_speed(4, 40.0f), 1);
    ASSERT_EQ(rt->single_move_to(4, 12.5), 1);
    EXPECT_FALSE(move_state(4));
    ASSERT_TRUE(sim->wait_for_command("160:4,40.0,12.500000!", deadline_ms));
    ASSERT_TRUE(wait_until([&] { return move_state(4) && client_pos(4) == 12.5; }, deadline_ms));
    EXPECT_DOUBLE_EQ(sim->position(4), 12.5);

    for (int a = 0; a < 3; ++a) ASSERT_EQ(rt->set_speed(a, 100.0f), 1);
    ASSERT_EQ(rt->xyz_move_to(40, 20, 10), 1);
    ASSERT_TRUE(sim->wait_for_command("161:100.0,50.0,25.0,40.000000,20.000000,10.000000!", deadline_ms));
    ASSERT_TRUE(wait_until([&] { return move_state(0) && move_state(1) && move_state(2); }, deadline_ms));
    for (int a = 0; a < 3; ++a) EXPECT_EQ(client_pos(a), 40.0 / (1 << a)) << a;
}

TEST_F(EndToEnd, HomingJogStopAndZero) {
    sim->set_position(1, 3.0);
    connect_and_load();
    const auto home_state = [&] {
        bool h = true;
        EXPECT_EQ(rt->get_home_state(1, h), 1);
        return h;
    };
    EXPECT_FALSE(home_state());
    ASSERT_EQ(rt->go_home(1, 20.0f), 1);
    ASSERT_TRUE(sim->wait_for_command("130:1,20.000000!", deadline_ms));
    ASSERT_TRUE(wait_until(home_state, deadline_ms));
    EXPECT_TRUE(sim->homed(1));
    EXPECT_EQ(client_pos(1), 0.0);

    ASSERT_EQ(rt->set_speed(2, 20.0f), 1);
    ASSERT_EQ(rt->jog_move(2, true), 1);
    ASSERT_TRUE(sim->wait_for_command("150:2,20.0,1!", deadline_ms));
    ASSERT_TRUE(wait_until([&] { return client_pos(2) > 0.5; }, deadline_ms));
    ASSERT_EQ(rt->stop(2, 0), 1);
    ASSERT_TRUE(sim->wait_for_still(2, deadline_ms));
    const double rest = sim->position(2);
    ASSERT_TRUE(wait_until([&] { return move_state(2) && std::fabs(client_pos(2) - rest) < 0.002; }, deadline_ms));
    ASSERT_EQ(rt->zero(2), 1);
    ASSERT_TRUE(sim->wait_for_command("170:2!", deadline_ms));
    ASSERT_TRUE(wait_until([&] { return client_pos(2) == 0.0; }, deadline_ms));
    EXPECT_EQ(sim->position(2), 0.0);
}

// Output values reach the controller (frames on the wire: poll_loop_wire_test); levels from code 5 apply at once.
TEST_F(EndToEnd, OutputValuesAndLevelsReachTheController) {
    connect_and_load();
    ASSERT_EQ(rt->set_output_value(3, 100), 1);  // level 1 from the controller
    ASSERT_TRUE(wait_until([&] { return sim->output_value(3) == 100; }, deadline_ms));
    ASSERT_EQ(rt->set_output_on(3, false), 1);
    ASSERT_TRUE(wait_until([&] { return sim->output_value(3) == 0; }, deadline_ms));
    std::string levels = "3";
    for (int i = 1; i < 24; ++i) levels += ",3";
    ASSERT_EQ(rt->cmd(5, 0, levels), 1);
    ASSERT_EQ(rt->set_output_all(true), 1);
    ASSERT_TRUE(sim->wait_for_command("180:222222222222222222222222!", deadline_ms));
    for (int o = 1; o <= 24; ++o) {
        ASSERT_TRUE(wait_until([&] { return sim->output_value(o) == 765; }, deadline_ms)) << o;
        EXPECT_EQ(sim->output_level(o), 3) << o;
    }
}

// Raw text goes out as given; commands queued in its pause follow in one batch (the pause: numbered_command_test).
TEST_F(EndToEnd, RawTextGoesOutExactlyAndItsAnswerIsReadBack) {
    connect_and_load();
    answer(5011);
    sim->clear_received();
    std::string raw = "hello raw\n";
    std::thread caller([&] { EXPECT_EQ(rt->cmd(5000, 0, raw), 1); });
    ASSERT_TRUE(sim->wait_for_command("hello raw", deadline_ms));
    std::string general = "1,2", per_axis = "x";
    EXPECT_EQ(rt->stop(0, 0), 1);
    EXPECT_EQ(rt->cmd(0, 0, general), 1);
    EXPECT_EQ(rt->cmd(100, 3, per_axis), 1);
    caller.join();
    ASSERT_TRUE(sim->wait_for_command("200:3,x!", deadline_ms));
    const auto chunks = sim->received_chunks();
    EXPECT_TRUE(std::find(chunks.begin(), chunks.end(), "hello raw\n") != chunks.end());
    std::string all;
    for (const auto& c : chunks) all += c;
    EXPECT_NE(all.find("140:0,0!2000:1,2!200:3,x!\n"), std::string::npos) << all;
    // Answered during the pause: still readable after the send, and poll passes do not replace it.
    ASSERT_TRUE(answer_becomes("echo hello raw"));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(answer(5010), "echo hello raw");
}

TEST_F(EndToEnd, FlyCaptureEndToEnd) {
    connect_and_load();
    ASSERT_EQ(rt->set_fly(0, 5, 20), 1);
    int a = 0, b = 0, c = 0;
    ASSERT_EQ(rt->get_fly(a, b, c), 1);
    EXPECT_EQ((std::array<int, 3>{a, b, c}), (std::array<int, 3>{0, 5, 20}));
    ASSERT_EQ(rt->set_speed(0, 20.0f), 1);
    ASSERT_EQ(rt->start_fly(1, 0), 1);  // at the axis's next motion, sampling every 20 ms
    ASSERT_TRUE(sim->wait_for_command("500:1,0!", deadline_ms));
    EXPECT_EQ(sim->fly_setup(), (std::array<int, 3>{0, 5, 20}));
    ASSERT_EQ(rt->single_move_to(0, 10.0), 1);

    ASSERT_TRUE(sim->wait_for_sent("520", 1, deadline_ms));
    ASSERT_TRUE(wait_until([&] { return rt->get_fly_pos(nullptr) == 5; }, deadline_ms));
    std::array<double, 5> got;
    got.fill(-1);
    ASSERT_EQ(rt->get_fly_pos(got.data()), 5);
    const std::vector<double> expected = sim->last_fly_positions();
    ASSERT_EQ(expected.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_NEAR(got[i], expected[i], 0.0011) << i;
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_LT(got[4], 10.0);
}

// A second simulator, same port, on a loopback host no other test uses (wire traffic: poll_loop_wire_test).
std::unique_ptr<sim::Simulator> start_second(int port, int& host) {
    for (host = 37; host < 250; host += 7) {
        auto s = std::make_unique<sim::Simulator>(sim_options("127.0.0." + std::to_string(host), port));
        if (s->start()) return s;
    }
    return nullptr;
}

// Code 6001 switches at once (host alone or whole address), 6000 tells the controller first.
TEST_F(EndToEnd, SwitchingControllers) {
    connect_and_load();
    ASSERT_EQ(rt->set_output_value(2, 9), 1);
    ASSERT_EQ(rt->set_output_value(7, 200), 1);
    ASSERT_TRUE(wait_until([&] { return sim->output_value(2) == 9 && sim->output_value(7) == 200; }, deadline_ms));
    int host = 0;
    auto second = start_second(sim->port(), host);
    ASSERT_NE(second, nullptr);
    const std::string host_text = std::to_string(host);
    std::string text = host_text;
    EXPECT_EQ(rt->cmd(6001, 0, text), 0);
    EXPECT_EQ(rt->mirror().controller_address.get(), "127.0.0." + host_text);
    EXPECT_EQ(rt->is_connect(), 1);
    EXPECT_TRUE(second->wait_for_client(deadline_ms));
    ASSERT_TRUE(wait_until([&] { return !sim->client_connected(); }, deadline_ms));
    // Levels and values start from nothing; the first output check sends zeros for what was sent non-zero.
    ASSERT_TRUE(second->wait_for_command("!110:", deadline_ms));
    const auto commands = second->received_commands();
    const auto frame =
        std::find_if(commands.begin(), commands.end(), [](auto& c) { return c.text.rfind("!110:", 0) == 0; });
    std::string zeros = "!110:0";
    for (int i = 1; i < 24; ++i) zeros += ",0";
    ASSERT_NE(frame, commands.end());
    EXPECT_EQ(frame->text, zeros);
    ASSERT_TRUE(wait_until([&] { return loaded(); }, deadline_ms));
    EXPECT_EQ(answer(4), "1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1");
    EXPECT_EQ(rt->mirror().output_value[6].get(), 0);

    text = "127.0.0.1";
    EXPECT_EQ(rt->cmd(6001, 5, text), 0);
    EXPECT_EQ(rt->mirror().controller_address.get(), "127.0.0.1");
    EXPECT_TRUE(sim->wait_for_connections(2, deadline_ms));
    EXPECT_EQ(rt->is_connect(), 1);

    text = host_text;
    const auto start = Clock::now();
    EXPECT_EQ(rt->cmd(6000, 0, text), 1);
    EXPECT_GE(elapsed_ms(start), 140.0);  // the restart pause
    EXPECT_TRUE(sim->wait_for_command("6000:" + host_text + "!", deadline_ms));
    std::string all;
    for (const auto& c : sim->received_chunks()) all += c;
    EXPECT_NE(all.find("6000:" + host_text + "!\n"), std::string::npos);
    EXPECT_EQ(rt->is_connect(), 1);
    EXPECT_TRUE(second->wait_for_connections(2, deadline_ms));
    ASSERT_TRUE(wait_until([&] { return loaded(); }, deadline_ms));
    EXPECT_EQ(answer(2001), "sim-for-api 7.3");

    text = "251";  // nothing listens there
    EXPECT_EQ(rt->cmd(6001, 0, text), 0);
    EXPECT_EQ(rt->is_connect(), 0);
    std::string kept = "keep";
    EXPECT_EQ(rt->cmd(5010, 0, kept), 0);
    EXPECT_EQ(kept, "keep");
    ASSERT_TRUE(wait_until([&] { return rt->mirror().reply_5010.get() == "-1"; }, deadline_ms));
    second->stop();
}

}  // namespace
}  // namespace orvane::test
