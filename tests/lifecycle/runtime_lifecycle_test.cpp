// Start, stop and restart of a Runtime: what initial() and close() leave
// behind (threads, sockets, the link's reconnection), how long they take,
// and calling them out of the usual order.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "api/runtime.h"
#include "support/loopback_peer.h"
#include "support/loopback_runtime.h"
#include "support/process_counts.h"
#include "support/time_scale.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;
using testing::wait_until;
using Clock = std::chrono::steady_clock;

// Counts the reconnect thread's attempts through its progress lines.
class AttemptCounter {
public:
    void attach(TCPClient& link) {
        link.set_progress_callback([this](const std::string& line) {
            if (line == TCPClient::text_reconnecting()) ++attempts_;
        });
    }
    int attempts() const { return attempts_.load(); }

private:
    std::atomic<int> attempts_{0};
};

// True once the thread count is back at count. Where threads cannot be
// counted, true, and the test is reported as skipped.
bool threads_back_to(int count) {
    if (!testing::thread_count_checkable()) return true;
    return wait_until([&] { return platform::thread_count() == count; }, 3s);
}

TEST(RuntimeLifecycle, CloseBeforeInitialAndTwiceAfterItReturnsOneAndStaysClosed) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_FALSE(peer.wait_for_accepted(1, 50ms));
    // Closed twice after a start, it stays closed and starts again.
    ASSERT_EQ(runtime.initial(), 1);
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_FALSE(runtime.link().is_running());
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));
    EXPECT_EQ(runtime.initial(), 1);
    EXPECT_EQ(runtime.close(), 1);
}

TEST(RuntimeLifecycle, CloseWithTheLinkUpLeavesTheMirrorDisconnected) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    ASSERT_EQ(runtime.initial(), 1);
    testing::fill_polled_fields(runtime.mirror());
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_FALSE(runtime.link().is_running());
    EXPECT_FALSE(runtime.link().is_connected());
    for (std::size_t i = 0; i < io_total; ++i) EXPECT_EQ(runtime.mirror().output_level[i].get(), 0);
    EXPECT_EQ(runtime.mirror().version_text.get(), "");
    EXPECT_TRUE(peer.wait_for_closed(0, 2s));
}

TEST(RuntimeLifecycle, CloseWhileTheLinkIsDownStopsItsReconnection) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    Runtime runtime(testing::loopback_config(peer.port()));  // retries every 50 ms
    AttemptCounter counter;
    counter.attach(runtime.link());
    const int threads_before = platform::thread_count();

    EXPECT_EQ(runtime.initial(), 0);
    ASSERT_TRUE(wait_until([&] { return counter.attempts() >= 2; }, 3s));
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_FALSE(runtime.link().is_running());
    const int attempts = counter.attempts();

    ASSERT_TRUE(peer.resume_listening());
    // Several retry periods: a live reconnect thread would have connected.
    EXPECT_FALSE(peer.wait_for_accepted(1, 400ms));
    EXPECT_EQ(counter.attempts(), attempts);
    EXPECT_EQ(runtime.is_connect(), 0);
    EXPECT_TRUE(threads_back_to(threads_before));
}

// The link's own waits made a minute long: a close that sat out one of them
// instead of cutting it short would take far longer than the bound the
// tests below hold it to.
LinkTimings minute_long_waits() {
    LinkTimings timings;
    timings.reconnect_pause_ms = 60000;
    timings.idle_poll_ms = 60000;
    return timings;
}

TEST(RuntimeLifecycle, CloseIsPromptWithTheLinkUp) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    RuntimeConfig config = testing::loopback_config(peer.port());
    config.link = minute_long_waits();
    Runtime runtime(config);
    ASSERT_EQ(runtime.initial(), 1);
    // The poll loop is in the pause after its first poll.
    ASSERT_TRUE(peer.wait_for_text("190:190\n", 2s));
    const auto started = Clock::now();
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_LT(Clock::now() - started, testing::scaled(1s));
}

TEST(RuntimeLifecycle, CloseIsPromptWhileTheLinkWaitsToRetry) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    RuntimeConfig config = testing::loopback_config(peer.port());
    config.link = minute_long_waits();
    Runtime runtime(config);
    std::atomic<int> failures{0};
    runtime.link().set_error_callback([&](const std::string&) { ++failures; });
    runtime.link().set_progress_callback([](const std::string&) {});

    EXPECT_EQ(runtime.initial(), 0);
    // A refused attempt ends at once; the reconnect thread then waits.
    ASSERT_TRUE(wait_until([&] { return failures.load() >= 1; }, 5s));
    const auto started = Clock::now();
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_LT(Clock::now() - started, testing::scaled(1s));
}

// Codes 6000 and 6001 switch controllers on the calling thread: stop, a
// pause, then a start at the new address. A close from another thread
// during the pause ends the call early and stays a close: the start after
// the pause does not happen, then or later.
TEST(RuntimeLifecycle, CloseDuringTheSwitchPauseOfCodes6000And6001StaysClosed) {
    struct Case {
        int code;
        int returns;
        bool tells;  // sends "6000:<text>!" to the controller first
    };
    for (const Case c : {Case{6000, 1, true}, Case{6001, 0, false}}) {
        SCOPED_TRACE("code " + std::to_string(c.code));
        LoopbackPeer peer;
        ASSERT_TRUE(peer.ok());
        RuntimeConfig config = testing::loopback_config(peer.port());
        // A call that sat out its pause would take a minute.
        config.restart_pause_ms = 60000;
        config.quick_restart_pause_ms = 60000;
        Runtime runtime(config);
        ASSERT_EQ(runtime.initial(), 1);
        ASSERT_TRUE(peer.wait_for_accepted(1, 2s));

        // Host 1: the address it has, so a start after the pause would show
        // as a second connection to the same peer.
        auto switched = std::async(std::launch::async, [&] {
            std::string text = "1";
            return runtime.cmd(c.code, 0, text);
        });
        // The switch closes the link before its pause, under the lock that
        // close() takes: once the peer sees the close, a close() counts
        // against this pause.
        ASSERT_TRUE(peer.wait_for_closed(0, 5s));
        if (c.tells) {
            EXPECT_TRUE(peer.wait_for_text("6000:1!\n", 2s));
        }
        EXPECT_EQ(runtime.close(), 1);
        ASSERT_EQ(switched.wait_for(testing::scaled(5s)), std::future_status::ready)
            << "the switch sat out its pause after a close";
        EXPECT_EQ(switched.get(), c.returns);

        EXPECT_EQ(runtime.is_connect(), 0);
        EXPECT_FALSE(runtime.link().is_running());
        EXPECT_EQ(runtime.mirror().controller_address.get(), "127.0.0.1");
        // Several of the link's 50 ms retry periods: nothing connects.
        EXPECT_FALSE(peer.wait_for_accepted(2, 300ms));
        EXPECT_EQ(runtime.is_connect(), 0);
        // Only code 6000 tells the controller before it switches.
        EXPECT_EQ(peer.text(0).find("6000:") != std::string::npos, c.tells) << peer.text(0);
    }
}

TEST(RuntimeLifecycle, InitialAfterCloseStartsAfresh) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    ASSERT_EQ(runtime.initial(), 1);
    ASSERT_EQ(runtime.close(), 1);
    ASSERT_TRUE(peer.wait_for_closed(0, 2s));

    EXPECT_EQ(runtime.initial(), 1);
    EXPECT_EQ(runtime.is_connect(), 1);
    ASSERT_TRUE(peer.wait_for_accepted(2, 2s));
    // A live poll loop: polls, then a queued command.
    runtime.pending().append("130:1!");
    EXPECT_TRUE(peer.wait_for_text("130:1!\n", 2s));
    EXPECT_EQ(peer.text(1).rfind("190:190\n", 0), 0u);
    EXPECT_EQ(peer.accepted(), 2) << "no connection but the two sessions'";
}

TEST(RuntimeLifecycle, InitialWhileRunningStartsNoSecondLoopAndKeepsTheCallbacks) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    Runtime runtime(testing::loopback_config(peer.port()));
    const int threads_idle = platform::thread_count();
    ASSERT_EQ(runtime.initial(), 1);
    const int threads_running = platform::thread_count();

    std::mutex mutex;
    std::vector<std::string> seen;
    runtime.link().set_data_callback([&](std::string chunk) {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(chunk));
    });
    EXPECT_EQ(runtime.initial(), 1);
    EXPECT_EQ(runtime.is_connect(), 1);
    EXPECT_EQ(platform::thread_count(), threads_running);
    EXPECT_FALSE(peer.wait_for_accepted(2, 50ms));

    // One loop: the polls come once each, in order.
    ASSERT_TRUE(wait_until([&] { return peer.text(0).size() >= 26; }, 2s));
    EXPECT_EQ(peer.text(0).substr(0, 26), "190:190\n125:125\n2001:2001\n");

    // The callback installed after the first initial() is still in place.
    ASSERT_TRUE(peer.send("5010:hello\n"));
    EXPECT_TRUE(wait_until(
        [&] {
            std::lock_guard lock(mutex);
            return !seen.empty();
        },
        2s));
    EXPECT_EQ(runtime.close(), 1);
    EXPECT_TRUE(threads_back_to(threads_idle));
}

TEST(RuntimeLifecycle, InitialWithTheControllerAbsentReturnsZeroAndConnectsLater) {
    LoopbackPeer peer;
    ASSERT_TRUE(peer.ok());
    peer.stop_listening();
    Runtime runtime(testing::loopback_config(peer.port()));
    EXPECT_EQ(runtime.initial(), 0);
    EXPECT_EQ(runtime.is_connect(), 0);
    runtime.pending().append("130:1!");

    ASSERT_TRUE(peer.resume_listening());
    ASSERT_TRUE(wait_until([&] { return runtime.is_connect() == 1; }, 3s));
    // Commands queued while down go out once the link is up.
    EXPECT_TRUE(peer.wait_for_text("130:1!\n", 2s));
    EXPECT_EQ(peer.text(0).rfind("190:190\n", 0), 0u);
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
    if (testing::handle_count_checkable()) {
        EXPECT_EQ(platform::open_handle_count(), handles_before);
    }
}

TEST(RuntimeLifecycle, ConnectionChangesResetWhatThePollLoopAsksFor) {
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
    ASSERT_TRUE(wait_until([&] { return mirror.version_text.size() == 0; }, 2s));
    ASSERT_TRUE(peer.wait_for_accepted(2, 3s));
    ASSERT_TRUE(wait_until([&] { return runtime.is_connect() == 1; }, 2s));
    EXPECT_EQ(mirror.output_level[io_total - 1].get(), 0);
    EXPECT_LT(mirror.axis_params[0].float_field(field::max_speed), 0.1f);
    EXPECT_EQ(mirror.status_count.get(), 0);
    // Kept across the reconnect.
    EXPECT_EQ(mirror.output_value[2].get(), 48);
    EXPECT_TRUE(mirror.outputs_synced.load());
}

}  // namespace
}  // namespace orvane
