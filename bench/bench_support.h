// What the benchmarks share: a far end that timestamps what arrives, the
// raw loopback latency to compare with, summaries and CPU measurement.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/runtime.h"
#include "platform/platform.h"
#include "platform/serving.h"

namespace orvane::bench {


using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using orvane::platform::Socket;

// The far end: accepts one connection and timestamps every received chunk
// the moment its receive call returns.
class Receiver {
public:
    Receiver() { listener_ = orvane::platform::listen_tcp("127.0.0.1", 0, 16, &port_); }
    ~Receiver() { stop(); }

    bool ok() const { return listener_.valid(); }
    std::uint16_t port() const { return port_; }

    // Takes the connection a client has just made (it sits in the backlog).
    bool accept() {
        if (orvane::platform::wait_readable(listener_.get(), 2000) <= 0) return false;
        connection_ = orvane::platform::accept_connection(listener_.get());
        if (!connection_.valid()) return false;
        orvane::platform::set_no_delay(connection_.get());
        reader_ = std::thread([this] { read(); });
        return true;
    }

    // Waits until `total` bytes have arrived in all; returns when the chunk
    // that completed them arrived.
    bool wait_for_total(std::size_t total, Clock::time_point& arrived) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, 2s, [&] { return total_ >= total; })) return false;
        arrived = completed_at(total);
        return true;
    }

    std::size_t total() const {
        std::lock_guard lock(mutex_);
        return total_;
    }

    void stop() {
        if (connection_.valid()) orvane::platform::shutdown_both(connection_.get());
        if (reader_.joinable()) reader_.join();
        connection_.close();
    }

private:
    void read() {
        std::vector<char> buffer(65536);
        for (;;) {
            const int n = orvane::platform::receive(connection_.get(), buffer.data(), static_cast<int>(buffer.size()));
            const auto now = Clock::now();
            if (n <= 0) return;
            std::lock_guard lock(mutex_);
            total_ += static_cast<std::size_t>(n);
            marks_.push_back({total_, now});
            changed_.notify_all();
        }
    }

    Clock::time_point completed_at(std::size_t total) const {
        for (const auto& mark : marks_) {
            if (mark.total >= total) return mark.at;
        }
        return Clock::time_point{};
    }

    struct Mark {
        std::size_t total;
        Clock::time_point at;
    };

    Socket listener_;
    std::uint16_t port_ = 0;
    Socket connection_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t total_ = 0;
    std::vector<Mark> marks_;
};

struct Figures {
    double median_us;
    double p99_us;
    double max_us;
};

inline Figures summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    return {at(0.5), at(0.99), samples.back()};
}

inline double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Irregular gaps between samples, so that they do not line up with any
// periodic wake-up of the library.
class Pacer {
public:
    void wait() { std::this_thread::sleep_for(std::chrono::microseconds(gap_(random_))); }

private:
    std::mt19937 random_{12345};
    std::uniform_int_distribution<int> gap_{300, 1300};
};

// One-way latency of plain loopback TCP: send a short line on a socket with
// TCP_NODELAY and see it arrive.
inline bool raw_latency(int samples, std::vector<double>& out) {
    Receiver receiver;
    if (!receiver.ok()) return false;
    Socket client = orvane::platform::open_tcp_socket();
    if (!client.valid() || !orvane::platform::set_non_blocking(client.get(), true)) return false;
    if (orvane::platform::start_connect(client.get(), "127.0.0.1", receiver.port()) ==
        orvane::platform::ConnectStart::failed) {
        return false;
    }
    if (orvane::platform::wait_writable(client.get(), 2000) <= 0) return false;
    orvane::platform::set_non_blocking(client.get(), false);
    orvane::platform::set_no_delay(client.get());
    if (!receiver.accept()) return false;

    const std::string line = "130:1!\n";
    Pacer pacer;
    std::size_t expected = 0;
    for (int i = 0; i < samples; ++i) {
        pacer.wait();
        const auto sent = Clock::now();
        if (orvane::platform::send(client.get(), line.data(), static_cast<int>(line.size())) != static_cast<int>(line.size())) {
            return false;
        }
        expected += line.size();
        Clock::time_point arrived;
        if (!receiver.wait_for_total(expected, arrived)) return false;
        out.push_back(micros(arrived - sent));
    }
    client.close();
    receiver.stop();
    return true;
}

inline orvane::RuntimeConfig config_for(std::uint16_t port) {
    orvane::RuntimeConfig config;
    config.net_prefix = "127.0.0.";
    config.default_host = "1";
    config.port = port;
    return config;
}

// Makes the poll loop ask for nothing, so that only queued commands go out.
inline void fill_polled_fields(orvane::ControllerMirror& mirror) {
    mirror.output_level[orvane::io_total - 1].set(1);
    mirror.axis_params[0].set_float_field(orvane::field::max_speed, 100.0f);
    mirror.version_text.set("bench");
}

// Waits until nothing more arrives for `quiet`.
inline bool settle(const Receiver& receiver, Clock::duration quiet) {
    const auto deadline = Clock::now() + 5s;
    std::size_t seen = receiver.total();
    auto last_change = Clock::now();
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        const std::size_t now_total = receiver.total();
        if (now_total != seen) {
            seen = now_total;
            last_change = Clock::now();
        } else if (Clock::now() - last_change >= quiet) {
            return true;
        }
    }
    return false;
}

inline double cpu_percent_over(std::chrono::milliseconds period) {
    const std::clock_t cpu_start = std::clock();
    const auto wall_start = Clock::now();
    std::this_thread::sleep_for(period);
    const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
    return 100.0 * cpu / wall;
}

}  // namespace orvane::bench
