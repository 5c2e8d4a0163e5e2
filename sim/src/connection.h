// One client connection: a reader thread that cuts what arrives into lines,
// and a writer thread that sends queued lines when they fall due, applying
// the byte-level faults (trickle, merge, garbage, cut lines).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "faults.h"
#include "orvane_sim/simulator.h"
#include "platform/platform.h"

namespace orvane::sim {

class Connection {
public:
    using Clock = std::chrono::steady_clock;

    // Called on the connection's own threads.
    struct Hooks {
        std::function<void(Connection&, std::string_view chunk)> on_chunk;
        std::function<void(Connection&, std::string_view line)> on_line;  // without its line feed
        std::function<void(Connection&, std::string_view bytes, bool garbage)> on_sent;
        std::function<void(Connection&)> on_end;  // the peer closed or the socket failed
    };

    Connection(platform::Socket socket, int id, FaultInjector& faults, Hooks hooks);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    int id() const { return id_; }
    Clock::time_point accepted_at() const { return accepted_at_; }

    // Queues bytes to go out at due; equal times keep their order.
    void enqueue(std::string bytes, Clock::time_point due);
    std::size_t queued_bytes() const;
    // The peer closed, the socket failed, or close() ran.
    bool ended() const { return ended_.load(); }

    // Ends the connection in the given style and waits for its threads.
    // For DropStyle::mid_line, the first half of cut_line goes out first.
    void close(DropStyle style, const std::string& cut_line = {});

private:
    void read_loop();
    void write_loop();
    // Sends everything; false when the socket failed, or when the socket
    // is full and closing began.
    bool send_all(std::string_view bytes);
    // Waits; false when closing began meanwhile.
    bool pause(std::chrono::milliseconds duration);
    bool interrupted() const { return closing_.load() || cut_requested_.load(); }
    void end_by_itself();

    platform::Socket socket_;
    const int id_;
    FaultInjector& faults_;
    const Hooks hooks_;
    const Clock::time_point accepted_at_ = Clock::now();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, std::string> queue_;
    std::size_t queued_bytes_ = 0;
    std::string cut_line_;
    bool closed_ = false;  // close() has run or is running

    std::atomic<bool> closing_{false};
    std::atomic<bool> cut_requested_{false};
    std::atomic<bool> ended_{false};
    std::thread reader_;
    std::thread writer_;
};

}  // namespace orvane::sim
