// Everything one host's connection to one controller needs: the state
// mirror, the pending command text, the link and the poll loop, and every
// operation the exports offer. The process-wide exports use one default
// Runtime; each controller handle of the C interface owns one.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "link/link_log.h"
#include "link/tcp_client.h"
#include "state/controller_mirror.h"
#include "state/line_assembler.h"
#include "state/pending_commands.h"
#include "state/poll_loop.h"
#include "state/wakeup.h"

namespace orvane {

struct RuntimeConfig {
    // Dotted prefix of three octets, ending in a point; a host number given
    // to codes 6000 and 6001 is appended to it.
    std::string net_prefix;
    // The controller's address at start: a dotted IPv4 address, or a host
    // name when link.resolve_host_names is set. Empty: net_prefix +
    // default_host.
    std::string host;
    std::string default_host = "254";
    int port = 0;
    LinkTimings link{};
    int raw_send_pause_ms = 1000;     // code 5000
    int restart_pause_ms = 5000;      // code 6000
    int quick_restart_pause_ms = 500; // code 6001
    int home_pause_ms = 50;           // homing and fly start/trim
    // Where the link's messages go while no log handler is set.
    ConsoleLog console = ConsoleLog::off;
    LogHandler log;
    // Told of every change of the connection, after the mirror has taken it.
    std::function<void(bool)> on_connection_change;

    // The build's controller network prefix and port, messages on the
    // console stream that ORVANE_LOG names.
    static RuntimeConfig defaults();
};

enum class WaitResult { done, timed_out, closed };

// The axes a wait looks at: bit a for axis a.
using AxisMask = unsigned;

class Runtime {
public:
    explicit Runtime(RuntimeConfig config = RuntimeConfig::defaults());
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // Start, stop and state of the connection. initial() tries once on the
    // calling thread unless attempt_now is false; the link goes on trying
    // by itself either way.
    int initial(bool attempt_now = true);
    int close();
    int is_connect() const;
    // Connected, and the output levels, the axis parameters and the version
    // text have arrived.
    bool ready() const;

    // Waits, up to timeout_ms, for the condition; returns early (closed)
    // when close() is called or the runtime is not started.
    WaitResult wait_connected(int timeout_ms);
    WaitResult wait_ready(int timeout_ms);
    // The axes' move-state bits are all 1, taken after the hold-off that a
    // move starts.
    WaitResult wait_at_rest(AxisMask axes, int timeout_ms);
    WaitResult wait_homed(AxisMask axes, int timeout_ms);
    bool at_rest(AxisMask axes) const;
    bool homed(AxisMask axes) const;

    // Where the link connects (codes 6000 and 6001 change it).
    std::string controller_address() const { return mirror_.controller_address.get(); }

    // True on one of this runtime's own threads (inside its callbacks).
    bool on_own_thread() const;

    // Replaces the log handler (empty: back to the console setting).
    void set_log_handler(LogHandler handler);

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
    // Copies at most capacity positions; the number held.
    std::size_t copy_fly_positions(double* positions, std::size_t capacity) const;
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

    // Applies one received chunk (the link's data callback): whole lines
    // only, the rest kept for the next chunk.
    void on_data(std::string_view chunk);
    // The controller fell quiet after a chunk: a kept unterminated line is
    // a reply of its own.
    void on_quiet();
    // The link's connection-state callback.
    void on_connection_change(bool up);

private:
    friend struct NumberedCommands;

    // The guards of the exports. Which range applies is part of each
    // operation's contract: most axis operations take only the axes the
    // controller has, stopping and the read-outs any axis 0..5.
    bool connected() const { return mirror_.connected.load(); }
    static bool any_axis(int axis) { return axis >= 0 && axis < axis_total; }
    bool existing_axis(int axis) const { return axis >= 0 && axis < mirror_.axis_count.get(); }
    static bool io_number(int number) { return number >= 1 && number <= io_total; }

    // Appends a command and wakes the poll loop.
    void queue(std::string_view command);
    // Ends the session: sends what is queued while the link is up, then
    // stops the poll loop and the link and forgets what is still queued.
    // lifecycle_mutex_ must be held.
    void stop_locked();
    int initial_locked(bool attempt_now);
    // Switches to another controller address: codes 6000 and 6001.
    void restart(const std::string& host_text, int pause_ms);
    // Sleeps on the calling thread; false when close() cut it short.
    bool lifecycle_pause(int ms, std::uint64_t generation);
    void apply_text(std::string_view text);
    void log(MessageLevel level, const std::string& gbk_text);
    void notify_waiters();
    template <class Condition>
    WaitResult wait_until(int timeout_ms, Condition&& condition);

    const RuntimeConfig config_;
    ControllerMirror mirror_;
    Wakeup wakeup_;
    PendingCommands pending_;
    TCPClient link_;
    PollLoop poll_loop_;

    std::mutex receive_mutex_;  // the assembler: link thread, and tests feeding bytes
    LineAssembler assembler_;

    std::mutex lifecycle_mutex_;  // initial, close and restarts one at a time
    std::condition_variable lifecycle_cv_;
    std::uint64_t close_generation_ = 0;  // guarded by lifecycle_mutex_
    bool started_ = false;                // guarded by lifecycle_mutex_
    std::atomic<bool> running_{false};    // started_, for waits
    std::atomic<int> raw_pauses_{0};      // code 5000 calls under way

    // Waits sleep here; state changes wake them while any wait is under way.
    std::mutex wait_mutex_;
    std::condition_variable wait_cv_;
    std::atomic<int> waiters_{0};
    std::atomic<std::uint64_t> wait_generation_{0};  // bumped by close()

    std::mutex log_mutex_;
    LogHandler log_handler_;
};

}  // namespace orvane
