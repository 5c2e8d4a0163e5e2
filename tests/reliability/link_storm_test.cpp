// Link-drop storm (orderly, mid-line, reset) under host traffic: every drop seen, a command queued while down
// sent exactly once, nothing left behind. Drops: ORVANE_REL_DROPS (short pause; 20), ORVANE_REL_DEFAULT_DROPS (5).
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "reliability_support.h"
#include "support/process_counts.h"
#include "support/time_scale.h"

namespace orvane::reliability {
namespace {

// Watches the link's connection changes on their way to the Runtime. A loss handler waits until the test has
// queued its command: the link reports no reconnection before it returns, so the command is queued while down.
struct ConnectionWatch {
    struct Event {
        bool up;
        Clock::time_point when;
        bool flag_after;  // is_connect() right after the Runtime's handler
    };

    explicit ConnectionWatch(Runtime& rt) : rt_(rt) {
        rt_.link().set_connection_callback([this](bool up) {
            rt_.on_connection_change(up);
            const bool flag = rt_.is_connect() == 1;
            std::unique_lock lock(mutex_);
            events_.push_back({up, Clock::now(), flag});
            cv_.notify_all();
            // Bounded: a test that stopped listening must not hang the link.
            const long entry = released_;
            if (!up && holding_) cv_.wait_for(lock, std::chrono::seconds(2), [&] { return released_ > entry; });
        });
    }

    // The first change to up at or after index from, waiting for it; -1 if none.
    int wait_for(bool up, std::size_t from, int timeout_ms) {
        std::unique_lock lock(mutex_);
        int found = -1;
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (std::size_t i = from; i < events_.size() && found < 0; ++i) {
                if (events_[i].up == up) found = static_cast<int>(i);
            }
            return found >= 0;
        });
        return found;
    }

    // Lets a held loss handler return; with stop, lets every later one pass.
    void release(bool stop = false) {
        std::lock_guard lock(mutex_);
        ++released_;
        holding_ = holding_ && !stop;
        cv_.notify_all();
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    Runtime& rt_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    bool holding_ = true;
    long released_ = 0;
};

// How many received moves end in tail (the coordinates of one queued move).
int copies_of(const sim::Simulator& simulator, const std::string& tail) {
    int copies = 0;
    for (const auto& c : simulator.received_commands()) {
        copies += c.text.rfind("161:", 0) == 0 && c.text.size() >= tail.size() &&
                  c.text.compare(c.text.size() - tail.size(), tail.size(), tail) == 0;
    }
    return copies;
}

void run_storm(int drops, bool fast_timings, const std::string& name) {
    const Baseline baseline{};
    double worst_rise_ms = 0;
    {
        auto simulator = start_simulator();
        ASSERT_TRUE(simulator);
        auto rt = quiet_runtime(simulator->port(), fast_timings);
        // The longest a reconnection may take: the rest of the pause after the one before, the idle look, one
        // attempt that sits out the connect time-out (a refused one can, under Windows), a scaled second.
        const LinkTimings& link = rt->config().link;
        const double rise_limit = link.reconnect_pause_ms + link.idle_poll_ms + link.connect_timeout_ms +
                                  orvane::testing::scaled_ms(1000.0);
        ASSERT_EQ(rt->initial(), 1);
        ConnectionWatch watch(*rt);
        ASSERT_TRUE(wait_until([&] { return rt->mirror().version_text.size() >= 2; }, 3000));

        auto traffic = std::make_unique<HostTraffic>(*rt, 7);
        std::vector<std::string> queued_while_down;
        int steady_threads = -1;
        Watchdog watchdog(name, 60000 + drops * 8000);
        for (int d = 0; d < drops; ++d) {
            SCOPED_TRACE("drop " + std::to_string(d));
            ASSERT_TRUE(wait_until([&] { return rt->is_connect() == 1; }, 5000));
            const std::size_t mark = watch.events().size();
            switch (d % 3) {
                case 0: simulator->drop_client(); break;
                case 1: simulator->drop_client_mid_line(); break;
                default: simulator->reset_client(); break;
            }
            const int fall = watch.wait_for(false, mark, 3000);
            ASSERT_GE(fall, 0) << "the connection flag did not fall";
            const ConnectionWatch::Event fell = watch.events()[static_cast<std::size_t>(fall)];
            EXPECT_FALSE(fell.flag_after);
            EXPECT_EQ(rt->is_connect(), 0);  // the loss handler waits for this: down right now
            const double x = 1000.0 + d + 0.125, y = -2000.0 - d - 0.25, z = 3000.0 + d + 0.5;
            EXPECT_EQ(rt->xyz_move_to(x, y, z), 1);
            char tail[96];
            std::snprintf(tail, sizeof tail, ",%f,%f,%f!", x, y, z);
            queued_while_down.push_back(tail);
            watch.release();

            const int rise = watch.wait_for(true, static_cast<std::size_t>(fall) + 1, 10000);
            ASSERT_GE(rise, 0) << "the connection flag did not rise again";
            const double rise_ms =
                std::chrono::duration<double, std::milli>(watch.events()[std::size_t(rise)].when - fell.when).count();
            worst_rise_ms = std::max(worst_rise_ms, rise_ms);
            EXPECT_LT(rise_ms, rise_limit);
            EXPECT_TRUE(wait_until([&] { return copies_of(*simulator, tail) > 0; }, 3000))
                << "the command queued while down never arrived; connections " << simulator->connection_count();
            // Threads settle after the first reconnection (callback workers start on first use).
            if (d == 0) {
                steady_threads = platform::thread_count();
            } else if (orvane::testing::process_counts_known()) {
                EXPECT_TRUE(wait_until([&] { return platform::thread_count() == steady_threads; }, 3000))
                    << platform::thread_count() << " threads, steady " << steady_threads;
            }
        }
        traffic.reset();
        // Exactly once across all drops; one connection per drop and the start: none connected twice.
        for (const std::string& tail : queued_while_down) EXPECT_EQ(copies_of(*simulator, tail), 1) << tail;
        EXPECT_TRUE(simulator->wait_for_connections(drops + 1, 3000));
        EXPECT_EQ(simulator->connection_count(), drops + 1);
        watch.release(/*stop=*/true);
        EXPECT_EQ(rt->close(), 1);
        EXPECT_EQ(rt->is_connect(), 0);
    }
    EXPECT_TRUE(baseline.back());
    std::printf("FIGURE %s: %d drops, worst fall-to-rise %.1f ms\n", name.c_str(), drops, worst_rise_ms);
}

TEST(LinkStorm, DropsWithShortReconnectPause) {
    run_storm(static_cast<int>(env_long("ORVANE_REL_DROPS", 20)), true, "storm_fast");
}

// With the library's own timings: the 3 s pause after each reconnection.
TEST(LinkStorm, DropsWithDefaultTimings) {
    run_storm(static_cast<int>(env_long("ORVANE_REL_DEFAULT_DROPS", 5)), false, "storm_default");
}

}  // namespace
}  // namespace orvane::reliability
