// Cost of the exports' work on the caller's thread: every query (answered
// from the mirror) and every command function that does not pause (format,
// append, wake the poll loop). Runs on a Runtime marked connected with
// nothing consuming the queue; the queue is emptied between samples so it
// does not grow. Build in Release; prints one line per function.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "api/runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

// Results of the calls, summed and printed, so that no call can be dropped.
std::int64_t sink = 0;

struct Result {
    std::string name;
    double median_ns;
    double target_ns;
};

// Queries are far below the clock's resolution: time batches and divide.
double median_batched_ns(const std::function<void()>& call, int batch = 2000, int samples = 61) {
    std::vector<double> per_call;
    per_call.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < 200; ++i) call();  // warm up
    for (int s = 0; s < samples; ++s) {
        const auto start = Clock::now();
        for (int i = 0; i < batch; ++i) call();
        const auto stop = Clock::now();
        per_call.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / batch);
    }
    std::nth_element(per_call.begin(), per_call.begin() + samples / 2, per_call.end());
    return per_call[static_cast<std::size_t>(samples / 2)];
}

// Commands are timed one call at a time; the queue is emptied outside the
// timed part every few calls.
double median_single_ns(orvane::Runtime& rt, const std::function<void()>& call, int samples = 4001) {
    std::vector<double> each;
    each.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < 100; ++i) call();
    (void)rt.pending().take();
    for (int s = 0; s < samples; ++s) {
        const auto start = Clock::now();
        call();
        const auto stop = Clock::now();
        each.push_back(std::chrono::duration<double, std::nano>(stop - start).count());
        if (s % 16 == 15) sink += static_cast<std::int64_t>(rt.pending().take().size());
    }
    (void)rt.pending().take();
    std::nth_element(each.begin(), each.begin() + samples / 2, each.end());
    return each[static_cast<std::size_t>(samples / 2)];
}

orvane::RuntimeConfig bench_config() {
    orvane::RuntimeConfig config = orvane::RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = 1;  // never connected: initial() is not called
    return config;
}

}  // namespace

int main() {
    using orvane::field::acc_time;
    orvane::Runtime rt(bench_config());
    orvane::ControllerMirror& m = rt.mirror();
    m.connected.store(true);
    m.axis_state_bits[0].set(true);
    for (std::size_t i = 0; i < orvane::io_total; ++i) m.output_level[i].set(3);
    m.fly_positions.replace({1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f});
    m.io_text.set("IN=000000000000000000000000 OUT=000000000000000000000000");
    m.version_text.set("controller 1.0");
    m.reply_5010.set("answer");

    constexpr double query_target = 50.0;
    constexpr double command_target = 20000.0;
    std::vector<Result> results;
    const auto query = [&](const char* name, const std::function<void()>& call) {
        results.push_back({name, median_batched_ns(call), query_target});
    };
    const auto command = [&](const char* name, const std::function<void()>& call) {
        results.push_back({name, median_single_ns(rt, call), command_target});
    };

    double d = 0, d2 = 0;
    bool b = false;
    int i1 = 0, i2 = 0, i3 = 0;
    double positions[8] = {};
    bool inputs[24] = {};

    query("get_type", [&] { sink += rt.get_type(); });
    query("get_acc_time", [&] { sink += rt.get_acc_time(1, d); });
    query("get_axis_rotation", [&] { sink += rt.get_axis_rotation(1, b); });
    query("get_fly", [&] { sink += rt.get_fly(i1, i2, i3); });
    query("get_fly_pos (count)", [&] { sink += rt.get_fly_pos(nullptr); });
    query("get_fly_pos (8 positions)", [&] { sink += rt.get_fly_pos(positions); });
    query("get_home_state", [&] { sink += rt.get_home_state(2, b); });
    query("get_input_bit", [&] { sink += rt.get_input_bit(7, b); });
    query("get_input_bit (all 24)", [&] { sink += rt.get_input_bits(inputs); });
    query("get_leftRight_softLimit", [&] { sink += rt.get_soft_limits(3, d, d2); });
    query("get_max_speed", [&] { sink += rt.get_max_speed(4, i1); });
    query("get_move_state", [&] { sink += rt.get_move_state(5, b); });
    query("get_pos", [&] { sink += rt.get_pos(positions); });
    query("is_connect", [&] { sink += rt.is_connect(); });

    std::string text;
    const auto with_text = [&](int code, const char* input) {
        return [&rt, &text, code, input] {
            text = input;
            sink += rt.cmd(code, 1, text);
        };
    };
    command("set_speed", [&] { sink += rt.set_speed(1, 55.5f); });
    command("single_move_to", [&] { sink += rt.single_move_to(0, 123.456); });
    command("xyz_move_to", [&] { sink += rt.xyz_move_to(100.0, 50.0, 25.0); });
    command("jog_move", [&] { sink += rt.jog_move(2, true); });
    command("stop", [&] { sink += rt.stop(3, 1); });
    command("zero", [&] { sink += rt.zero(4); });
    command("set_fly", [&] { sink += rt.set_fly(1, 200, 3); });
    command("set_output (value)", [&] { sink += rt.set_output_value(5, 200); });
    command("set_output (on/off)", [&] { sink += rt.set_output_on(6, true); });
    command("set_outputAll", [&] { sink += rt.set_output_all(true); });
    command("cmd 0 (general command)", with_text(0, "1,2,3"));
    command("cmd 1 (positions, counts)", with_text(1, ""));
    command("cmd 2 (axis parameters)", with_text(2, ""));
    command("cmd 3 (write parameters)",
            with_text(3, "0,0,10000,1,50,0,0,0,0,0,0,0,100,5,-10000,10000,10,0.2,0.001,10,1"));
    command("cmd 4 (levels)", with_text(4, ""));
    command("cmd 5 (write levels)", with_text(5, "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,1,2,3,4,5,6,7,8"));
    command("cmd 100 (axis command)", with_text(100, "9,8"));
    command("cmd 101 (axis command)", with_text(101, ""));
    command("cmd 102 (parameter 6)", with_text(102, ""));
    command("cmd 103 (I/O text)", with_text(103, ""));
    command("cmd 2001 (version)", with_text(2001, ""));
    command("cmd 5010 (raw answer)", with_text(5010, ""));
    command("cmd 5011 (forget answer)", with_text(5011, ""));

    int over = 0;
    std::printf("%-28s %12s %10s\n", "function", "median ns", "target ns");
    for (const Result& r : results) {
        const bool ok = r.median_ns <= r.target_ns;
        over += ok ? 0 : 1;
        std::printf("%-28s %12.1f %10.0f%s\n", r.name.c_str(), r.median_ns, r.target_ns, ok ? "" : "  OVER");
    }
    std::printf("%d of %zu over target (checksum %lld)\n", over, results.size(), static_cast<long long>(sink));
    return 0;
}
