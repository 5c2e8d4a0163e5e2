// The simulator's framing, and the running simulator through a raw client: polls, batches and what
// each fault does on the wire (the rest is exercised end to end by the library tests).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "orvane_sim/simulator.h"
#include "protocol.h"
#include "raw_client.h"

namespace orvane::sim {
namespace {

using testing::RawClient;
using Clock = std::chrono::steady_clock;
constexpr int patience_ms = 3000;

std::vector<std::string> values_of(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream payload(line.substr(line.find(':') + 1));
    for (std::string value; std::getline(payload, value, ',');) out.push_back(value);
    return out;
}

// A started simulator on loopback with a raw client connected to it.
struct Running {
    std::unique_ptr<Simulator> sim;
    RawClient client;
    Running() {
        SimulatorOptions options;
        options.bind_address = "127.0.0.1";
        options.port = 0;
        sim = std::make_unique<Simulator>(options);
        std::string error;
        EXPECT_TRUE(sim->start(&error)) << error;
        EXPECT_TRUE(client.connect(sim->port()));
        EXPECT_TRUE(sim->wait_for_client(patience_ms));
    }
    // The first status line of 42 values that passes check.
    std::optional<std::vector<std::string>> status_where(const std::function<bool(const std::vector<std::string>&)>& check) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(patience_ms);
        while (const auto line = client.line_starting("100:", patience_ms)) {
            if (Clock::now() > deadline) break;
            if (auto values = values_of(*line); values.size() == 42 && check(values)) return values;
        }
        return std::nullopt;
    }
};

TEST(SimProtocol, SplitsBatchesIntoCommandsAndTheOutputFrame) {
    const auto pieces = protocol::split_line("160:0,25.0,10.000000!170:1!!110:1,2,3");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].kind, protocol::PieceKind::command);
    EXPECT_EQ(pieces[0].code, "160");
    EXPECT_EQ(pieces[0].payload, "0,25.0,10.000000");
    EXPECT_EQ(pieces[1].text, "170:1!");
    EXPECT_EQ(pieces[2].kind, protocol::PieceKind::output_frame);
    EXPECT_EQ(pieces[2].payload, "1,2,3");

    // Unknown text after a command; a poll; a frame closed by "!" and followed by another command.
    EXPECT_EQ(protocol::split_line("170:1!junk").at(1).kind, protocol::PieceKind::unknown);
    EXPECT_EQ(protocol::split_line("2001:2001").at(0).kind, protocol::PieceKind::poll);
    const auto after = protocol::split_line("!110:0!170:2!");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].payload, "0");
    EXPECT_EQ(after[1].text, "170:2!");
}

TEST(SimServer, AnswersPollsAppliesBatchesAndStreamsStatusLines) {
    Running r;
    ASSERT_TRUE(r.client.send("190:190\n125:125\n2001:2001\n"));
    const auto levels = values_of(r.client.line_starting("190:", patience_ms).value_or(""));
    ASSERT_EQ(levels.size(), 5u);
    EXPECT_EQ(levels[0], std::string(24, '0'));
    EXPECT_EQ(values_of(r.client.line_starting("125:", patience_ms).value_or("")).size(), 126u);
    EXPECT_EQ(r.client.line_starting("2001:", patience_ms), std::optional<std::string>("2001:orvane-sim 0.1.0"));

    r.sim->set_input(3, true);
    r.sim->set_input(17, true);
    std::string frame = "!110:";
    for (int i = 1; i <= 24; ++i) frame += std::to_string(i * 10) + (i < 24 ? "," : "");
    const std::string sent = frame + "\n170:1!180:FFFFFFFFFFFFFFFFFFFFFFFF!" + frame + "\n";
    ASSERT_TRUE(r.client.send(sent));
    ASSERT_TRUE(r.sim->wait_for_commands("!110:", 2, patience_ms));
    const auto commands = r.sim->received_commands();
    ASSERT_EQ(commands.size(), 7u);  // the three polls, then the batch
    EXPECT_EQ(commands[4].text + commands[5].text, "170:1!180:FFFFFFFFFFFFFFFFFFFFFFFF!");
    EXPECT_EQ(commands[6].text, frame);
    EXPECT_EQ(r.sim->output_value(24), 240);
    EXPECT_EQ(r.sim->output_level(7), 16);
    const auto status = r.status_where([](const auto& v) { return v[41] == "240"; });
    ASSERT_TRUE(status);
    // Axes 0..3 standing still, the type, the inputs, the first output.
    EXPECT_EQ((std::vector<std::string>{(*status)[12], (*status)[13], (*status)[14], (*status)[15], (*status)[17],
                                        (*status)[18]}),
              (std::vector<std::string>{"85", "5", "2", "4", "1", "10"}));
}

// What each fault does as the client sees it.
TEST(SimServer, FaultEffectsOnTheWire) {
    enum class Wire { cut_line, reset, refused, no_reply, whole_reply, late_reply, trickled_reply };
    struct Case { const char* name; std::function<void(Simulator&)> enable; Wire wire; int FaultCounters::*counter; };
    const Case cases[] = {
        {"timed mid-line drop", [](Simulator& s) { s.set_drop_style(DropStyle::mid_line); s.set_drop_after(50); },
         Wire::cut_line, &FaultCounters::mid_line_closes},
        {"random drops by reset", [](Simulator& s) { s.set_drop_style(DropStyle::reset); s.set_random_drops(10, 60); },
         Wire::reset, &FaultCounters::resets},
        {"refused connection", [](Simulator& s) { s.refuse_connections(1); }, Wire::refused,
         &FaultCounters::refused_connections},
        {"silence", [](Simulator& s) { s.set_silent(true); }, Wire::no_reply, &FaultCounters::silenced_lines},
        {"garbage", [](Simulator& s) { s.set_garbage(1.0); }, Wire::whole_reply, &FaultCounters::garbage_lines},
        {"merged replies", [](auto& s) { s.set_merge_window(100); }, Wire::whole_reply, &FaultCounters::merged_sends},
        {"delayed replies", [](auto& s) { s.set_reply_delay(300); }, Wire::late_reply, &FaultCounters::delayed_lines},
        {"trickle", [](Simulator& s) { s.set_trickle(1); }, Wire::trickled_reply, &FaultCounters::trickled_lines},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(fault.name);
        Running r;
        RawClient& c = r.client;
        const bool ends = fault.wire == Wire::cut_line || fault.wire == Wire::reset || fault.wire == Wire::refused;
        if (!ends) {  // no status lines: only the replies to the probe below come
            r.sim->set_status_period(0);
            while (c.next_line(50)) continue;
        }
        fault.enable(*r.sim);
        const auto sent = Clock::now();
        const std::size_t receives = c.receive_sizes().size();
        if (fault.wire == Wire::refused) {
            RawClient refused;
            ASSERT_TRUE(refused.connect(r.sim->port()));
            EXPECT_TRUE(refused.wait_closed(patience_ms));
        } else if (ends) {
            ASSERT_TRUE(c.wait_closed(patience_ms));  // (a reset looks like a close under wine)
            EXPECT_TRUE(fault.wire != Wire::cut_line || (!c.pending().empty() && c.pending().back() != '\n'));
        } else if (!c.send("190:190\n2001:2001\n")) {
            ADD_FAILURE() << "send failed";
        } else if (fault.wire == Wire::no_reply) {
            EXPECT_FALSE(c.next_line(150));
        } else {
            EXPECT_EQ(c.line_starting("2001:", patience_ms), std::optional<std::string>("2001:orvane-sim 0.1.0"));
            ASSERT_TRUE(r.sim->wait_for_sent("2001", 1, patience_ms));  // the counters move before this
            EXPECT_TRUE(fault.wire != Wire::late_reply || Clock::now() - sent >= std::chrono::milliseconds(250));
            EXPECT_TRUE(fault.wire != Wire::trickled_reply || c.receive_sizes().size() - receives > 20u);
        }
        EXPECT_GE(r.sim->fault_counters().*fault.counter, 1);
    }
}

}  // namespace
}  // namespace orvane::sim
