// Link benchmark: how long a queued command takes to reach the wire, next to
// the raw one-way latency of loopback TCP measured in the same run, and how
// much CPU the library uses while connected with nothing to send.
//
//   link_bench [samples]
//
// Prints median and p99 latencies in microseconds and the idle CPU use as a
// percentage of one core, each beside its target.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "platform/serving.h"

namespace {

using namespace orvane::bench;

struct LibraryFigures {
    std::vector<double> latency_us;
    double idle_cpu_percent = -1;
    double down_cpu_percent = -1;
};

bool library_figures(int samples, LibraryFigures& out) {
    Receiver receiver;
    if (!receiver.ok()) return false;
    orvane::Runtime runtime(config_for(receiver.port()));
    if (runtime.initial() != 1) return false;
    fill_polled_fields(runtime.mirror());
    if (!receiver.accept()) return false;
    // The first pass's polls went out before the fields were filled.
    if (!settle(receiver, 100ms)) return false;

    // Idle: connected, nothing queued, nothing to ask for.
    out.idle_cpu_percent = cpu_percent_over(3000ms);

    const std::string command = "130:1!";
    Pacer pacer;
    std::size_t expected = receiver.total();
    for (int i = 0; i < samples; ++i) {
        pacer.wait();
        const auto queued = Clock::now();
        runtime.pending().append(command);
        expected += command.size() + 1;
        Clock::time_point arrived;
        if (!receiver.wait_for_total(expected, arrived)) return false;
        out.latency_us.push_back(micros(arrived - queued));
    }
    runtime.close();
    receiver.stop();

    // For comparison: the link down and retrying every 3 s.
    {
        std::uint16_t closed_port = 0;
        Socket closed = orvane::platform::listen_tcp("127.0.0.1", 0, 1, &closed_port);
        closed.close();  // a port nobody listens on
        orvane::Runtime down(config_for(closed_port));
        down.link().set_progress_callback([](const std::string&) {});
        down.initial();
        out.down_cpu_percent = cpu_percent_over(1000ms);
        down.close();
    }
    return true;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
    const orvane::platform::NetworkSession network;
    const int samples = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;

    std::vector<double> raw;
    if (!raw_latency(samples, raw)) {
        std::fprintf(stderr, "link_bench: raw loopback measurement failed\n");
        return 1;
    }
    LibraryFigures library;
    if (!library_figures(samples, library)) {
        std::fprintf(stderr, "link_bench: library measurement failed\n");
        return 1;
    }

    const Figures r = summarise(raw);
    const Figures l = summarise(library.latency_us);
    std::printf("samples                          %d\n", samples);
    std::printf("raw loopback one-way     median %8.1f us   p99 %8.1f us   max %8.1f us\n", r.median_us, r.p99_us,
                r.max_us);
    std::printf("command to wire          median %8.1f us   p99 %8.1f us   max %8.1f us\n", l.median_us, l.p99_us,
                l.max_us);
    std::printf("  added by the library   median %8.1f us   p99 %8.1f us\n", l.median_us - r.median_us,
                l.p99_us - r.p99_us);
    std::printf("idle CPU, connected      %6.2f %% of one core\n", library.idle_cpu_percent);
    std::printf("idle CPU, link down      %6.2f %% of one core\n", library.down_cpu_percent);
    std::printf("targets: median <= 150 us %s, p99 <= 500 us %s, idle <= 3 %% %s\n", verdict(l.median_us <= 150.0),
                verdict(l.p99_us <= 500.0), verdict(library.idle_cpu_percent <= 3.0));
    return 0;
}
