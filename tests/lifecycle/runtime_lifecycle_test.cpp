// Start, stop and restart of a Runtime: what initial() and close() leave
// behind, how long they take, and calling them out of the usual order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
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

bool counts_back(int threads, int handles) { return testing::counts_back(threads, handles, 3s); }

// And destroying the running Runtime stops everything.
TEST(RuntimeLifecycle, CloseBeforeStartTwiceAfterItAndStartAgain) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    const int threads_before = platform::thread_count(), handles_before = platform::open_handle_count();
    auto owned = std::make_unique<Runtime>(testing::loopback_config(peer.port()));
    Runtime& runtime = *owned;
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
    owned.reset();
    EXPECT_TRUE(peer.wait_for_closed(1, 2s));
    EXPECT_TRUE(counts_back(threads_before, handles_before));
}

// A close is prompt and stops the link wherever it is (its waits made a minute long); a
// connect that hangs (a full accept queue) may cost one connect time-out. Nothing is left.
enum Where { link_up, waiting_to_retry, retry_connecting, initial_connecting };
void close_promptly(Where where) {
    const bool hangs = where >= retry_connecting;
    LoopbackPeer peer;
    testing::StalledListener stalled;
    if (hangs && !stalled.ok()) GTEST_SKIP() << "could not fill a listener's accept queue here";
    if (where == waiting_to_retry) peer.stop_listening();
    RuntimeConfig config = testing::loopback_config(hangs ? stalled.port() : peer.port());
    config.link.reconnect_pause_ms = hangs ? 100 : 60000;  // hanging: mostly inside an attempt
    config.link.idle_poll_ms = 60000;
    Runtime runtime(config);
    std::atomic<int> failures{0}, attempts{0};
    runtime.link().set_error_callback([&](const std::string&) { ++failures; });
    runtime.link().set_progress_callback([&](auto& l) { attempts += l == TCPClient::text_reconnecting(); });
    auto initial = std::async(where == initial_connecting ? std::launch::async : std::launch::deferred,
                              [&] { return runtime.initial(); });
    if (where == initial_connecting) {
        ASSERT_TRUE(wait_until([&] { return runtime.link().is_running(); }, 2s));
    } else {
        EXPECT_EQ(initial.get(), where == link_up ? 1 : 0);
        // Up: the poll loop pauses after its first poll. Down: refused at once, then the pause.
        ASSERT_TRUE(where == link_up ? peer.wait_for_text("190:190\n", 2s)
                                     : wait_until([&] { return (hangs ? attempts : failures).load() >= 1; }, 5s));
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, hangs ? 1s + testing::scaled(800ms) : testing::scaled(1s));
    EXPECT_EQ(where == initial_connecting ? initial.get() : 0, 0);
    EXPECT_FALSE(runtime.link().is_running());
    if (where == waiting_to_retry) {  // several retry periods: a live reconnect thread would connect
        ASSERT_TRUE(peer.resume_listening());
        EXPECT_FALSE(peer.wait_for_accepted(1, 400ms));
    }
}

TEST(RuntimeLifecycle, CloseIsPromptWhereverTheLinkIs) {
    testing::start_lazy_runtime_threads();
    for (const Where where : {link_up, waiting_to_retry, retry_connecting, initial_connecting}) {
        SCOPED_TRACE("case " + std::to_string(where));
        const int threads = platform::thread_count(), handles = platform::open_handle_count();
        close_promptly(where);
        EXPECT_TRUE(counts_back(threads, handles)) << "threads or sockets left behind";
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
