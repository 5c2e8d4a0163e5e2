// What the poll loop puts on the wire: the polls of a first pass, batching and
// framing of queued commands, the output frame, and silence while paused.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/runtime.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;

std::string frame_of(const std::array<int, io_total>& values) {
    std::string frame = "!110:" + std::to_string(values[0]);
    for (std::size_t i = 1; i < values.size(); ++i) frame += "," + std::to_string(values[i]);
    return frame;
}

class PollLoopWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        runtime = std::make_unique<Runtime>(testing::loopback_config(peer.port()));
    }

    ControllerMirror& mirror() { return runtime->mirror(); }

    // Connected, the loop held idle and the polled fields known: from unpause() on it sends
    // queued commands and outputs only.
    void start_quiet() {
        mirror().poll_paused.store(true);
        ASSERT_EQ(runtime->initial(), 1);
        testing::fill_polled_fields(mirror());
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    }
    void unpause() { mirror().poll_paused.store(false); }

    // Queues a marker and waits for it on the wire: all the loop sent before is there too.
    bool sync_with_loop(const std::string& marker) {
        runtime->pending().append(marker);
        return peer.wait_for_text(marker + "\n", 2s);
    }

    LoopbackPeer peer;
    std::unique_ptr<Runtime> runtime;
};

TEST_F(PollLoopWire, FirstPassPollsInOrderAboutTwentyMsApartBeforeQueuedCommands) {
    runtime->pending().append("130:1!");
    ASSERT_EQ(runtime->initial(), 1);
    ASSERT_TRUE(peer.wait_for_text("130:1!\n", 2s));

    const std::string expected = "190:190\n125:125\n2001:2001\n130:1!\n";
    ASSERT_EQ(peer.text(0).substr(0, expected.size()), expected);

    // Each poll is a send of its own, about 20 ms after the one before: each line's
    // arrival (that of the chunk that completes it) against the line before.
    std::string seen;
    std::vector<LoopbackPeer::Clock::time_point> arrivals;
    for (const auto& chunk : peer.chunks(0)) {
        seen += chunk.bytes;
        while (arrivals.size() < 4 && std::count(seen.begin(), seen.end(), '\n') > std::ssize(arrivals)) {
            arrivals.push_back(chunk.at);
        }
    }
    ASSERT_EQ(arrivals.size(), 4u);
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 15ms);
        EXPECT_LT(arrivals[i] - arrivals[i - 1], testing::scaled(150ms));
    }
}

TEST_F(PollLoopWire, CommandsQueuedBetweenPassesGoOutInOneSendWithOneLineFeedShortOnesNot) {
    start_quiet();
    for (const char* command : {"130:1!", "140:2,0!", "160:2,25.0,100.500000!"}) runtime->pending().append(command);
    unpause();
    const std::string batch = "130:1!140:2,0!160:2,25.0,100.500000!\n";
    ASSERT_TRUE(peer.wait_for_text(batch, 2s));
    EXPECT_EQ(peer.chunks(0).size(), 1u) << peer.text();

    // With everything known, the loop adds no polls of its own; batches under five characters are dropped.
    for (const std::string small : {"12!", "1234"}) {
        runtime->pending().append(small);
        ASSERT_TRUE(wait_until([&] { return runtime->pending().empty(); }, 2s));
    }
    ASSERT_TRUE(sync_with_loop("12345"));
    EXPECT_EQ(peer.text(), batch + "12345\n");
}

TEST_F(PollLoopWire, ChangedOutputsGoOutAloneAndAgainAtTheEndOfTheBatch) {
    start_quiet();
    std::this_thread::sleep_for(10ms);  // the first output check falls 5 ms after the loop started
    mirror().outputs_synced.store(true);
    mirror().output_value[0].set(16);
    mirror().output_value[23].set(-5);
    runtime->pending().append("130:1!");
    unpause();
    std::array<int, io_total> values{16};
    values[23] = -5;
    const std::string frame = frame_of(values);
    const std::string expected = frame + "\n130:1!" + frame + "\n";
    ASSERT_TRUE(peer.wait_for_text(expected, 2s)) << peer.text();
    EXPECT_EQ(peer.text(), expected);
    EXPECT_EQ(std::make_pair(mirror().output_sent[0].get(), mirror().output_sent[23].get()), std::make_pair(16, -5));

    // A lone change: the frame alone, then the frame as the whole batch.
    peer.clear();
    mirror().output_value[5].set(values[5] = 7);
    const std::string lone = frame_of(values) + "\n" + frame_of(values) + "\n";
    ASSERT_TRUE(peer.wait_for_text(lone, 2s)) << peer.text();
    EXPECT_EQ(peer.text(), lone);
}

// No output frame for an output set and set back between two checks, nor before the outputs were synced.
TEST_F(PollLoopWire, NoOutputFrameWithoutAChangeOrBeforeTheOutputsWereSynced) {
    for (const bool synced : {true, false}) {
        SCOPED_TRACE(synced ? "set and set back" : "not synced");
        runtime.reset();
        peer.clear();
        runtime = std::make_unique<Runtime>(testing::loopback_config(peer.port()));
        start_quiet();
        mirror().outputs_synced.store(synced);
        mirror().output_value[3].set(9);  // the loop is paused: no output check yet
        if (synced) mirror().output_value[3].set(0);
        unpause();
        ASSERT_TRUE(sync_with_loop("130:1!"));
        std::this_thread::sleep_for(10ms);  // the next pass falls after the next output check was due
        ASSERT_TRUE(sync_with_loop("130:2!"));
        EXPECT_EQ(peer.text(), "130:1!\n130:2!\n");
        EXPECT_EQ(mirror().output_sent[3].get(), 0);
    }
}

TEST_F(PollLoopWire, NothingIsSentWhilePausedAndQueuedCommandsWait) {
    start_quiet();
    mirror().output_level[io_total - 1].set(0);  // a poll would be due
    mirror().outputs_synced.store(true);
    mirror().output_value[1].set(3);
    runtime->pending().append("130:1!");
    EXPECT_FALSE(peer.wait_for([&] { return peer.size() > 0; }, 150ms)) << peer.text();  // several idle periods
    EXPECT_FALSE(runtime->pending().empty());

    unpause();
    ASSERT_TRUE(peer.wait_for_text("130:1!", 2s));
    EXPECT_EQ(peer.text().rfind("190:190\n", 0), 0u) << peer.text();
}

TEST_F(PollLoopWire, Reply5010ReadsMinusOneWhileDisconnected) {
    start_quiet();
    unpause();
    mirror().reply_5010.set("answer");
    ASSERT_TRUE(sync_with_loop("130:1!"));
    EXPECT_EQ(mirror().reply_5010.get(), "answer");  // left alone while connected
    peer.stop_listening();  // the link stays down
    ASSERT_TRUE(peer.close_connection(0));
    EXPECT_TRUE(wait_until([&] { return mirror().reply_5010.get() == "-1"; }, 1s));
}

}  // namespace
}  // namespace orvane
