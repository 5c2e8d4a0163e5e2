// What the poll loop puts on the wire, as the far end sees it: the polls of
// a first pass, batching and framing of queued commands, the output frame,
// and silence while paused, down or closed.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "api/runtime.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;

constexpr const char* all_polls = "190:190\n125:125\n2001:2001\n";

std::string frame_of(const std::array<int, io_total>& values) {
    std::string frame = "!110:";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) frame += ',';
        frame += std::to_string(values[i]);
    }
    return frame;
}

class PollLoopWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        runtime = std::make_unique<Runtime>(testing::loopback_config(peer.port()));
    }
    void TearDown() override { runtime.reset(); }

    ControllerMirror& mirror() { return runtime->mirror(); }

    // Connected, with the poll loop held idle and the polled fields known,
    // so that from unpause() on the loop sends queued commands and outputs
    // only.
    void start_quiet() {
        mirror().poll_paused.store(true);
        ASSERT_EQ(runtime->initial(), 1);
        testing::fill_polled_fields(mirror());
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    }
    void unpause() { mirror().poll_paused.store(false); }

    // Queues a marker command and waits until it is on the wire: everything
    // the loop sent before that pass is then at the peer too.
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

    const std::string expected = std::string(all_polls) + "130:1!\n";
    ASSERT_EQ(peer.text(0).substr(0, expected.size()), expected);

    // Each poll is a send of its own, about 20 ms after the one before.
    const auto chunks = peer.chunks(0);
    auto arrival_of = [&](const std::string& text) {
        std::string seen;
        for (const auto& chunk : chunks) {
            seen += chunk.bytes;
            if (seen.find(text) != std::string::npos) return chunk.at;
        }
        return LoopbackPeer::Clock::time_point{};
    };
    const auto levels = arrival_of("190:190\n");
    const auto params = arrival_of("125:125\n");
    const auto version = arrival_of("2001:2001\n");
    const auto command = arrival_of("130:1!\n");
    // At least the pause (a lower bound cannot fail for a slow machine);
    // the upper bound, well above it, stretches with the run's time scale.
    for (const auto& [earlier, later] : {std::pair{levels, params}, {params, version}, {version, command}}) {
        EXPECT_GE(later - earlier, 15ms);
        EXPECT_LT(later - earlier, testing::scaled(150ms));
    }
}

TEST_F(PollLoopWire, CommandsQueuedBetweenPassesGoOutInOneSendInOrderWithOneLineFeed) {
    start_quiet();
    runtime->pending().append("130:1!");
    runtime->pending().append("140:2,0!");
    runtime->pending().append("160:2,25.0,100.500000!");
    unpause();
    const std::string batch = "130:1!140:2,0!160:2,25.0,100.500000!\n";
    ASSERT_TRUE(peer.wait_for_text(batch, 2s));
    const auto chunks = peer.chunks(0);
    ASSERT_EQ(chunks.size(), 1u) << peer.text();
    EXPECT_EQ(chunks[0].bytes, batch);

    // With everything known, the loop adds no polls of its own.
    ASSERT_TRUE(sync_with_loop("170:3!"));
    EXPECT_EQ(peer.text(), batch + "170:3!\n");
}

TEST_F(PollLoopWire, BatchesUnderFiveCharactersAreDropped) {
    start_quiet();
    unpause();
    for (const std::string small : {"12!", "1234"}) {
        runtime->pending().append(small);
        ASSERT_TRUE(wait_until([&] { return runtime->pending().empty(); }, 2s));
    }
    ASSERT_TRUE(sync_with_loop("12345"));
    EXPECT_EQ(peer.text(), "12345\n");
}

TEST_F(PollLoopWire, ChangedOutputsGoOutAloneAndAgainAtTheEndOfTheBatch) {
    start_quiet();
    // The first output check falls more than 5 ms after the loop started.
    std::this_thread::sleep_for(10ms);
    mirror().outputs_synced.store(true);
    mirror().output_value[0].set(16);
    mirror().output_value[23].set(-5);
    runtime->pending().append("130:1!");
    unpause();

    std::array<int, io_total> values{};
    values[0] = 16;
    values[23] = -5;
    const std::string frame = frame_of(values);
    const std::string expected = frame + "\n" + "130:1!" + frame + "\n";
    ASSERT_TRUE(peer.wait_for_text(expected, 2s)) << peer.text();
    EXPECT_EQ(peer.text(), expected);
    EXPECT_EQ(mirror().output_sent[0].get(), 16);
    EXPECT_EQ(mirror().output_sent[23].get(), -5);

    // A lone change: the frame alone, then the frame as the whole batch.
    peer.clear();
    mirror().output_value[5].set(7);
    values[5] = 7;
    const std::string lone = frame_of(values) + "\n" + frame_of(values) + "\n";
    ASSERT_TRUE(peer.wait_for_text(lone, 2s)) << peer.text();
    EXPECT_EQ(peer.text(), lone);
}

TEST_F(PollLoopWire, AnOutputSetAndSetBackBetweenChecksSendsNothing) {
    start_quiet();
    mirror().outputs_synced.store(true);
    // The loop has been paused since it started: no output check yet.
    mirror().output_value[3].set(9);
    mirror().output_value[3].set(0);
    unpause();
    ASSERT_TRUE(sync_with_loop("130:1!"));
    // Another pass well after the next output check was due.
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(sync_with_loop("130:2!"));
    EXPECT_EQ(peer.text(), "130:1!\n130:2!\n");
}

TEST_F(PollLoopWire, NoOutputFrameBeforeTheOutputsWereSynced) {
    start_quiet();
    unpause();
    mirror().output_value[0].set(16);
    ASSERT_TRUE(sync_with_loop("130:1!"));
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(sync_with_loop("130:2!"));
    EXPECT_EQ(peer.text(), "130:1!\n130:2!\n");
    EXPECT_EQ(mirror().output_sent[0].get(), 0);
}

TEST_F(PollLoopWire, NothingIsSentWhilePausedAndQueuedCommandsWait) {
    start_quiet();
    mirror().output_level[io_total - 1].set(0);  // a poll would be due
    mirror().outputs_synced.store(true);
    mirror().output_value[1].set(3);
    runtime->pending().append("130:1!");
    // Several idle periods of the loop.
    EXPECT_FALSE(peer.wait_for([&] { return peer.size() > 0; }, 150ms)) << peer.text();
    EXPECT_FALSE(runtime->pending().empty());

    unpause();
    ASSERT_TRUE(peer.wait_for_text("130:1!", 2s));
    EXPECT_EQ(peer.text().rfind("190:190\n", 0), 0u) << peer.text();
}

TEST_F(PollLoopWire, Reply5010ReadsMinusOneWhileDisconnected) {
    peer.stop_listening();
    EXPECT_EQ(runtime->initial(), 0);
    mirror().reply_5010.set("stale");
    EXPECT_TRUE(wait_until([&] { return mirror().reply_5010.get() == "-1"; }, 1s));

    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(wait_until([&] { return runtime->is_connect() == 1; }, 3s));
    testing::fill_polled_fields(mirror());
    mirror().reply_5010.set("answer");
    ASSERT_TRUE(sync_with_loop("130:1!"));
    EXPECT_EQ(mirror().reply_5010.get(), "answer");  // left alone while polling

    peer.stop_listening();  // the link stays down
    ASSERT_TRUE(peer.close_connection(0));
    EXPECT_TRUE(wait_until([&] { return mirror().reply_5010.get() == "-1"; }, 1s));
}

TEST_F(PollLoopWire, NothingIsSentAfterClose) {
    start_quiet();
    unpause();
    ASSERT_TRUE(sync_with_loop("130:1!"));
    EXPECT_EQ(runtime->close(), 1);
    EXPECT_EQ(runtime->is_connect(), 0);
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));
    runtime->pending().append("130:2!");
    mirror().outputs_synced.store(true);
    mirror().output_value[0].set(1);
    EXPECT_FALSE(peer.wait_for_accepted(2, 200ms));
    EXPECT_EQ(peer.text(), "130:1!\n");
}

TEST_F(PollLoopWire, TheThreePollsAreSentAgainAfterAReconnect) {
    start_quiet();
    unpause();
    ASSERT_TRUE(sync_with_loop("130:1!"));
    EXPECT_EQ(peer.text(0), "130:1!\n");

    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(peer.wait_for_accepted(2, 3s));
    ASSERT_TRUE(wait_until([&] { return runtime->is_connect() == 1; }, 2s));
    ASSERT_TRUE(wait_until([&] { return peer.text(1).size() >= std::string(all_polls).size(); }, 2s));
    EXPECT_EQ(peer.text(1).substr(0, std::string(all_polls).size()), all_polls);
}

}  // namespace
}  // namespace orvane
