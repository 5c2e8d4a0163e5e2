// Start, stop and restart of a Runtime: what initial() and close() leave
// behind, how long they take, and calling them out of the usual order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include "api/runtime.h"
#include "platform/platform.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"
#include "support/process_counts.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;

// True once the thread count is back at count (or, as a skip, when it cannot be told).
bool threads_back_to(int count) {
    return !testing::thread_count_checkable() || wait_until([&] { return platform::thread_count() == count; }, 3s);
}

TEST(RuntimeLifecycle, CloseBeforeStartTwiceAfterItAndStartAgain) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_FALSE(peer.wait_for_accepted(1, 50ms));

    ASSERT_EQ(runtime.initial(), 1);
    testing::fill_polled_fields(runtime.mirror());
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_FALSE(runtime.link().is_running());
    // What the poll loop asks for is unknown again.
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(runtime.mirror().output_level[i].get(), 0);
    EXPECT_EQ(runtime.mirror().version_text.get(), "");
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));

    // A fresh session with a live poll loop: polls first, then a queued command.
    EXPECT_EQ(runtime.initial(), 1);
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    runtime.pending().append("130:1!");
    EXPECT_TRUE(peer.wait_for_text("130:1!\n", 2s));
    EXPECT_EQ(peer.text(1).rfind("190:190\n", 0), 0u);
    EXPECT_EQ(runtime.close(), 1);
}

TEST(RuntimeLifecycle, CloseWhileTheLinkIsDownStopsItsReconnection) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    Runtime runtime(testing::loopback_config(peer.port()));  // retries every 50 ms
    std::atomic<int> attempts{0};
    runtime.link().set_progress_callback([&](const std::string& line) {
        if (line == TCPClient::text_reconnecting()) ++attempts;
    });
    const int threads_before = platform::thread_count();
    EXPECT_EQ(runtime.initial(), 0);
    ASSERT_TRUE(wait_until([&] { return attempts.load() >= 2; }, 3s));
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_FALSE(runtime.link().is_running());
    const int attempts_at_close = attempts.load();
    ASSERT_TRUE(peer.resume_listening());
    // Several retry periods: a live reconnect thread would have connected.
    EXPECT_FALSE(peer.wait_for_accepted(1, 400ms));
    EXPECT_EQ(attempts.load(), attempts_at_close);
    EXPECT_TRUE(threads_back_to(threads_before));
}

// The link's waits made a minute long: a close must cut them short.
TEST(RuntimeLifecycle, CloseIsPromptWithTheLinkUpAndWhileItWaitsToRetry) {
    for (const bool link_up : {true, false}) {
        SCOPED_TRACE(link_up ? "link up" : "waiting to retry");
        LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        if (!link_up) peer.stop_listening();
        RuntimeConfig config = testing::loopback_config(peer.port());
        config.link.reconnect_pause_ms = 60000;
        config.link.idle_poll_ms = 60000;
        Runtime runtime(config);
        std::atomic<int> failures{0};
        runtime.link().set_error_callback([&](const std::string&) { ++failures; });
        runtime.link().set_progress_callback([](const std::string&) {});
        EXPECT_EQ(runtime.initial(), link_up ? 1 : 0);
        // Up: the poll loop pauses after its first poll. Down: refused at once, then the pause.
        ASSERT_TRUE(link_up ? peer.wait_for_text("190:190\n", 2s) : wait_until([&] { return failures.load() >= 1; }, 5s));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(runtime.close(), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - started, testing::scaled(1s));
    }
}

// Codes 6000 and 6001 switch controllers on the calling thread: stop, a pause, then a start at
// the new address. A close from another thread during the pause ends the call and stays a close.
TEST(RuntimeLifecycle, CloseDuringTheSwitchPauseOfCodes6000And6001StaysClosed) {
    for (const auto& [code, returns, tells] : {std::tuple{6000, 1, true}, std::tuple{6001, 0, false}}) {
        SCOPED_TRACE("code " + std::to_string(code));
        LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        RuntimeConfig config = testing::loopback_config(peer.port());
        config.restart_pause_ms = 60000;  // a call that sat out its pause would take a minute
        config.quick_restart_pause_ms = 60000;
        Runtime runtime(config);
        ASSERT_EQ(runtime.initial(), 1);
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
        // Host 1, the address it has: a start after the pause would be a second connection.
        auto switched = std::async(std::launch::async, [&, code = code] {
            std::string text = "1";
            return runtime.cmd(code, 0, text);
        });
        // The switch closes the link before its pause, under the lock close() takes.
        ASSERT_TRUE(peer.wait_for_closed(0, 5s));
        EXPECT_TRUE(!tells || peer.wait_for_text("6000:1!\n", 2s));
        EXPECT_EQ(runtime.close(), 1);
        ASSERT_EQ(switched.wait_for(testing::scaled(5s)), std::future_status::ready) << "sat out its pause";
        EXPECT_EQ(switched.get(), returns);
        EXPECT_FALSE(runtime.link().is_running());
        EXPECT_EQ(runtime.mirror().controller_address.get(), "127.0.0.1");
        EXPECT_FALSE(peer.wait_for_accepted(2, 300ms));
        EXPECT_EQ(peer.text(0).find("6000:") != std::string::npos, tells) << peer.text(0);
    }
}

TEST(RuntimeLifecycle, InitialWhileRunningStartsNoSecondLoopAndKeepsTheCallbacks) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    ASSERT_EQ(runtime.initial(), 1);
    const int threads_running = platform::thread_count();
    std::atomic<bool> seen{false};
    runtime.link().set_data_callback([&](std::string) { seen.store(true); });
    EXPECT_EQ(runtime.initial(), 1);
    EXPECT_EQ(runtime.is_connect(), 1);
    EXPECT_EQ(platform::thread_count(), threads_running);
    EXPECT_FALSE(peer.wait_for_accepted(2, 50ms));
    // One loop: the polls come once each, in order.
    ASSERT_TRUE(wait_until([&] { return peer.text(0).size() >= 26; }, 2s));
    EXPECT_EQ(peer.text(0).substr(0, 26), "190:190\n125:125\n2001:2001\n");
    // The callback installed after the first initial() is still in place.
    ASSERT_TRUE(peer.send("5010:hello\n"));
    EXPECT_TRUE(wait_until([&] { return seen.load(); }, 2s));
    EXPECT_EQ(runtime.close(), 1);
}

TEST(RuntimeLifecycle, DestroyingARunningRuntimeStopsEverything) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const int threads_before = platform::thread_count();
    const int handles_before = platform::open_handle_count();
    {
        Runtime runtime(testing::loopback_config(peer.port()));
        ASSERT_EQ(runtime.initial(), 1);
        ASSERT_TRUE(peer.wait_for_text("190:190\n", 2s));
    }
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));
    EXPECT_TRUE(threads_back_to(threads_before));
    ASSERT_TRUE(peer.wait_for_open_connections(0, 2s));
    EXPECT_TRUE(!testing::handle_count_checkable() || platform::open_handle_count() == handles_before);
}

TEST(RuntimeLifecycle, AReconnectionResetsWhatThePollLoopAsksForAndPollsAgain) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    ASSERT_EQ(runtime.initial(), 1);
    ControllerMirror& mirror = runtime.mirror();
    testing::fill_polled_fields(mirror);
    mirror.status_count.set(25);
    mirror.output_value[2].set(48);
    mirror.outputs_synced.store(true);
    ASSERT_TRUE(peer.wait_for_accepted(1, 2s));
    ASSERT_TRUE(peer.close_connection(0));
    ASSERT_TRUE(peer.wait_for_accepted(2, 3s));
    ASSERT_TRUE(wait_until([&] { return runtime.is_connect() == 1; }, 2s));
    EXPECT_EQ(mirror.output_level[io_total - 1].get(), 0);
    EXPECT_LT(mirror.axis_params[0].float_field(field::max_speed), 0.1f);
    EXPECT_EQ(mirror.status_count.get(), 0);
    EXPECT_EQ(mirror.output_value[2].get(), 48);  // kept across the reconnect
    EXPECT_TRUE(mirror.outputs_synced.load());
    EXPECT_TRUE(wait_until([&] {  // and the three polls go out again
        const std::string t = peer.text(1);
        return t.find("190:190\n") != t.npos && t.find("125:125\n") != t.npos && t.find("2001:2001\n") != t.npos;
    }, 2s)) << peer.text(1);
}

}  // namespace
}  // namespace orvane
