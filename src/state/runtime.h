// Everything one host's connection to one controller needs: the state
// mirror, the pending command text, the link and the poll loop, and every
// operation the exports offer. The library holds one process-wide Runtime;
// tests build their own, pointed at a simulator on a loopback port.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "link/tcp_client.h"
#include "state/controller_mirror.h"
#include "state/pending_commands.h"
#include "state/poll_loop.h"
#include "state/wakeup.h"

namespace orvane {

struct RuntimeConfig {
    // Dotted prefix of three octets, ending in a point; the host number is
    // appended to it.
    std::string net_prefix;
    std::string default_host = "254";
    int port = 0;
    LinkTimings link{};
    int raw_send_pause_ms = 1000;     // code 5000
    int restart_pause_ms = 5000;      // code 6000
    int quick_restart_pause_ms = 500; // code 6001
    int home_pause_ms = 50;           // homing and fly start/trim

    // The build's controller network prefix and port.
    static RuntimeConfig defaults();
};

class Runtime {
public:
    explicit Runtime(RuntimeConfig config = RuntimeConfig::defaults());
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Start, stop and state of the connection.
    int initial();
    int close();
    int is_connect() const;

    // The numbered entry point. Codes 3 and 5 may throw std::invalid_argument
    // or std::out_of_range for a field that does not convert.
    int cmd(int code, int axis, std::string& text);

    // Point-to-point motion.
    int set_speed(int axis, float speed);
    int single_move_to(int axis, double position);
    int xyz_move_to(double x, double y, double z);

    // Homing, jogging, stopping and zeroing.
    int go_home(int axis, float speed);
    int jog_move(int axis, bool direction);
    int stop(int axis, int mode);
    int zero(int axis);

    // Fly triggering.
    int set_fly(int first, int second, int third);
    int start_fly(int first, int second);
    int trim_fly(int value);

    // Digital outputs.
    int set_output_value(int output, int value);
    int set_output_on(int output, bool on);
    int set_output_all(bool on);

    // Status queries, answered from the mirror.
    int get_type() const;
    int get_acc_time(int axis, double& time) const;
    int get_axis_rotation(int axis, bool& flag) const;
    int get_fly(int& first, int& second, int& third) const;
    int get_fly_pos(double* positions) const;
    int get_home_state(int axis, bool& state) const;
    int get_input_bit(int input, bool& level) const;
    int get_input_bits(bool* levels) const;
    int get_soft_limits(int axis, double& left, double& right) const;
    int get_max_speed(int axis, int& speed) const;
    int get_move_state(int axis, bool& state) const;
    int get_pos(double* positions) const;

    ControllerMirror& mirror() { return mirror_; }
    const ControllerMirror& mirror() const { return mirror_; }
    PendingCommands& pending() { return pending_; }
    TCPClient& link() { return link_; }
    const RuntimeConfig& config() const { return config_; }

    // Applies one received chunk to the mirror (the link's data callback).
    void on_data(std::string_view chunk);
    // The link's connection-state callback.
    void on_connection_change(bool up);

private:
    // Appends a command and wakes the poll loop.
    void queue(std::string_view command);
    // Stops the poll loop and the link; lifecycle_mutex_ must be held.
    void stop_locked();
    int initial_locked();
    // Switches to another controller address: codes 6000 and 6001.
    void restart(const std::string& host_text, int pause_ms);
    // Sleeps on the calling thread; false when close() cut it short.
    bool lifecycle_pause(int ms, std::uint64_t generation);

    const RuntimeConfig config_;
    ControllerMirror mirror_;
    Wakeup wakeup_;
    PendingCommands pending_;
    TCPClient link_;
    PollLoop poll_loop_;

    std::mutex lifecycle_mutex_;  // initial, close and restarts one at a time
    std::condition_variable lifecycle_cv_;
    std::uint64_t close_generation_ = 0;  // guarded by lifecycle_mutex_
    bool started_ = false;                // guarded by lifecycle_mutex_
    std::atomic<int> raw_pauses_{0};      // code 5000 calls under way
};

}  // namespace orvane
