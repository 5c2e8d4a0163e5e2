// Link-drop storm: the simulator drops the connection over and over (orderly,
// mid-line and with a reset, in turn) while a host thread keeps sending.
// Every drop must be seen (the connection flag falls, then rises again),
// a command queued while the link is down goes out exactly once after it is
// back, and no thread or socket is left behind.
//
// Sizes: ORVANE_REL_DROPS (short reconnect pause; CI 20, full run 100) and
// ORVANE_REL_DEFAULT_DROPS (the library's default timings; CI 5, full 20).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "reliability_support.h"
#include "support/time_scale.h"

namespace orvane::reliability {
namespace {

// Watches the link's connection changes on their way to the Runtime. On a
// loss it lets the test's host thread queue its command before the handler
// returns: the link reports no reconnection before that, so the command is
// certainly queued while the library counts as disconnected.
class ConnectionWatch {
public:
    explicit ConnectionWatch(Runtime& rt) : rt_(rt) {
        rt_.link().set_connection_callback([this](bool up) { on_change(up); });
    }

    struct Event {
        bool up;
        Clock::time_point when;
        bool flag_after;  // is_connect() right after the Runtime's handler
    };

    void on_change(bool up) {
        rt_.on_connection_change(up);
        const bool flag = rt_.is_connect() == 1;
        std::unique_lock lock(mutex_);
        events_.push_back({up, Clock::now(), flag});
        cv_.notify_all();
        if (!up && hold_losses_) {
            // Bounded: a test that stopped listening must not hang the link.
            const long entry = released_;
            cv_.wait_for(lock, std::chrono::seconds(2), [&] { return released_ > entry; });
        }
    }

    // Waits for the first change to up at or after index from; its index, or -1.
    int wait_for(bool up, std::size_t from, int timeout_ms) {
        std::unique_lock lock(mutex_);
        int found = -1;
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (std::size_t i = from; i < events_.size(); ++i) {
                if (events_[i].up == up) {
                    found = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // Lets a held loss handler return.
    void release() {
        {
            std::lock_guard lock(mutex_);
            ++released_;
        }
        cv_.notify_all();
    }

    void stop_holding() {
        std::lock_guard lock(mutex_);
        hold_losses_ = false;
        ++released_;
        cv_.notify_all();
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }

private:
    Runtime& rt_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    bool hold_losses_ = true;
    long released_ = 0;
};

std::string six(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", v);
    return buffer;
}

struct StormFigures {
    int drops = 0;
    int falls_seen = 0;
    int rises_seen = 0;
    double worst_fall_ms = 0;  // drop to flag falling
    double worst_rise_ms = 0;  // flag falling to flag rising
    int traffic_calls = 0;
};

// How long after a loss the link may take to be back: the rest of the
// reconnect thread's pause after the reconnection before (a drop follows
// each reconnection at once here), its idle look, and one attempt that
// runs into the connect time-out (as a refused attempt can under Windows
// sockets), plus a second of slack stretched by the run's time scale. A
// reconnection that sat out a second pause would take longer.
double rise_limit_ms(const LinkTimings& link) {
    return link.reconnect_pause_ms + link.idle_poll_ms + link.connect_timeout_ms +
           orvane::testing::scaled_ms(1000.0);
}

void run_storm(int drops, bool fast_timings, const std::string& name) {
    const int threads_before = thread_count();
    const int handles_before = handle_count();
    StormFigures fig;
    fig.drops = drops;
    {
        auto simulator = start_simulator();
        ASSERT_TRUE(simulator);
        Runtime rt(sim_config(simulator->port(), fast_timings));
        const double rise_limit = rise_limit_ms(rt.config().link);
        quiet_progress(rt);
        ASSERT_EQ(rt.initial(), 1);
        ConnectionWatch watch(rt);
        ASSERT_TRUE(wait_until([&] { return rt.mirror().version_text.size() >= 2; }, 3000));
        int steady_threads = -1;

        // The host's continuous traffic: moves, outputs and free commands,
        // refused while the link is down.
        std::atomic<bool> traffic_on{true};
        std::atomic<int> traffic_calls{0};
        std::thread traffic([&] {
            std::mt19937 rng(7);
            while (traffic_on.load()) {
                const int axis = static_cast<int>(rng() % 6);
                switch (rng() % 4) {
                    case 0: rt.single_move_to(axis, static_cast<double>(rng() % 200) - 100.0); break;
                    case 1: rt.set_output_on(static_cast<int>(rng() % 24) + 1, rng() % 2 == 0); break;
                    case 2: {
                        std::string text = "7";
                        rt.cmd(0, axis, text);
                        break;
                    }
                    default: {
                        double pos[6];
                        rt.get_pos(pos);
                    }
                }
                ++traffic_calls;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });

        std::vector<std::string> queued_while_down;
        Watchdog watchdog(name, 60000 + drops * 8000);
        for (int d = 0; d < drops; ++d) {
            ASSERT_TRUE(wait_until([&] { return rt.is_connect() == 1; }, 5000)) << "drop " << d;
            const std::size_t mark = watch.size();
            const auto dropped_at = Clock::now();
            switch (d % 3) {
                case 0: simulator->drop_client(); break;
                case 1: simulator->drop_client_mid_line(); break;
                default: simulator->reset_client(); break;
            }
            const int fall = watch.wait_for(false, mark, 3000);
            ASSERT_GE(fall, 0) << "drop " << d << ": the connection flag did not fall";
            ++fig.falls_seen;
            const auto events = watch.events();
            EXPECT_FALSE(events[static_cast<std::size_t>(fall)].flag_after) << "drop " << d;
            fig.worst_fall_ms = std::max(fig.worst_fall_ms,
                                         std::chrono::duration<double, std::milli>(
                                             events[static_cast<std::size_t>(fall)].when - dropped_at)
                                             .count());
            // The loss handler waits for this: the link is down right now.
            EXPECT_EQ(rt.is_connect(), 0);
            const double x = 1000.0 + d + 0.125, y = -2000.0 - d - 0.25, z = 3000.0 + d + 0.5;
            EXPECT_EQ(rt.xyz_move_to(x, y, z), 1);
            queued_while_down.push_back("," + six(x) + "," + six(y) + "," + six(z) + "!");
            watch.release();

            const int rise = watch.wait_for(true, static_cast<std::size_t>(fall) + 1, 10000);
            ASSERT_GE(rise, 0) << "drop " << d << ": the connection flag did not rise again";
            ++fig.rises_seen;
            const auto after = watch.events();
            const double rise_ms = std::chrono::duration<double, std::milli>(
                                       after[static_cast<std::size_t>(rise)].when -
                                       after[static_cast<std::size_t>(fall)].when)
                                       .count();
            fig.worst_rise_ms = std::max(fig.worst_rise_ms, rise_ms);
            EXPECT_LT(rise_ms, rise_limit) << "drop " << d;
            // The command queued while down goes out once the link is back.
            const std::string& tail = queued_while_down.back();
            EXPECT_TRUE(wait_until(
                [&] {
                    for (const auto& c : simulator->received_commands()) {
                        if (c.text.size() >= tail.size() && c.text.rfind("161:", 0) == 0 &&
                            c.text.compare(c.text.size() - tail.size(), tail.size(), tail) == 0)
                            return true;
                    }
                    return false;
                },
                3000))
                << "drop " << d << ": the command queued while down never arrived" << [&] {
                       std::string t;
                       for (const auto& e : watch.events()) {
                           t += std::string("\n  ") + (e.up ? "up" : "down") + " at " +
                                std::to_string(std::chrono::duration<double, std::milli>(e.when - dropped_at).count()) +
                                " ms";
                       }
                       return t + "\n  connections accepted " + std::to_string(simulator->connection_count());
                   }();
            // Threads settle back to their number after the first reconnection
            // (the link starts its callback workers on first use).
            if (d == 0) {
                steady_threads = thread_count();
            } else if (counts_reliable()) {
                EXPECT_TRUE(wait_until([&] { return thread_count() == steady_threads; }, 3000))
                    << "drop " << d << ": " << thread_count() << " threads, steady " << steady_threads;
            }
        }
        traffic_on.store(false);
        traffic.join();
        fig.traffic_calls = traffic_calls.load();

        // Exactly once: no command queued while down was sent twice, even
        // across the later drops.
        const auto received = simulator->received_commands();
        for (const std::string& tail : queued_while_down) {
            int copies = 0;
            for (const auto& c : received) {
                if (c.text.rfind("161:", 0) == 0 && c.text.size() >= tail.size() &&
                    c.text.compare(c.text.size() - tail.size(), tail.size(), tail) == 0)
                    ++copies;
            }
            EXPECT_EQ(copies, 1) << tail;
        }
        // One connection for the start and one for each drop: no
        // reconnection connected twice.
        EXPECT_TRUE(simulator->wait_for_connections(drops + 1, 3000));
        EXPECT_EQ(simulator->connection_count(), drops + 1);
        watch.stop_holding();
        EXPECT_EQ(rt.close(), 1);
        EXPECT_EQ(rt.is_connect(), 0);
        simulator->stop();
    }
    EXPECT_TRUE(counts_return_to(threads_before, handles_before, 3000))
        << "threads " << thread_count() << " (before " << threads_before << "), handles " << handle_count()
        << " (before " << handles_before << ")";
    char text[256];
    std::snprintf(text, sizeof text,
                  "%d drops, %d falls and %d rises seen, worst drop-to-fall %.1f ms, worst fall-to-rise %.1f ms, "
                  "%d host calls during the storm",
                  fig.drops, fig.falls_seen, fig.rises_seen, fig.worst_fall_ms, fig.worst_rise_ms, fig.traffic_calls);
    figure(name, text);
}

TEST(LinkStorm, DropsWithShortReconnectPause) {
    run_storm(static_cast<int>(env_long("ORVANE_REL_DROPS", 20)), true, "storm_fast");
}

TEST(LinkStorm, DropsWithDefaultTimings) {
    // With the library's own timings: the 3 s pause after each reconnection.
    run_storm(static_cast<int>(env_long("ORVANE_REL_DEFAULT_DROPS", 5)), false, "storm_default");
}

}  // namespace
}  // namespace orvane::reliability
