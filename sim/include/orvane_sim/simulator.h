// A stand-in controller that speaks the controller protocol on a loopback
// TCP port: tests start it in-process, and orvane-sim runs it standalone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sim {

struct SimulatorOptions {
    std::string bind_address;  // empty: the library's default controller address
    int port = -1;             // -1: the library's default controller port; 0: any free port
    int controller_type = 2;   // 1: three axes, 2: six axes
    int status_period_ms = 10;
    std::string version = "orvane-sim 0.1.0";
    std::string trace_path;  // empty: no trace; "-": standard error
};

// A command text received from the library, with its arrival time.
struct ReceivedCommand {
    double time_ms;    // milliseconds since the simulator started
    std::string text;  // one command, e.g. "160:2,25.0,100.500000!", or a poll line "190:190"
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

    const std::string& address() const;
    std::uint16_t port() const;  // the bound port

    // Connections.
    bool client_connected() const;
    int connection_count() const;  // connections accepted so far
    bool wait_for_client(int timeout_ms) const;
    void drop_client();  // closes the current connection (orderly)

    // Everything received, as commands in arrival order; and the raw bytes of
    // every receive call, for checks of framing.
    std::vector<ReceivedCommand> received_commands() const;
    std::vector<std::string> received_chunks() const;
    void clear_received();
    // Waits until a received command starts with prefix (true) or the time
    // runs out (false).
    bool wait_for_command(std::string_view prefix, int timeout_ms) const;

    // Controller state.
    double position(int axis) const;   // units of travel
    bool moving(int axis) const;
    bool homed(int axis) const;
    void set_input(int input, bool level);  // input 1..24
    bool input(int input) const;
    int output_value(int output) const;  // output 1..24
    int output_level(int output) const;  // 1..16
    int controller_type() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::sim
