// Sessions on the wire (what close and a switch send and forget, unended lines); link messages.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "api/runtime.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        runtime = std::make_unique<Runtime>(testing::loopback_config(peer.port()));
    }

    // Connected, polling held back: queued commands go out once the hold (or the session) ends.
    void start_held() {
        runtime->mirror().poll_paused.store(true);
        ASSERT_EQ(runtime->initial(), 1);
        testing::fill_polled_fields(runtime->mirror());
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    }

    // Everything the loop sent before this marker is at the peer.
    bool sync(const std::string& marker) {
        runtime->pending().append(marker);
        return peer.wait_for_text(marker + "\n", 2s);
    }

    LoopbackPeer peer;
    std::unique_ptr<Runtime> runtime;
};

TEST_F(Session, CloseWithTheLinkUpSendsWhatIsQueuedInOneLastPass) {
    start_held();
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
    runtime->mirror().poll_paused.store(false);
    ASSERT_TRUE(sync("170:0!"));
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
    ASSERT_TRUE(sync("170:0!"));
    EXPECT_EQ(peer.text().find("161:"), std::string::npos) << peer.text();
}

TEST_F(Session, ALinkDropKeepsTheQueueForTheReconnection) {
    start_held();
    peer.stop_listening();
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(wait_until([&] { return runtime->is_connect() == 0; }, 2s));
    ASSERT_EQ(runtime->xyz_move_to(1, 2, 3), 1);
    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    testing::fill_polled_fields(runtime->mirror());
    runtime->mirror().poll_paused.store(false);
    ASSERT_TRUE(sync("170:0!"));
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
    start_held();
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
