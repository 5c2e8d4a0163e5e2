// The running simulator, through a raw loopback client: framing of polls,
// status lines and batches, and what each fault does on the wire (the
// rest of the simulator is exercised end to end by the library tests).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "orvane_sim/simulator.h"
#include "raw_client.h"

namespace orvane::sim {
namespace {

using testing::RawClient;
using Clock = std::chrono::steady_clock;

constexpr int patience_ms = 3000;  // generous: the machine may be busy

std::vector<std::string> values_of(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream payload(line.substr(line.find(':') + 1));
    std::string value;
    while (std::getline(payload, value, ',')) out.push_back(value);
    return out;
}

SimulatorOptions loopback() {
    SimulatorOptions options;
    options.bind_address = "127.0.0.1";
    options.port = 0;
    return options;
}

class Server : public ::testing::Test {
protected:
    void start(SimulatorOptions options = loopback()) {
        sim = std::make_unique<Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        ASSERT_TRUE(client.connect(sim->port()));
        ASSERT_TRUE(sim->wait_for_client(patience_ms));
    }
    void SetUp() override { start(); }

    // The first status line whose values pass check.
    std::optional<std::vector<std::string>> status_where(const std::function<bool(const std::vector<std::string>&)>& check) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(patience_ms);
        while (Clock::now() < deadline) {
            const auto line = client.line_starting("100:", patience_ms);
            if (!line) break;
            auto values = values_of(*line);
            if (check(values)) return values;
        }
        return std::nullopt;
    }

    std::unique_ptr<Simulator> sim;
    RawClient client;
};

TEST_F(Server, AnswersThePollsOfTheLibrary) {
    ASSERT_TRUE(client.send("190:190\n"));
    const auto levels = client.line_starting("190:", patience_ms);
    ASSERT_TRUE(levels);
    const auto level_values = values_of(*levels);
    ASSERT_EQ(level_values.size(), 5u);
    EXPECT_EQ(level_values[0], std::string(24, '0'));

    ASSERT_TRUE(client.send("125:125\n"));
    const auto params = client.line_starting("125:", patience_ms);
    ASSERT_TRUE(params);
    EXPECT_EQ(values_of(*params).size(), 126u);

    ASSERT_TRUE(client.send("2001:2001\n"));
    EXPECT_EQ(client.line_starting("2001:", patience_ms), std::optional<std::string>("2001:orvane-sim 0.1.0"));

    EXPECT_TRUE(sim->wait_for_command("2001:2001", patience_ms));
    EXPECT_EQ(sim->command_count("190:190"), 1u);
    EXPECT_TRUE(sim->wait_for_sent("2001", 1, patience_ms));
}

TEST_F(Server, StreamsStatusLinesWithInputs) {
    sim->set_input(3, true);
    sim->set_input(17, true);
    const auto status = status_where([](const auto& v) { return v.size() == 42 && v[15] == "4"; });
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)[12], "85");  // axes 0..3 standing still
    EXPECT_EQ((*status)[13], "5");
    EXPECT_EQ((*status)[14], "2");
    EXPECT_EQ((*status)[17], "1");
    EXPECT_TRUE(sim->input(17));
    EXPECT_TRUE(sim->wait_for_sent("100", 1, patience_ms));
}

TEST_F(Server, AppliesABatchAndTheOutputFrameSentTwice) {
    std::string frame = "!110:";
    for (int i = 1; i <= 24; ++i) frame += std::to_string(i * 10) + (i < 24 ? "," : "");
    ASSERT_TRUE(client.send(frame + "\n" + "170:1!180:FFFFFFFFFFFFFFFFFFFFFFFF!" + frame + "\n"));
    ASSERT_TRUE(sim->wait_for_commands("!110:", 2, patience_ms));
    const auto commands = sim->received_commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[1].text, "170:1!");
    EXPECT_EQ(commands[2].text, "180:FFFFFFFFFFFFFFFFFFFFFFFF!");
    EXPECT_EQ(commands[3].text, frame);
    EXPECT_LE(commands[0].time_ms, commands[3].time_ms);
    EXPECT_EQ(sim->output_value(1), 10);
    EXPECT_EQ(sim->output_value(24), 240);
    EXPECT_EQ(sim->output_level(7), 16);
    const auto status = status_where([](const auto& v) { return v.size() == 42 && v[41] == "240"; });
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)[18], "10");
    std::string chunks;
    for (const std::string& chunk : sim->received_chunks()) chunks += chunk;
    EXPECT_EQ(chunks, frame + "\n" + "170:1!180:FFFFFFFFFFFFFFFFFFFFFFFF!" + frame + "\n");
}

TEST_F(Server, NewConnectionReplacesTheOldOne) {
    RawClient second;
    ASSERT_TRUE(second.connect(sim->port()));
    ASSERT_TRUE(sim->wait_for_connections(2, patience_ms));
    EXPECT_TRUE(client.wait_closed(patience_ms));
    EXPECT_TRUE(second.line_starting("100:", patience_ms));
    EXPECT_TRUE(sim->client_connected());
    EXPECT_EQ(sim->connection_count(), 2);
}

TEST_F(Server, DropsOnRequest) {
    sim->drop_client();
    EXPECT_TRUE(client.wait_closed(patience_ms));
    EXPECT_FALSE(sim->client_connected());
    EXPECT_FALSE(sim->send_raw("x\n"));
}

TEST_F(Server, NoticesTheClientLeaving) {
    client.close();
    EXPECT_TRUE(sim->wait_for_disconnect(patience_ms));
    EXPECT_FALSE(sim->client_connected());
    EXPECT_EQ(sim->connection_count(), 1);
}

TEST_F(Server, FaultRefusesConnections) {
    sim->refuse_connections(2);
    for (int i = 0; i < 2; ++i) {
        RawClient refused;
        ASSERT_TRUE(refused.connect(sim->port()));
        EXPECT_TRUE(refused.wait_closed(patience_ms));
    }
    RawClient served;
    ASSERT_TRUE(served.connect(sim->port()));
    EXPECT_TRUE(served.line_starting("100:", patience_ms));
    EXPECT_EQ(sim->fault_counters().refused_connections, 2);
    EXPECT_EQ(sim->connection_count(), 2);
}

TEST_F(Server, FaultSilenceStopsAnswersAndStatus) {
    sim->set_silent(true);
    // Whatever was queued before drains; then nothing more comes.
    while (client.next_line(100)) {
    }
    ASSERT_TRUE(client.send("190:190\n"));
    EXPECT_FALSE(client.next_line(150));
    EXPECT_GT(sim->fault_counters().silenced_lines, 1);
    sim->set_silent(false);
    EXPECT_TRUE(client.line_starting("100:", patience_ms));
}

TEST_F(Server, FaultTimedDropCutsALine) {
    sim->set_drop_style(DropStyle::mid_line);
    sim->set_drop_after(50);
    ASSERT_TRUE(client.wait_closed(patience_ms));
    ASSERT_FALSE(client.pending().empty());
    EXPECT_NE(client.pending().back(), '\n');  // ends in the head of a status line
    const FaultCounters counters = sim->fault_counters();
    EXPECT_EQ(counters.timed_drops, 1);
    EXPECT_EQ(counters.mid_line_closes, 1);
    // The next connection lives 50 ms too.
    sim->set_drop_style(DropStyle::orderly);
    RawClient again;
    ASSERT_TRUE(again.connect(sim->port()));
    EXPECT_TRUE(again.wait_closed(patience_ms));
    EXPECT_EQ(sim->fault_counters().timed_drops, 2);
}

TEST_F(Server, FaultRandomDropsAndReset) {
    sim->set_drop_style(DropStyle::reset);
    sim->set_random_drops(10, 60);
    ASSERT_TRUE(client.wait_closed(patience_ms));
    EXPECT_EQ(sim->fault_counters().resets, 1);
    sim->set_random_drops(0, 0);
    RawClient second;
    ASSERT_TRUE(second.connect(sim->port()));
    ASSERT_TRUE(sim->wait_for_connections(2, patience_ms));
    sim->reset_client();
    EXPECT_TRUE(second.wait_closed(patience_ms));
    EXPECT_EQ(sim->fault_counters().resets, 2);
}

TEST_F(Server, FaultGarbageLeavesRealLinesWhole) {
    sim->set_garbage(1.0);
    ASSERT_TRUE(client.send("2001:2001\n"));
    const auto version = client.line_starting("2001:", patience_ms);
    ASSERT_TRUE(version);
    EXPECT_EQ(*version, "2001:orvane-sim 0.1.0");
    EXPECT_GT(sim->fault_counters().garbage_lines, 0);
}

TEST_F(Server, FaultDelayHoldsRepliesBack) {
    sim->set_status_period(0);
    sim->set_reply_delay(300);
    const auto sent = Clock::now();
    ASSERT_TRUE(client.send("2001:2001\n"));
    ASSERT_TRUE(client.line_starting("2001:", patience_ms));
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(250));
    EXPECT_GE(sim->fault_counters().delayed_lines, 1);
}

TEST_F(Server, FaultMergeAndTrickle) {
    sim->set_status_period(0);
    while (client.next_line(50)) {
    }
    sim->set_merge_window(100);
    ASSERT_TRUE(client.send("190:190\n125:125\n2001:2001\n"));
    EXPECT_TRUE(client.line_starting("2001:", patience_ms));
    // Counters move before the sent lines are counted.
    ASSERT_TRUE(sim->wait_for_sent("2001", 1, patience_ms));
    EXPECT_GE(sim->fault_counters().merged_sends, 1);

    sim->set_merge_window(0);
    sim->set_trickle(1);
    ASSERT_TRUE(client.send("2001:2001\n"));
    EXPECT_EQ(client.line_starting("2001:", patience_ms), std::optional<std::string>("2001:orvane-sim 0.1.0"));
    ASSERT_TRUE(sim->wait_for_sent("2001", 2, patience_ms));
    EXPECT_EQ(sim->fault_counters().trickled_lines, 1);
    EXPECT_GT(client.receive_sizes().size(), 10u);
}

TEST_F(Server, SendsInjectedText) {
    ASSERT_TRUE(sim->send_raw("520:0,1,2\n"));
    EXPECT_EQ(client.line_starting("520:", patience_ms), std::optional<std::string>("520:0,1,2"));
}

}  // namespace
}  // namespace orvane::sim
