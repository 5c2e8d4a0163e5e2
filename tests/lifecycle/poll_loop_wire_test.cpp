// What the poll loop puts on the wire (first-pass polls, batching, the output frame, silence while paused);
// sessions on the wire (what close and a switch send and forget, unended lines); link messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
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

// Sessions: connected, polling held back, queued commands go out once the hold (or the session) ends.
class Session : public PollLoopWire {};

TEST_F(Session, CloseWithTheLinkUpSendsWhatIsQueuedInOneLastPass) {
    start_quiet();
    runtime->mirror().outputs_synced.store(true);
    runtime->mirror().output_value[2].set(7);
    ASSERT_EQ(runtime->xyz_move_to(1, 2, 3), 1);
    ASSERT_EQ(runtime->close(), 1);
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));
    const std::string sent = peer.text(0);  // the move and the output change, no polls
    EXPECT_NE(sent.find("161:"), std::string::npos) << sent;
    EXPECT_NE(sent.find("!110:0,0,7,"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("190:190"), std::string::npos) << sent;

    // The next session starts with an empty queue (no output frame: it would follow the marker).
    runtime->mirror().outputs_synced.store(false);
    ASSERT_EQ(runtime->initial(), 1);
    testing::fill_polled_fields(runtime->mirror());
    unpause();
    ASSERT_TRUE(sync_with_loop("170:0!"));
    EXPECT_EQ(peer.text(1).find("161:"), std::string::npos) << peer.text(1);
}

TEST_F(Session, NothingQueuedOnceTheCloseHasBegunIsSentLater) {
    peer.stop_listening();
    ASSERT_EQ(runtime->initial(), 0);
    ASSERT_EQ(runtime->xyz_move_to(1, 2, 3), 1);  // queued while down
    ASSERT_EQ(runtime->close(), 1);                // down: forgotten
    ASSERT_EQ(runtime->xyz_move_to(4, 5, 6), 1);  // between sessions: dropped
    ASSERT_TRUE(peer.resume_listening());
    ASSERT_EQ(runtime->initial(), 1);
    testing::fill_polled_fields(runtime->mirror());
    ASSERT_TRUE(sync_with_loop("170:0!"));
    EXPECT_EQ(peer.text().find("161:"), std::string::npos) << peer.text();
}

TEST_F(Session, ALinkDropKeepsTheQueueForTheReconnection) {
    start_quiet();
    peer.stop_listening();
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(wait_until([&] { return runtime->is_connect() == 0; }, 2s));
    ASSERT_EQ(runtime->xyz_move_to(1, 2, 3), 1);
    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    testing::fill_polled_fields(runtime->mirror());
    unpause();
    ASSERT_TRUE(sync_with_loop("170:0!"));
    const std::string sent = peer.text(1);
    ASSERT_NE(sent.find("161:"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("161:"), sent.rfind("161:")) << "exactly once: " << sent;
}

// Codes 6000 and 6001 end the session with the old controller: what was queued goes to it alone.
TEST_F(Session, SwitchingControllersLeavesTheOldQueueWithTheOldController) {
    for (const int code : {6001, 6000}) {
        SCOPED_TRACE(code);
        LoopbackPeer old_peer("127.0.0.1");
        ASSERT_TRUE(old_peer.ok());
        LoopbackPeer new_peer("127.0.0.2", old_peer.port());
        ASSERT_TRUE(new_peer.ok());
        Runtime rt(testing::loopback_config(old_peer.port(), "1"));
        rt.mirror().poll_paused.store(true);
        ASSERT_EQ(rt.initial(), 1);
        testing::fill_polled_fields(rt.mirror());
        ASSERT_EQ(rt.xyz_move_to(1, 2, 3), 1);

        std::string host = "2";
        rt.cmd(code, 0, host);
        ASSERT_TRUE(old_peer.wait_for_closed(0, 2s));
        EXPECT_NE(old_peer.text(0).find("161:"), std::string::npos) << old_peer.text(0);
        ASSERT_TRUE(new_peer.wait_for_accepted(1, 2s));
        rt.mirror().poll_paused.store(false);
        rt.pending().append("170:0!");
        ASSERT_TRUE(new_peer.wait_for_text("170:0!\n", 2s));
        EXPECT_EQ(new_peer.text().find("161:"), std::string::npos) << new_peer.text();
    }
}

// A reply with nothing after it is taken once the controller falls quiet; an unended one of a
// dropped connection does not join the next.
TEST_F(Session, UnendedLines) {
    start_quiet();
    ASSERT_TRUE(peer.send("2001:V7"));
    EXPECT_TRUE(wait_until([&] { return runtime->mirror().version_text.get() == "V7"; }, 2s));
    ASSERT_TRUE(peer.send("5010:OLD"));
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    ASSERT_TRUE(peer.send("5010:NEW\n", 1));
    EXPECT_TRUE(wait_until([&] { return runtime->mirror().reply_5010.get() == "NEW"; }, 2s));
}

TEST(LinkMessages, ConsoleChoiceFromTheEnvironmentText) {
    EXPECT_EQ(console_log_from_text(nullptr), ConsoleLog::standard_output);
    EXPECT_EQ(console_log_from_text("bogus"), ConsoleLog::standard_output);
    EXPECT_EQ(console_log_from_text("stdout"), ConsoleLog::standard_output);
    EXPECT_EQ(console_log_from_text("stderr"), ConsoleLog::standard_error);
    EXPECT_EQ(console_log_from_text("off"), ConsoleLog::off);
}

TEST(LinkMessages, ConsoleLinesGoToTheChosenStreamAsGbk) {
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    write_console_line(ConsoleLog::standard_error, TCPClient::text_reconnecting());
    write_console_line(ConsoleLog::off, TCPClient::text_reconnected());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), TCPClient::text_reconnecting() + "\n");
}

TEST(LinkMessages, AHandlerGetsUtf8TextWithALevelInsteadOfTheConsole) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    std::mutex mutex;
    std::vector<std::pair<MessageLevel, std::string>> messages;
    RuntimeConfig config = testing::loopback_config(peer.port());
    config.console = ConsoleLog::standard_output;
    config.log = [&](MessageLevel level, const std::string& text) {
        std::lock_guard lock(mutex);
        messages.emplace_back(level, text);
    };
    ::testing::internal::CaptureStdout();
    {
        Runtime rt(config);
        EXPECT_EQ(rt.initial(), 0);
        ASSERT_TRUE(wait_until([&] { std::lock_guard lock(mutex); return messages.size() >= 2; }, 2s));
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    std::lock_guard lock(mutex);
    EXPECT_EQ(messages[0], std::make_pair(MessageLevel::info, std::string("\xE5\xB0\x9D\xE8\xAF\x95\xE9\x87\x8D\xE6\x96\xB0\xE8\xBF\x9E\xE6\x8E\xA5...")));
    EXPECT_EQ(messages[1], std::make_pair(MessageLevel::warning, std::string("\xE9\x87\x8D\xE6\x96\xB0\xE8\xBF\x9E\xE6\x8E\xA5\xE5\xA4\xB1\xE8\xB4\xA5")));
}

TEST(LinkMessages, EveryLinkTextBecomesValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {TCPClient::text_send_failed(), "\xE5\x8F\x91\xE9\x80\x81\xE5\xA4\xB1\xE8\xB4\xA5"},
        {TCPClient::text_reconnected(), "\xE9\x87\x8D\xE6\x96\xB0\xE8\xBF\x9E\xE6\x8E\xA5\xE6\x88\x90\xE5\x8A\x9F!"},
        {TCPClient::text_socket_create_failed() + TCPClient::text_error_code() + "10093)",
         "\xE5\x88\x9B\xE5\xBB\xBAsocket\xE5\xA4\xB1\xE8\xB4\xA5 (\xE9\x94\x99\xE8\xAF\xAF\xE7\xA0\x81: 10093)"},
        {"\xFF\xFE" "x", "??x"},
    };
    for (const auto& [gbk, utf8] : cases) EXPECT_EQ(link_text_to_utf8(gbk), utf8);
}

}  // namespace
}  // namespace orvane
