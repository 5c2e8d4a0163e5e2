// The background loop that drives all regular traffic to the controller:
// it asks for what the mirror still lacks, sends changed outputs, and sends
// everything queued as one batch per pass.
#pragma once

#include <chrono>
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
    static constexpr int idle_wake_ms = 50;
    static constexpr std::size_t smallest_batch = 5;

    PollLoop(ControllerMirror& mirror, PendingCommands& pending, TCPClient& link, Wakeup& wakeup)
        : mirror_(mirror), pending_(pending), link_(link), wakeup_(wakeup) {}
    ~PollLoop() { join(); }
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // Starts the loop thread; it runs until mirror.stop_requested is set.
    void start();
    // Waits for the loop thread to end (the caller sets stop_requested and
    // signals the wakeup first).
    void join();
    bool running() const { return thread_.joinable(); }
    // Lets the thread go without waiting (process exit on platforms whose
    // threads are gone by then).
    void abandon();

    // The "!110:" frame of the 24 output values, without a line end.
    static std::string output_frame(const std::array<Cell<std::int32_t>, io_total>& values);

private:
    void run();
    // Sleeps up to ms, cut short only by a stop request.
    void pause(int ms);
    // True when an output check would find a change to send.
    bool outputs_differ() const;

    ControllerMirror& mirror_;
    PendingCommands& pending_;
    TCPClient& link_;
    Wakeup& wakeup_;
    std::thread thread_;
};

}  // namespace orvane
