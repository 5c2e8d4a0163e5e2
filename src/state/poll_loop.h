// The background loop that drives all regular traffic to the controller:
// it asks for what the mirror still lacks, sends changed outputs, and sends
// everything queued as one batch per pass.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "link/tcp_client.h"
#include "state/controller_mirror.h"
#include "state/pending_commands.h"
#include "state/wakeup.h"

namespace orvane {

class PollLoop {
public:
    static constexpr const char* poll_levels = "190:190\n";
    static constexpr const char* poll_params = "125:125\n";
    static constexpr const char* poll_version = "2001:2001\n";
    static constexpr int idle_pause_ms = 30;
    static constexpr int after_poll_pause_ms = 20;
    static constexpr int empty_pass_pause_ms = 1;
    static constexpr double output_check_interval_ms = 5.0;
    // Longest sleep of a pass with nothing to do; work signals the wakeup.
    static constexpr int idle_wake_ms = 250;
    static constexpr std::size_t smallest_batch = 5;

    PollLoop(ControllerMirror& mirror, PendingCommands& pending, TCPClient& link, Wakeup& wakeup)
        : mirror_(mirror), pending_(pending), link_(link), wakeup_(wakeup) {}
    ~PollLoop() { join(); }
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // Starts the loop thread; it runs until request_stop().
    void start();
    // Ends the loop at its next look. With final_pass, and the link up, it
    // first sends what is queued and an output change not yet sent, without
    // polling (also while polling is paused).
    void request_stop(bool final_pass);
    // Waits up to timeout for the loop thread to have ended its work; true
    // when it has.
    bool wait_finished(std::chrono::milliseconds timeout);
    // Waits for the loop thread to end (after request_stop()).
    void join();
    bool on_loop_thread() const { return thread_id_.load() == std::this_thread::get_id(); }

    // The "!110:" frame of the 24 output values, without a line end.
    static std::string output_frame(const std::array<Cell<std::int32_t>, io_total>& values);

private:
    void run();
    // Sends the queued commands and, when due, changed outputs as one
    // batch. force_outputs skips the check interval.
    enum class Sent { nothing, batch, link_down };
    Sent send_queued(bool force_outputs);
    bool stopping() const { return stop_requested_.load(); }
    // Sleeps up to ms, cut short only by a stop request.
    void pause(int ms);
    // True when an output check would find a change to send.
    bool outputs_differ() const;

    ControllerMirror& mirror_;
    PendingCommands& pending_;
    TCPClient& link_;
    Wakeup& wakeup_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> final_pass_{false};
    double last_output_check_ms_ = 0;  // loop thread only

    std::mutex finished_mutex_;
    std::condition_variable finished_cv_;
    bool finished_ = true;  // guarded by finished_mutex_
};

}  // namespace orvane
