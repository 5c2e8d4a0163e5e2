// Many controllers in one process: threads and memory, idle CPU with all of
// them connected, command-to-wire latency on one of them meanwhile (beside
// the raw loopback latency measured in the same run), and the time to
// destroy them all.
//
//   controllers_bench PORT [COUNT] [SAMPLES]
//
// COUNT - 1 controllers connect to simulators that another process serves
// on 127.0.0.1, ports PORT .. PORT + COUNT - 2 (scripts/bench-controllers.sh
// starts them with `orvane-sim --count`), so that the CPU measured here is
// the library's alone; the last one connects to a timestamping far end in
// this process for the latency.
#include <orvane/controller.hpp>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "bench_support.h"

namespace {

using namespace orvane::bench;

// Resident memory in KiB, where the system tells it; -1 elsewhere.
long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    if (!(statm >> pages >> resident)) return -1;
    return resident * 4;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
    const orvane::platform::NetworkSession network;
    if (argc < 2) {
        std::fprintf(stderr, "usage: controllers_bench PORT [COUNT] [SAMPLES]\n");
        return 2;
    }
    const int base_port = std::atoi(argv[1]);
    const int count = argc > 2 ? std::max(2, std::atoi(argv[2])) : 64;
    const int samples = argc > 3 ? std::max(100, std::atoi(argv[3])) : 2000;

    std::vector<double> raw;
    if (!raw_latency(samples, raw)) {
        std::fprintf(stderr, "controllers_bench: raw loopback measurement failed\n");
        return 1;
    }

    const int threads_before = orvane::platform::thread_count();
    const long memory_before = resident_kib();
    std::vector<std::unique_ptr<orvane::Controller>> controllers;
    for (int i = 0; i < count - 1; ++i) {
        orvane::ControllerOptions options;
        options.host = "127.0.0.1";
        options.port = base_port + i;
        controllers.push_back(std::make_unique<orvane::Controller>(options));
    }
    for (auto& controller : controllers) {
        if (controller->wait_ready(10s) != orvane::WaitStatus::done) {
            std::fprintf(stderr, "controllers_bench: %s:%d not ready\n", controller->address().c_str(),
                         controller->port());
            return 1;
        }
    }

    // The measured one: a runtime like a handle's, whose far end timestamps.
    Receiver receiver;
    auto measured = std::make_unique<orvane::Runtime>(config_for(receiver.port()));
    if (!receiver.ok() || measured->initial() != 1) return 1;
    fill_polled_fields(measured->mirror());
    // Counted before the far end starts its reader thread.
    const int threads_after = orvane::platform::thread_count();
    const long memory_after = resident_kib();
    if (!receiver.accept() || !settle(receiver, 100ms)) return 1;

    const double idle_cpu = cpu_percent_over(3000ms);

    std::vector<double> latency;
    const std::string command = "130:1!";
    Pacer pacer;
    std::size_t expected = receiver.total();
    for (int i = 0; i < samples; ++i) {
        pacer.wait();
        const auto queued = Clock::now();
        measured->pending().append(command);
        expected += command.size() + 1;
        Clock::time_point arrived;
        if (!receiver.wait_for_total(expected, arrived)) return 1;
        latency.push_back(micros(arrived - queued));
    }

    const auto destroy_start = Clock::now();
    controllers.clear();
    measured.reset();
    const double destroy_ms = std::chrono::duration<double, std::milli>(Clock::now() - destroy_start).count();
    receiver.stop();

    const Figures r = summarise(raw);
    const Figures l = summarise(latency);
    const int threads = threads_after - threads_before;
    std::printf("controllers                      %d (%d simulated in another process, 1 timestamping peer)\n", count,
                count - 1);
    if (threads_before >= 0) {
        std::printf("threads                          %d in all, %d added: %.2f per controller\n", threads_after,
                    threads, static_cast<double>(threads) / count);
    }
    if (memory_before >= 0) {
        std::printf("resident memory                  %ld KiB in all, %ld KiB added: %.1f KiB per controller\n",
                    memory_after, memory_after - memory_before,
                    static_cast<double>(memory_after - memory_before) / count);
    }
    std::printf("idle CPU, all connected          %6.2f %% of one core\n", idle_cpu);
    std::printf("raw loopback one-way     median %8.1f us   p99 %8.1f us\n", r.median_us, r.p99_us);
    std::printf("command to wire          median %8.1f us   p99 %8.1f us   (%d samples)\n", l.median_us, l.p99_us,
                samples);
    std::printf("destroying all                   %6.1f ms\n", destroy_ms);
    std::printf("targets: <= 2 threads per controller %s, idle <= 3 %% %s, median <= 1.5 x raw %s, destroy <= 200 ms %s\n",
                verdict(threads_before < 0 || threads <= 2 * count), verdict(idle_cpu <= 3.0),
                verdict(l.median_us <= 1.5 * r.median_us), verdict(destroy_ms <= 200.0));
    return 0;
}
