// Random bytes from the controller (ORVANE_REL_GARBAGE_BYTES, 1 MB) and the simulator's faults (drop styles: the
// storm): no crash, the mirror changes only through well-formed replies, a working link once the fault ends.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

#include "reliability_support.h"
#include "support/mirror_dump.h"

namespace orvane::reliability {
namespace {

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimulatorOptions options;
        options.faults.seed = 5;
        simulator_ = start_simulator(options);
        ASSERT_TRUE(simulator_);
        rt_ = quiet_runtime(simulator_->port(), true);
        ASSERT_EQ(rt_->initial(), 1);
        ASSERT_TRUE(loaded(3000));
    }

    void TearDown() override {
        EXPECT_TRUE(!rt_ || rt_->close() == 1);
        rt_.reset();
        simulator_.reset();
        EXPECT_TRUE(baseline_.back());
    }

    // Connected, and the poll loop has nothing left to ask for.
    bool loaded(int timeout_ms) {
        const ControllerMirror& m = rt_->mirror();
        return wait_until([&] {
            return rt_->is_connect() == 1 && m.version_text.get() == "orvane-sim 0.1.0" &&
                   m.output_level[io_total - 1].get() != 0 && m.axis_params[0].float_field(field::max_speed) >= 0.1f;
        }, timeout_ms);
    }

    // An input change on the controller shows in the mirror; an output set by the host reaches it.
    void expect_working(const std::string& after) {
        ASSERT_TRUE(loaded(8000)) << "not reconnected and reloaded after " << after;
        probe_ = !probe_;
        simulator_->set_input(7, probe_);
        bool level = !probe_;
        EXPECT_TRUE(wait_until([&] { return rt_->get_input_bit(7, level) == 1 && level == probe_; }, 3000)) << after;
        EXPECT_EQ(rt_->set_output_value(5, probe_ ? 9 : 3), 1) << after;
        const std::int32_t wanted = rt_->mirror().output_value[4].get();
        EXPECT_TRUE(wait_until([&] { return simulator_->output_value(5) == wanted; }, 3000))
            << after << ": controller has " << simulator_->output_value(5) << ", library wants " << wanted;
    }

    // A version line after the bytes before, sent again if the garbage before swallowed it.
    bool sync_with_marker(const std::string& marker) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            simulator_->send_raw("\n2001:" + marker + "\n");
            if (wait_until([&] { return rt_->mirror().version_text.get() == marker; }, 5000)) return true;
        }
        return false;
    }

    const Baseline baseline_{};
    std::unique_ptr<sim::Simulator> simulator_;
    std::unique_ptr<Runtime> rt_;
    bool probe_ = false;
};

TEST_F(BadInput, RandomBytesFromTheController) {
    const long size = env_long("ORVANE_REL_GARBAGE_BYTES", 1 << 20);
    for (const bool colon_free : {true, false}) {
        const std::string name = colon_free ? "garbage_no_replies" : "garbage_raw";
        SCOPED_TRACE(name);
        std::mt19937 rng(colon_free ? 99 : 1234);
        std::string garbage(static_cast<std::size_t>(size), '\0');
        for (char& c : garbage) {
            c = static_cast<char>(rng() & 0xFF);
            if (colon_free && c == ':') c = ';';
        }
        std::string before;
        if (colon_free) {  // no ":", so no line is a reply; a quiet controller: only the garbage arrives
            simulator_->set_status_period(0);
            ASSERT_TRUE(sync_with_marker("before"));
            before = test::mirror_dump(rt_->mirror());
        } else {  // reply heads sprinkled in: the handlers see broken payloads of every code
            const char* heads[] = {"100:", "125:", "190:", "520:", "5010:", "2001:", "100:1,2,3,4,5,6,7,8,9,"};
            for (std::size_t at = 0; at + 64 < garbage.size(); at += 512 + rng() % 4096) {
                const std::string head = std::string("\n") + heads[rng() % 7];
                garbage.replace(at, head.size(), head);
            }
        }
        const auto start = Clock::now();
        for (std::size_t at = 0, piece = 0; at < garbage.size(); at += piece) {  // pieces of random size
            piece = std::min<std::size_t>(garbage.size() - at, 1 + rng() % 16384);
            ASSERT_TRUE(simulator_->send_raw(std::string_view(garbage).substr(at, piece)));
        }
        ASSERT_TRUE(sync_with_marker("after-" + name)) << "the library stopped reading";
        std::printf("FIGURE %s: %ld bytes in %.0f ms\n", name.c_str(), size, elapsed_ms(start));
        if (colon_free) {  // the marker's own line is the one change allowed
            std::string after = test::mirror_dump(rt_->mirror());
            const std::string marker_line = "version [after-" + name + "]";
            const std::size_t at = after.find(marker_line);
            ASSERT_NE(at, std::string::npos);
            EXPECT_EQ(after.replace(at, marker_line.size(), "version [before]"), before);
            simulator_->set_status_period(10);
        }
        EXPECT_EQ(rt_->is_connect(), 1);
        simulator_->drop_client();
        expect_working(name);
    }
}

TEST_F(BadInput, EveryFaultOptionAndRecovery) {
    struct FaultCase {
        const char* name;
        std::function<void(sim::Simulator&)> enable;
        int sim::FaultCounters::*counter;
        int minimum;
    };
    using C = sim::FaultCounters;
    const std::vector<FaultCase> cases = {
        {"random drops 50..250 ms", [](sim::Simulator& s) { s.set_random_drops(50, 250); }, &C::timed_drops, 2},
        {"trickle", [](sim::Simulator& s) { s.set_trickle(0); }, &C::trickled_lines, 5},
        {"slow trickle", [](sim::Simulator& s) { s.set_trickle(1); }, &C::trickled_lines, 5},
        {"merged replies", [](sim::Simulator& s) { s.set_merge_window(40); }, &C::merged_sends, 3},
        {"garbage lines", [](sim::Simulator& s) { s.set_garbage(0.5); }, &C::garbage_lines, 20},
        {"silence", [](sim::Simulator& s) { s.set_silent(true); }, &C::silenced_lines, 20},
        {"refused connections", [](sim::Simulator& s) { s.refuse_connections(4); s.drop_client(); },
         &C::refused_connections, 4},
        {"delayed replies", [](sim::Simulator& s) { s.set_reply_delay(300); }, &C::delayed_lines, 20},
    };
    for (const FaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        const int before = simulator_->fault_counters().*fault.counter;
        fault.enable(*simulator_);
        {
            // The host keeps working while the fault is on, for at least 600 ms.
            HostTraffic traffic(*rt_, 3);
            const auto start = Clock::now();
            wait_until([&] {
                return simulator_->fault_counters().*fault.counter - before >= fault.minimum && elapsed_ms(start) > 600;
            }, 5000);
        }
        EXPECT_GE(simulator_->fault_counters().*fault.counter - before, fault.minimum);
        simulator_->set_faults(sim::FaultOptions{});
        simulator_->drop_client();  // a fresh connection, as after any fault that outlasts a host's patience
        expect_working(fault.name);
    }
}

}  // namespace
}  // namespace orvane::reliability
