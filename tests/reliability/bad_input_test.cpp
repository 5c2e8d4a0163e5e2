// Bad input: every fault the simulator can inject, and megabytes of random
// bytes from the controller's side. Nothing may crash; the mirror changes
// only through well-formed reply lines; and once the fault ends the library
// is back to a working link by itself.
//
// Size: ORVANE_REL_GARBAGE_BYTES (CI 1 MB, full run 10 MB), sent twice: once
// without any ":" (so no line can be a reply) and once as raw random bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>

#include "reliability_support.h"
#include "support/mirror_dump.h"

namespace orvane::reliability {
using test::mirror_dump;
namespace {

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        threads_before_ = thread_count();
        handles_before_ = handle_count();
        sim::SimulatorOptions options;
        options.faults.seed = 5;
        simulator_ = start_simulator(options);
        ASSERT_TRUE(simulator_);
        rt_ = std::make_unique<Runtime>(sim_config(simulator_->port(), true));
        quiet_progress(*rt_);
        ASSERT_EQ(rt_->initial(), 1);
        ASSERT_TRUE(loaded(3000));
    }

    void TearDown() override {
        if (rt_) {
            EXPECT_EQ(rt_->close(), 1);
        }
        rt_.reset();
        if (simulator_) simulator_->stop();
        simulator_.reset();
        EXPECT_TRUE(counts_return_to(threads_before_, handles_before_, 3000))
            << "threads " << thread_count() << " (before " << threads_before_ << "), handles " << handle_count()
            << " (before " << handles_before_ << ")";
    }

    // Connected, and the mirror holds the controller's version, levels and
    // parameters: the poll loop has nothing left to ask for.
    bool loaded(int timeout_ms) {
        return wait_until(
            [&] {
                const ControllerMirror& m = rt_->mirror();
                return rt_->is_connect() == 1 && m.version_text.get() == "orvane-sim 0.1.0" &&
                       m.output_level[io_total - 1].get() != 0 &&
                       static_cast<double>(m.axis_params[0].float_field(field::max_speed)) >= 0.1;
            },
            timeout_ms);
    }

    // The library works end to end: an input change on the controller shows
    // up in the mirror, and an output set by the host reaches the controller.
    void expect_working(const std::string& after) {
        ASSERT_TRUE(loaded(8000)) << "not reconnected and reloaded after " << after;
        probe_ = !probe_;
        simulator_->set_input(7, probe_);
        EXPECT_TRUE(wait_until(
            [&] {
                bool level = !probe_;
                return rt_->get_input_bit(7, level) == 1 && level == probe_;
            },
            3000))
            << "input change not seen after " << after;
        // The value on the wire is the host's value times the output's level.
        EXPECT_EQ(rt_->set_output_value(5, probe_ ? 9 : 3), 1) << after;
        const std::int32_t wanted = rt_->mirror().output_value[4].get();
        EXPECT_TRUE(wait_until([&] { return simulator_->output_value(5) == wanted; }, 3000))
            << "output not delivered after " << after << ": controller has " << simulator_->output_value(5)
            << ", library wants " << wanted << " and sent " << rt_->mirror().output_sent[4].get() << ", synced "
            << rt_->mirror().outputs_synced.load() << ", connected " << rt_->is_connect() << ", connections "
            << simulator_->connection_count();
    }

    // Pushes bytes through the simulator's send path in pieces of random size.
    void send_bytes(const std::string& bytes, std::mt19937& rng) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t piece = std::min<std::size_t>(bytes.size() - at, 1 + rng() % 16384);
            ASSERT_TRUE(simulator_->send_raw(std::string_view(bytes).substr(at, piece)));
            at += piece;
        }
    }

    // Sends a version line after whatever came before and waits until the
    // mirror holds it: everything sent earlier has been parsed by then. The
    // line is sent again if a chunk boundary happened to cut it.
    bool sync_with_marker(const std::string& marker) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            simulator_->send_raw("\n2001:" + marker + "\n");
            if (wait_until([&] { return rt_->mirror().version_text.get() == marker; }, 5000)) return true;
        }
        return false;
    }

    std::unique_ptr<sim::Simulator> simulator_;
    std::unique_ptr<Runtime> rt_;
    int threads_before_ = 0;
    int handles_before_ = 0;
    bool probe_ = false;
};

TEST_F(BadInput, RandomBytesWithoutReplyLinesLeaveTheMirrorAlone) {
    const long size = env_long("ORVANE_REL_GARBAGE_BYTES", 1 << 20);
    // Quiet controller: no status lines, and the mirror is complete, so the
    // library asks for nothing; only the garbage arrives.
    simulator_->set_status_period(0);
    ASSERT_TRUE(sync_with_marker("before-garbage"));
    const std::string before = mirror_dump(rt_->mirror());

    std::mt19937 rng(99);
    std::string garbage(static_cast<std::size_t>(size), '\0');
    for (char& c : garbage) {
        c = static_cast<char>(rng() & 0xFF);
        if (c == ':') c = ';';  // without a ":" no line is a reply
    }
    const auto start = Clock::now();
    send_bytes(garbage, rng);
    // The marker's own line is the one change allowed.
    ASSERT_TRUE(sync_with_marker("after-garbage")) << "the library stopped reading";
    const double ms = elapsed_ms(start);
    std::string after = mirror_dump(rt_->mirror());
    const std::string marker_line = "version [after-garbage]";
    const std::size_t at = after.find(marker_line);
    ASSERT_NE(at, std::string::npos);
    after.replace(at, marker_line.size(), "version [before-garbage]");
    EXPECT_EQ(after, before);
    EXPECT_EQ(rt_->is_connect(), 1);

    simulator_->set_status_period(10);
    simulator_->drop_client();
    expect_working("colon-free garbage");
    char text[160];
    std::snprintf(text, sizeof text, "%ld bytes without a reply line in %.0f ms (%.1f MB/s), mirror unchanged", size, ms,
                  static_cast<double>(size) / 1000.0 / ms);
    figure("garbage_no_replies", text);
}

TEST_F(BadInput, RawRandomBytesDoNotCrashOrWedgeTheLink) {
    const long size = env_long("ORVANE_REL_GARBAGE_BYTES", 1 << 20);
    std::mt19937 rng(1234);
    std::string garbage(static_cast<std::size_t>(size), '\0');
    for (char& c : garbage) c = static_cast<char>(rng() & 0xFF);
    // Random bytes with reply-shaped lines sprinkled in, so the handlers
    // see broken payloads of every code, not only unknown codes.
    static const char* const heads[] = {"100:", "125:", "190:", "520:", "5010:", "2001:", "100:1,2,3,4,5,6,7,8,9,"};
    for (std::size_t at = 0; at + 64 < garbage.size(); at += 512 + rng() % 4096) {
        const std::string head = std::string("\n") + heads[rng() % 7];
        garbage.replace(at, head.size(), head);
    }
    const auto start = Clock::now();
    send_bytes(garbage, rng);
    ASSERT_TRUE(sync_with_marker("after-raw-garbage")) << "the library stopped reading";
    const double ms = elapsed_ms(start);
    EXPECT_EQ(rt_->is_connect(), 1);
    simulator_->drop_client();
    expect_working("raw random bytes");
    char text[160];
    std::snprintf(text, sizeof text, "%ld raw random bytes in %.0f ms, link and mirror recovered", size, ms);
    figure("garbage_raw", text);
}

struct FaultCase {
    const char* name;
    std::function<void(sim::Simulator&)> enable;
    std::function<int(const sim::FaultCounters&)> fired;
    int minimum;
};

TEST_F(BadInput, EveryFaultOptionAndRecovery) {
    const std::vector<FaultCase> cases = {
        {"drop after 300 ms", [](sim::Simulator& s) { s.set_drop_after(300); },
         [](const sim::FaultCounters& c) { return c.timed_drops; }, 2},
        {"random drops 50..250 ms", [](sim::Simulator& s) { s.set_random_drops(50, 250); },
         [](const sim::FaultCounters& c) { return c.timed_drops; }, 2},
        {"mid-line drops",
         [](sim::Simulator& s) {
             s.set_drop_style(sim::DropStyle::mid_line);
             s.set_drop_after(200);
         },
         [](const sim::FaultCounters& c) { return c.mid_line_closes; }, 2},
        {"reset drops",
         [](sim::Simulator& s) {
             s.set_drop_style(sim::DropStyle::reset);
             s.set_drop_after(200);
         },
         [](const sim::FaultCounters& c) { return c.resets; }, 2},
        {"trickle", [](sim::Simulator& s) { s.set_trickle(0); },
         [](const sim::FaultCounters& c) { return c.trickled_lines; }, 5},
        {"slow trickle", [](sim::Simulator& s) { s.set_trickle(1); },
         [](const sim::FaultCounters& c) { return c.trickled_lines; }, 5},
        {"merged replies", [](sim::Simulator& s) { s.set_merge_window(40); },
         [](const sim::FaultCounters& c) { return c.merged_sends; }, 3},
        {"garbage lines", [](sim::Simulator& s) { s.set_garbage(0.5); },
         [](const sim::FaultCounters& c) { return c.garbage_lines; }, 20},
        {"silence", [](sim::Simulator& s) { s.set_silent(true); },
         [](const sim::FaultCounters& c) { return c.silenced_lines; }, 20},
        {"refused connections",
         [](sim::Simulator& s) {
             s.refuse_connections(4);
             s.drop_client();
         },
         [](const sim::FaultCounters& c) { return c.refused_connections; }, 4},
        {"delayed replies", [](sim::Simulator& s) { s.set_reply_delay(300); },
         [](const sim::FaultCounters& c) { return c.delayed_lines; }, 20},
    };

    // ORVANE_REL_FAULT picks the faults whose name contains it (by hand).
    const char* only = std::getenv("ORVANE_REL_FAULT");
    std::mt19937 rng(3);
    std::string summary;
    for (const FaultCase& fault : cases) {
        if (only != nullptr && std::string(fault.name).find(only) == std::string::npos) continue;
        SCOPED_TRACE(fault.name);
        const int before = fault.fired(simulator_->fault_counters());
        fault.enable(*simulator_);
        // The host keeps working while the fault is on.
        const auto start = Clock::now();
        int calls = 0;
        bool fired = false;
        while (elapsed_ms(start) < 5000) {
            rt_->set_output_on(static_cast<int>(rng() % 24) + 1, rng() % 2 == 0);
            rt_->single_move_to(static_cast<int>(rng() % 6), static_cast<double>(rng() % 100));
            double pos[6];
            rt_->get_pos(pos);
            ++calls;
            fired = fault.fired(simulator_->fault_counters()) - before >= fault.minimum;
            if (fired && elapsed_ms(start) > 600) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        const int count = fault.fired(simulator_->fault_counters()) - before;
        EXPECT_TRUE(fired) << "fired " << count << " times, wanted " << fault.minimum;
        simulator_->set_faults(sim::FaultOptions{});
        // A fresh connection, as after any fault that outlasts the host's
        // patience; the library must get there by itself.
        simulator_->drop_client();
        expect_working(fault.name);
        summary += std::string(summary.empty() ? "" : ", ") + fault.name + " x" + std::to_string(count);
    }
    figure("faults", summary + "; recovered after each");
}

}  // namespace
}  // namespace orvane::reliability
