// Eight host threads call every Runtime operation at random while the link drops: no crash, deadlock or race
// (also under ThreadSanitizer), then a working library that left nothing behind (ORVANE_REL_STRESS_S, 15 s).
// And plain start/stop cycles (ORVANE_REL_CYCLES, 100), each call prompt, nothing accumulating.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <vector>

#include "reliability_support.h"
#include "support/time_scale.h"

namespace orvane::reliability {
namespace {

struct Args {
    int axis, io;  // -2 .. 6, -2 .. 25
    double pos;    // -250 .. 250
    std::mt19937& rng;
};
using Call = void (*)(Runtime&, Args&);

std::string random_text(std::mt19937& rng, std::size_t max_length) {
    static constexpr char alphabet[] = "0123456789-+.,:!eExX abcINFnan";
    std::string text(rng() % (max_length + 1), ' ');
    for (char& c : text) c = alphabet[rng() % (sizeof alphabet - 1)];
    return text;
}

// For codes 3 and 5: mostly the right number of fields, now and then not or a field no number.
std::string field_list(std::mt19937& rng, int fields) {
    const int n = rng() % 8 == 0 ? fields + static_cast<int>(rng() % 3) - 1 : fields;
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += i > 0 ? "," : "";
        text += rng() % 50 == 0 ? random_text(rng, 6) : std::to_string(static_cast<int>(rng() % 32) - 4);
    }
    return text;
}

void numbered(Runtime& rt, Args& a) {
    static constexpr std::array<int, 20> codes = {0, 1, 2, 3, 4, 5, 100, 101, 102, 103, 2001, 5000, 5010, 5011,
                                                  6000, 6001, -1, 7, 999, 65536};
    // The blocking codes (a raw send pauses polling, switches restart everything) as rarely as starts.
    int code = codes[a.rng() % codes.size()];
    while ((code == 5000 && a.rng() % 100 != 0) || ((code == 6000 || code == 6001) && a.rng() % 1000 != 0)) {
        code = codes[a.rng() % codes.size()];
    }
    // Switches go to the simulator's host, a loopback host with no listener, or no address.
    static const std::array<const char*, 6> addresses = {"1", "1", "127.0.0.1", "2", "not-an-address", ""};
    std::string text = code == 3   ? field_list(a.rng, 21)
                       : code == 5 ? field_list(a.rng, 24)
                       : code == 6000 || code == 6001 ? addresses[a.rng() % addresses.size()]
                                                      : random_text(a.rng, 24);
    rt.cmd(code, a.axis, text);
}

// Start and stop (0 and 1) are picked rarely, or the link would seldom be up for the rest.
const std::vector<std::pair<const char*, Call>> operations = {
    {"initial", [](Runtime& rt, Args&) { rt.initial(); }},
    {"close", [](Runtime& rt, Args&) { rt.close(); }},
    {"is_connect", [](Runtime& rt, Args&) { rt.is_connect(); }},
    {"cmd", numbered},
    {"set_speed", [](Runtime& rt, Args& a) { rt.set_speed(a.axis, static_cast<float>(a.pos)); }},
    {"single_move_to", [](Runtime& rt, Args& a) { rt.single_move_to(a.axis, a.pos); }},
    {"xyz_move_to", [](Runtime& rt, Args& a) { rt.xyz_move_to(a.pos, -a.pos, a.pos / 2); }},
    {"go_home", [](Runtime& rt, Args& a) { rt.go_home(a.axis, static_cast<float>(a.rng() % 50)); }},
    {"jog_move", [](Runtime& rt, Args& a) { rt.jog_move(a.axis, a.rng() % 2 == 0); }},
    {"stop", [](Runtime& rt, Args& a) { rt.stop(a.axis, static_cast<int>(a.rng() % 3)); }},
    {"zero", [](Runtime& rt, Args& a) { rt.zero(a.axis); }},
    {"set_fly", [](Runtime& rt, Args& a) { rt.set_fly(int(a.rng() % 8), int(a.rng() % 100), 1); }},
    {"start_fly", [](Runtime& rt, Args& a) { rt.start_fly(int(a.rng() % 8), int(a.rng() % 3)); }},
    {"trim_fly", [](Runtime& rt, Args& a) { rt.trim_fly(static_cast<int>(a.rng() % 10)); }},
    {"set_output_value", [](Runtime& rt, Args& a) { rt.set_output_value(a.io, static_cast<int>(a.rng() % 20) - 2); }},
    {"set_output_on", [](Runtime& rt, Args& a) { rt.set_output_on(a.io, a.rng() % 2 == 0); }},
    {"set_output_all", [](Runtime& rt, Args& a) { rt.set_output_all(a.rng() % 2 == 0); }},
    {"get_type", [](Runtime& rt, Args&) { rt.get_type(); }},
    {"get_acc_time", [](Runtime& rt, Args& a) { double t = 0; rt.get_acc_time(a.axis, t); }},
    {"get_axis_rotation", [](Runtime& rt, Args& a) { bool f = false; rt.get_axis_rotation(a.axis, f); }},
    {"get_fly", [](Runtime& rt, Args&) { int x = 0, y = 0, z = 0; rt.get_fly(x, y, z); }},
    {"get_fly_pos", [](Runtime& rt, Args&) {
         // The counting call sizes the array for the copying call.
         std::vector<double> positions(static_cast<std::size_t>(std::max(rt.get_fly_pos(nullptr), 1)));
         if (rt.get_fly_pos(positions.data()) > static_cast<int>(positions.size())) {
             throw std::logic_error("get_fly_pos overran its array");
         }
     }},
    {"get_home_state", [](Runtime& rt, Args& a) { bool s = false; rt.get_home_state(a.axis, s); }},
    {"get_input_bit", [](Runtime& rt, Args& a) { bool level = false; rt.get_input_bit(a.io, level); }},
    {"get_input_bits", [](Runtime& rt, Args&) { bool levels[24] = {}; rt.get_input_bits(levels); }},
    {"get_soft_limits", [](Runtime& rt, Args& a) { double l = 0, r = 0; rt.get_soft_limits(a.axis, l, r); }},
    {"get_max_speed", [](Runtime& rt, Args& a) { int speed = 0; rt.get_max_speed(a.axis, speed); }},
    {"get_move_state", [](Runtime& rt, Args& a) { bool s = false; rt.get_move_state(a.axis, s); }},
    {"get_pos", [](Runtime& rt, Args&) { double p[6] = {}; rt.get_pos(p); }},
};

struct Shared {
    std::atomic<bool> run{true};
    std::vector<std::atomic<long>> calls = std::vector<std::atomic<long>>(operations.size());
    std::atomic<long> worst_us{0};
    std::atomic<long> unexpected{0};
};

void host_thread(Runtime& rt, Shared& shared, unsigned seed) {
    std::mt19937 rng(seed);
    while (shared.run.load()) {
        const unsigned roll = rng() % 100000;
        const std::size_t op = roll < 5 ? 0 : roll < 7 ? 1 : 2 + rng() % (operations.size() - 2);
        Args args{static_cast<int>(rng() % 9) - 2, static_cast<int>(rng() % 28) - 2,
                  static_cast<double>(static_cast<int>(rng() % 4000) - 2000) / 8.0, rng};
        const auto start = Clock::now();
        try {
            operations[op].second(rt, args);
        } catch (const std::invalid_argument&) {  // codes 3 and 5, documented
        } catch (const std::out_of_range&) {
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s threw: %s\n", operations[op].first, e.what());
            ++shared.unexpected;
        }
        const long us = static_cast<long>(elapsed_ms(start) * 1000.0);
        ++shared.calls[op];
        for (long seen = shared.worst_us.load(); us > seen && !shared.worst_us.compare_exchange_weak(seen, us);) {
        }
    }
}

TEST(Stress, EightHostThreadsCallEverythingWhileTheLinkDrops) {
    const long seconds = env_long("ORVANE_REL_STRESS_S", 15);
    const Baseline baseline{};
    {
        sim::SimulatorOptions options;
        options.faults.drop_random_min_ms = 100;  // every connection, at any point of its life
        options.faults.drop_random_max_ms = 2000;
        options.faults.seed = 11;
        auto simulator = start_simulator(options);
        ASSERT_TRUE(simulator);
        auto rt = quiet_runtime(simulator->port(), true);
        ASSERT_EQ(rt->initial(), 1);
        Shared shared;
        {
            Watchdog watchdog("the stress run", static_cast<int>(seconds * 1000) + 60000);
            std::vector<std::thread> hosts;
            for (int t = 0; t < 8; ++t) {
                hosts.emplace_back([&, t] { host_thread(*rt, shared, 1000u + static_cast<unsigned>(t)); });
            }
            std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the run's length, not a wait for an event
            shared.run.store(false);
            for (auto& h : hosts) h.join();
        }
        const long drops = simulator->fault_counters().timed_drops;
        EXPECT_EQ(shared.unexpected.load(), 0);
        long total = 0;
        for (std::size_t op = 0; op < operations.size(); ++op) {
            EXPECT_GT(shared.calls[op].load(), 0) << operations[op].first << " was never called";
            total += shared.calls[op].load();
        }
        EXPECT_GE(drops, seconds / 4) << "the link should have been dropped about once a second";
        // A start or close waits for at most one other, and nothing else for longer.
        EXPECT_LT(static_cast<double>(shared.worst_us.load()) / 1000.0, orvane::testing::scaled_ms(3000.0));

        // Still working. Moves queued while closed stay queued without limit: dropped here, not waited for.
        rt->close();
        const std::size_t backlog = rt->pending().take().size();
        std::string address = "1";
        rt->cmd(6001, 0, address);  // back to the simulator's address
        rt->close();
        simulator->set_faults(sim::FaultOptions{});
        ASSERT_EQ(rt->initial(), 1);
        ASSERT_TRUE(wait_until([&] { return rt->mirror().version_text.size() >= 2; }, 5000));
        EXPECT_EQ(rt->cmd(0, 0, address = "stress-done"), 1);
        EXPECT_TRUE(simulator->wait_for_command("2000:stress-done", 3000));
        EXPECT_EQ(rt->close(), 1);
        std::printf("FIGURE stress: %ld s, %ld calls, %ld drops, slowest call %.1f ms, %zu bytes queued while closed\n",
                    seconds, total, drops, static_cast<double>(shared.worst_us.load()) / 1000.0, backlog);
    }
    EXPECT_TRUE(baseline.back(5000));
}

TEST(LifecycleStress, ManyStartStopCycles) {
    const long cycles = env_long("ORVANE_REL_CYCLES", 100);
    const Baseline baseline{};
    double worst_ms = 0;
    {
        auto simulator = start_simulator();
        ASSERT_TRUE(simulator);
        auto rt = quiet_runtime(simulator->port(), false);
        Watchdog watchdog("the start/stop cycles", static_cast<int>(cycles) * 3000 + 30000);
        const Baseline idle{};  // the simulator's own threads and sockets, no client
        for (long c = 0; c < cycles; ++c) {
            SCOPED_TRACE("cycle " + std::to_string(c));
            auto start = Clock::now();
            ASSERT_EQ(rt->initial(), 1);
            worst_ms = std::max(worst_ms, elapsed_ms(start));
            ASSERT_EQ(rt->is_connect(), 1);
            std::string text = "cycle-" + std::to_string(c);  // some traffic in every cycle
            EXPECT_EQ(rt->cmd(0, 0, text), 1);
            ASSERT_TRUE(c % 25 != 0 || simulator->wait_for_command("2000:" + text, 3000));
            start = Clock::now();
            ASSERT_EQ(rt->close(), 1);
            worst_ms = std::max(worst_ms, elapsed_ms(start));
            ASSERT_EQ(rt->is_connect(), 0);
            EXPECT_TRUE(c % 10 != 9 || idle.back(2000)) << "accumulating from cycle to cycle";
        }
        EXPECT_LT(worst_ms, orvane::testing::scaled_ms(1500.0));
    }
    EXPECT_TRUE(baseline.back());
    std::printf("FIGURE lifecycle_cycles: %ld initial/close cycles, slowest call %.1f ms\n", cycles, worst_ms);
}

}  // namespace
}  // namespace orvane::reliability
