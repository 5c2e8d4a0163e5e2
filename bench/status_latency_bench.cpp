// Status-to-mirror latency: from the moment the controller's side sends a
// status line until a query on the host sees its values, over loopback.
//
//   status_latency_bench [samples]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/serving.h"
#include "api/runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string status_line(int count) {
    // Counts, encoder counts, state words, type 2, inputs, 24 outputs.
    std::string line = "100:" + std::to_string(count);
    for (int i = 1; i < 12; ++i) line += ",0";
    line += ",21845,5,2,0,0,0";
    for (int i = 0; i < 24; ++i) line += ",0";
    line += "\n";
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    orvane::platform::NetworkSession network;
    std::uint16_t port = 0;
    orvane::platform::Socket listener = orvane::platform::listen_tcp("127.0.0.1", 0, 4, &port);
    if (!listener.valid()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }

    orvane::RuntimeConfig config = orvane::RuntimeConfig::defaults();
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = port;
    orvane::Runtime runtime(config);
    std::thread starter([&] { runtime.initial(); });
    if (orvane::platform::wait_readable(listener.get(), 2000) <= 0) {
        std::fprintf(stderr, "the library did not connect\n");
        starter.join();
        return 1;
    }
    orvane::platform::Socket controller = orvane::platform::accept_connection(listener.get());
    orvane::platform::set_no_delay(controller.get());
    starter.join();

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(samples));
    double pos[6];
    for (int i = 1; i <= samples; ++i) {
        const std::string line = status_line(i);
        const auto sent = Clock::now();
        orvane::platform::send(controller.get(), line.data(), static_cast<int>(line.size()));
        // What a host sees through the raw count of axis 0 (code 1 reads it).
        while (runtime.mirror().status_raw[0].get() != i) {
            std::this_thread::yield();
            if (Clock::now() - sent > std::chrono::seconds(2)) {
                std::fprintf(stderr, "status line %d never reached the mirror\n", i);
                return 1;
            }
        }
        const auto seen = Clock::now();
        runtime.get_pos(pos);
        micros.push_back(std::chrono::duration<double, std::micro>(seen - sent).count());
        // Status lines come every few milliseconds from a real controller.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    runtime.close();

    std::sort(micros.begin(), micros.end());
    const double median = micros[micros.size() / 2];
    const double p99 = micros[micros.size() * 99 / 100];
    std::printf("status line to mirror (%d samples): median %.1f us, p99 %.1f us (target: median <= 200 us)\n", samples,
                median, p99);
    return 0;
}
