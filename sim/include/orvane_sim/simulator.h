// A stand-in controller that speaks the controller protocol on a loopback
// TCP port: tests start it in-process, and orvane-sim runs it standalone.
// Its behaviour (motion model, fly capture, raw answers, faults) is
// described in docs/simulator.md.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim {

// How the simulator ends a connection when a drop fault fires.
enum class DropStyle {
    orderly,   // FIN after the last whole line
    mid_line,  // the first half of a status line, then FIN
    reset,     // abortive close (RST)
};

// Faults to inject. Every one is off by default; each can also be changed
// while running through the Simulator calls of the same name.
struct FaultOptions {
    int drop_after_ms = 0;        // > 0: every connection is dropped this long after it was accepted
    int drop_random_min_ms = 0;   // max > 0: every connection is dropped after a random time
    int drop_random_max_ms = 0;   //   drawn evenly from [min, max] when it is accepted
    DropStyle drop_style = DropStyle::orderly;
    int trickle_delay_ms = -1;    // >= 0: every byte goes out in a send of its own, this far apart
    int merge_window_ms = 0;      // > 0: what falls due within the window goes out in one send
    double garbage_probability = 0.0;  // chance that a garbage line goes out before a line
    bool silent = false;          // no poll answers, no status lines, no reports
    int refuse_connections = 0;   // the next N connections are accepted and closed at once
    int reply_delay_ms = 0;       // every line goes out this much later than it was made
    std::uint32_t seed = 1;       // random drops and garbage are repeatable from it
};

// How often each fault has fired since the simulator started.
struct FaultCounters {
    int timed_drops = 0;          // connections ended by drop_after_ms or the random drops
    int mid_line_closes = 0;      // closes that cut a line (timed or drop_client_mid_line)
    int resets = 0;               // abortive closes (timed or reset_client)
    int trickled_lines = 0;       // lines sent byte by byte
    int merged_sends = 0;         // sends that carried more than one line because of merging
    int garbage_lines = 0;        // garbage lines sent
    int silenced_lines = 0;       // lines not sent because the simulator was silent
    int refused_connections = 0;  // connections closed at once after accept
    int delayed_lines = 0;        // lines held back by reply_delay_ms
};

// The parameter record of one axis: fields 0 to 9 are ints, 10 to 20 floats,
// in the order the "125" reply and the "120" command carry them.
struct AxisRecord {
    static constexpr int pulses_per_rev = 2;     // int field
    static constexpr int use_encoder = 9;        // int field
    static constexpr int soft_limit_margin = 10; // float fields from here on
    static constexpr int max_speed = 12;
    static constexpr int home_speed = 13;
    static constexpr int left_soft_limit = 14;
    static constexpr int right_soft_limit = 15;
    static constexpr int acc_time = 17;
    static constexpr int encoder_scale = 18;
    static constexpr int travel_per_rev = 19;

    std::array<std::int32_t, 10> ints{0, 0, 10000, 1, 50, 0, 0, 0, 0, 0};
    // max_speed is 100 rather than 0, so that a client that waits for a
    // loaded parameter set sees one.
    std::array<float, 11> floats{0.0f, 0.0f, 100.0f, 5.0f, -10000.0f, 10000.0f, 10.0f, 0.2f, 0.001f, 10.0f, 1.0f};

    // Field k (0..20) as a double, whichever kind it is.
    double field(int k) const { return k < 10 ? ints[static_cast<std::size_t>(k)] : floats[static_cast<std::size_t>(k - 10)]; }
};

struct SimulatorOptions {
    std::string bind_address;  // empty: the library's default controller address
    int port = -1;             // -1: the library's default controller port; 0: any free port
    int controller_type = 2;   // 1: three axes, 2: six axes
    int status_period_ms = 10; // 0: no status lines
    std::string version = "orvane-sim 0.1.0";
    std::string trace_path;  // empty: no trace; "-": standard error
    std::vector<std::string> trace_skip;  // codes whose lines the trace leaves out, e.g. "100" (status)
    std::array<bool, 24> inputs{};  // input levels at start, input 1 first
    int raw_reply_delay_ms = 0;     // extra delay of "5010" answers to raw text
    std::size_t history_limit = 100000;  // received commands and chunks kept (oldest dropped)
    FaultOptions faults;
};

// A command text received from the library, with its arrival time.
struct ReceivedCommand {
    double time_ms;    // milliseconds since the simulator started
    std::string text;  // one command, e.g. "160:2,25.0,100.500000!", or a poll line "190:190"
};

// One protocol line as it crossed the connection, for a line observer.
struct LineEvent {
    double time_ms;         // milliseconds since the simulator started
    char direction;         // '<' received from the client, '>' sent to it
    bool garbage;           // a garbage line sent by the garbage fault
    std::string_view text;  // the line without its line feed (a cut line as far as it went)
};

// Sees every line received and sent. Runs on the connection's threads while
// the simulator works: it must return quickly and must not call the
// Simulator. text is valid only during the call.
using LineObserver = std::function<void(const LineEvent&)>;

// Why start() failed.
enum class StartFailure {
    none,                 // it did not fail (or was not started)
    bad_options,          // controller type, port or address not valid
    trace_file,           // the trace file cannot be opened
    permission,           // the port needs privileges (below 1024 on Linux)
    address_in_use,       // another socket listens on the address and port
    address_unavailable,  // the address is not one of this machine's
    other,                // any other socket error
};

class Simulator {
public:
    explicit Simulator(SimulatorOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds and starts serving. On failure returns false with a message for
    // people in *error (when given).
    bool start(std::string* error = nullptr);
    void stop();
    // Why the last start() failed; none after a successful one.
    StartFailure start_failure() const;

    const std::string& address() const;
    std::uint16_t port() const;  // the bound port

    // Connections.
    bool client_connected() const;
    int connection_count() const;  // connections accepted so far (refused ones not included)
    bool wait_for_client(int timeout_ms) const;
    // Waits until no client is connected (the client left or was dropped).
    bool wait_for_disconnect(int timeout_ms) const;
    // Waits until connection_count() reaches count.
    bool wait_for_connections(int count, int timeout_ms) const;
    void drop_client();  // closes the current connection (orderly)
    void drop_client_mid_line();  // sends half a status line, then closes
    void reset_client();          // abortive close (RST)

    // Everything received, as commands in arrival order; and the raw bytes of
    // every receive call, for checks of framing.
    std::vector<ReceivedCommand> received_commands() const;
    std::vector<std::string> received_chunks() const;
    void clear_received();
    // Waits until a received command starts with prefix (true) or the time
    // runs out (false).
    bool wait_for_command(std::string_view prefix, int timeout_ms) const;
    // Waits until at least count received commands start with prefix.
    bool wait_for_commands(std::string_view prefix, std::size_t count, int timeout_ms) const;
    std::size_t command_count(std::string_view prefix) const;

    // Lines sent to the client, counted by code (the text before ":", e.g.
    // "100", "520", "5010"); garbage lines are not counted.
    int sent_count(std::string_view code) const;
    bool wait_for_sent(std::string_view code, int count, int timeout_ms) const;
    // Sends text to the client as it is (no line feed added), through the
    // same path and faults as the simulator's own lines (silence aside).
    // False when no client is connected.
    bool send_raw(std::string_view text);
    // Installs an observer of every protocol line in both directions
    // (empty: none). Lines sent go to it once they were handed to the
    // socket; a send of several lines is seen line by line.
    void set_line_observer(LineObserver observer);

    // Controller state.
    double position(int axis) const;   // units of travel
    bool moving(int axis) const;
    bool homed(int axis) const;
    // Waits until the axis stands still.
    bool wait_for_still(int axis, int timeout_ms) const;
    void set_position(int axis, double position);  // ends any motion of the axis
    void set_input(int input, bool level);  // input 1..24
    bool input(int input) const;
    int output_value(int output) const;  // output 1..24
    int output_level(int output) const;  // 1..16
    void set_output_level(int output, int level);
    int controller_type() const;
    AxisRecord axis_record(int axis) const;
    void set_axis_record(int axis, const AxisRecord& record);
    void set_version(std::string version);
    void set_status_period(int ms);
    // Fly: the set-up last received ("490"), and the reports ("520") sent.
    std::array<int, 3> fly_setup() const;
    std::vector<double> last_fly_positions() const;  // positions of the last report

    // Faults (see FaultOptions).
    FaultOptions faults() const;
    void set_faults(const FaultOptions& faults);
    void set_drop_after(int ms);
    void set_random_drops(int min_ms, int max_ms);
    void set_drop_style(DropStyle style);
    void set_trickle(int delay_ms);  // -1: off
    void set_merge_window(int ms);
    void set_garbage(double probability);
    void set_silent(bool silent);
    void refuse_connections(int count);
    void set_reply_delay(int ms);
    FaultCounters fault_counters() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::sim
