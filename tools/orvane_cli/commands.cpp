#include "commands.h"

#include <orvane/orvane.h>
#include <orvane_sim/simulator.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "motion_wait.h"
#include "support.h"
#include "terminal.h"

namespace orvane::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Ctrl-C ends live views cleanly (cursor back, library closed). A lock-free
// atomic is safe to set from a signal handler.
std::atomic<bool> interrupted{false};
void on_interrupt(int) { interrupted.store(true); }

int refused(const std::string& what) {
    std::cerr << "orvane: " << what << "\n";
    return exit_refused;
}

int lost_link() {
    std::cerr << "orvane: the link to the controller is down\n";
    return exit_not_connected;
}

// The library sends queued commands on its next pass, a millisecond or so
// later; make sure that happened before the process closes the library.
void let_commands_go(const Context& ctx, const char* prefix) {
    if (ctx.sim) {
        ctx.sim->wait_for_command(prefix, 2000);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

bool check_axis(int axis) {
    const int count = axis_count();
    if (axis < count) return true;
    std::cerr << "orvane: axis " << axis << " is out of range: this controller (type " << Orvane_get_Type()
              << ") has axes 0 to " << count - 1 << "\n";
    return false;
}

bool check_in_range(int axis, double position) {
    double left = 0;
    double right = 0;
    if (Orvane_get_leftRight_softLimit(axis, left, right) != 1) return true;
    if (position >= left && position <= right) return true;
    std::cerr << "orvane: position " << fixed(position) << " is outside axis " << axis << "'s range " << fixed(left)
              << " .. " << fixed(right) << "\n";
    return false;
}

struct Snapshot {
    double pos[6] = {};
    bool still[6] = {};
    bool homed[6] = {};
    bool inputs[24] = {};
};

bool take_snapshot(Snapshot& s) {
    if (Orvane_get_pos(s.pos) != 1) return false;
    for (int a = 0; a < 6; ++a) {
        Orvane_get_move_state(a, s.still[a]);
        Orvane_get_home_state(a, s.homed[a]);
    }
    return Orvane_get_input_bit(s.inputs) == 1;
}

std::string input_groups(const bool* inputs) {
    std::string text;
    for (int i = 0; i < 24; ++i) {
        if (i > 0 && i % 8 == 0) text += ' ';
        text += inputs[i] ? '1' : '0';
    }
    return text;
}

std::string inputs_on(const bool* inputs) {
    std::string text;
    for (int i = 0; i < 24; ++i) {
        if (!inputs[i]) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(i + 1);
    }
    return text.empty() ? "none" : text;
}

std::string mirror_text(int code, int axis = 0) {
    std::string text;
    Orvane_cmd(code, axis, text);
    return text;
}

std::string type_text(int type) {
    switch (type) {
        case 1:
            return "1 (three axes)";
        case 2:
        case 3:
            return std::to_string(type) + " (six axes)";
        default:
            return std::to_string(type) + " (unknown)";
    }
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

std::string pad_right(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

}  // namespace

int run_status(const Context& ctx) {
    Snapshot s;
    if (!take_snapshot(s)) return lost_link();
    const int count = axis_count();
    std::cout << "controller  " << ctx.address << (ctx.sim ? " (simulator in this process)" : "") << "  connected\n";
    std::cout << "type        " << type_text(Orvane_get_Type()) << "\n";
    std::cout << "version     " << mirror_text(2001) << "\n\n";
    std::cout << "axis    position  moving  homed  max speed  acc time  range\n";
    for (int a = 0; a < count; ++a) {
        int max_speed = 0;
        double acc = 0;
        double left = 0;
        double right = 0;
        Orvane_get_max_speed(a, max_speed);
        Orvane_get_acc_time(a, acc);
        Orvane_get_leftRight_softLimit(a, left, right);
        std::cout << pad(std::to_string(a), 4) << pad(fixed(s.pos[a]), 12) << "  " << pad_right(s.still[a] ? "no" : "yes", 6)
                  << "  " << pad_right(s.homed[a] ? "yes" : "no", 5) << pad(std::to_string(max_speed), 11)
                  << pad(fixed(acc), 10) << "  " << fixed(left) << " .. " << fixed(right) << "\n";
    }
    std::cout << "\ninputs      " << input_groups(s.inputs) << "   (on: " << inputs_on(s.inputs) << ")\n";
    std::string levels = mirror_text(4);
    for (char& c : levels) {
        if (c == ',') c = ' ';
    }
    std::cout << "out levels  " << levels << "\n";
    if (ctx.sim) {
        std::string values;
        for (int o = 1; o <= 24; ++o) {
            if (o > 1) values += ' ';
            values += std::to_string(ctx.sim->output_value(o));
        }
        std::cout << "out values  " << values << "   (as the simulator holds them)\n";
    }
    const std::string io = mirror_text(103);
    std::cout << "I/O text    " << (io.empty() ? "(none)" : io) << "\n";
    int f1 = 0;
    int f2 = 0;
    int f3 = 0;
    Orvane_get_fly(f1, f2, f3);
    std::cout << "fly         settings " << f1 << ", " << f2 << ", " << f3 << "; " << Orvane_get_fly_pos(nullptr)
              << " captured positions\n";
    return exit_ok;
}

int run_watch(const Context& ctx, int interval_ms, int count) {
    interrupted = false;
    const auto previous = std::signal(SIGINT, on_interrupt);
    const bool live = ctx.terminal && enable_terminal_sequences();
    const int axes = axis_count();
    const auto start = Clock::now();
    int lines_drawn = 0;
    int result = exit_ok;
    if (live) std::cout << "\x1b[?25l";  // hide the cursor while redrawing
    for (int n = 0; (count <= 0 || n < count) && !interrupted.load(); ++n) {
        Snapshot s;
        const bool up = take_snapshot(s);
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        if (live) {
            std::vector<std::string> lines;
            lines.push_back(ctx.address + (up ? "  connected" : "  NOT CONNECTED") + "   " + fixed(t, 1) +
                            " s   (Ctrl-C ends)");
            lines.push_back("axis    position  moving  homed");
            for (int a = 0; a < axes; ++a) {
                lines.push_back(pad(std::to_string(a), 4) + pad(fixed(s.pos[a]), 12) + "  " +
                                pad_right(s.still[a] ? "no" : "yes", 6) + "  " + (s.homed[a] ? "yes" : "no"));
            }
            lines.push_back("inputs  " + input_groups(s.inputs) + "   (on: " + inputs_on(s.inputs) + ")");
            if (lines_drawn > 0) std::cout << "\x1b[" << lines_drawn << "A";
            for (const auto& line : lines) std::cout << '\r' << line << "\x1b[K\n";
            std::cout << std::flush;
            lines_drawn = static_cast<int>(lines.size());
        } else {
            std::string line = "t=" + fixed(t, 2) + (up ? "" : " NOT-CONNECTED") + " pos";
            for (int a = 0; a < axes; ++a) {
                line += ' ';
                line += fixed(s.pos[a]);
            }
            line += " moving ";
            for (int a = 0; a < axes; ++a) line += s.still[a] ? '-' : 'M';
            line += " homed ";
            for (int a = 0; a < axes; ++a) line += s.homed[a] ? 'H' : '-';
            line += " in " + input_groups(s.inputs);
            std::cout << line << std::endl;
        }
        if (!up) result = exit_not_connected;
        // Sleep in small steps so that Ctrl-C is seen at once.
        const auto next = Clock::now() + std::chrono::milliseconds(interval_ms);
        while (Clock::now() < next && !interrupted.load() && (count <= 0 || n + 1 < count)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (live) std::cout << "\x1b[?25h" << std::flush;
    std::signal(SIGINT, previous);
    return result;
}

int run_move(const Context& ctx, int axis, double position, double speed, bool wait, double wait_timeout) {
    if (!check_axis(axis) || !check_in_range(axis, position)) return exit_refused;
    if (Orvane_set_speed(axis, static_cast<float>(speed)) != 1) return refused("the speed was refused");
    if (Orvane_single_move_to(axis, position) != 1) return refused("the move was refused");
    std::cout << "moving axis " << axis << " to " << fixed(position) << " at speed " << fixed(speed, 1) << "\n";
    if (!wait) {
        let_commands_go(ctx, "160:");
        return exit_ok;
    }
    WaitOptions options;
    options.timeout_s = wait_timeout;
    options.terminal = ctx.terminal;
    const int result = wait_for_arrival({{axis, position}}, options);
    if (result == exit_ok) std::cout << "axis " << axis << " arrived at " << fixed(position) << "\n";
    return result;
}

int run_xyz(const Context& ctx, double x, double y, double z, double speed, bool wait, double wait_timeout) {
    const double targets[3] = {x, y, z};
    for (int a = 0; a < 3; ++a) {
        if (!check_in_range(a, targets[a])) return exit_refused;
        if (Orvane_set_speed(a, static_cast<float>(speed)) != 1) return refused("the speed was refused");
    }
    if (Orvane_xyz_move_to(x, y, z) != 1) return refused("the coordinated move was refused");
    std::cout << "moving axes 0, 1, 2 together to " << fixed(x) << ", " << fixed(y) << ", " << fixed(z)
              << " (the longest way at speed " << fixed(speed, 1) << ")\n";
    if (!wait) {
        let_commands_go(ctx, "161:");
        return exit_ok;
    }
    WaitOptions options;
    options.timeout_s = wait_timeout;
    options.terminal = ctx.terminal;
    const int result = wait_for_arrival({{0, x}, {1, y}, {2, z}}, options);
    if (result == exit_ok) std::cout << "axes 0, 1, 2 arrived\n";
    return result;
}

int run_home(const Context& ctx, int axis, double speed, bool wait, double wait_timeout) {
    if (!check_axis(axis)) return exit_refused;
    if (Orvane_go_home(axis, static_cast<float>(speed)) != 1) return refused("homing was refused");
    std::cout << "homing axis " << axis
              << (speed >= 0.1 ? " at speed " + fixed(speed, 1) : std::string(" at its homing speed")) << "\n";
    if (!wait) {
        let_commands_go(ctx, "130:");
        return exit_ok;
    }
    WaitOptions options;
    options.timeout_s = wait_timeout;
    options.terminal = ctx.terminal;
    const int result = wait_for_home(axis, options);
    if (result == exit_ok) std::cout << "axis " << axis << " is homed\n";
    return result;
}

int run_jog(const Context& ctx, int axis, const std::string& direction, double speed, double for_seconds) {
    if (!check_axis(axis)) return exit_refused;
    if (Orvane_set_speed(axis, static_cast<float>(speed)) != 1) return refused("the speed was refused");
    const bool positive = direction == "+";
    if (Orvane_jog_move(axis, positive) != 1) return refused("the jog was refused");
    std::cout << "jogging axis " << axis << (positive ? " in + direction" : " in - direction") << " at speed "
              << fixed(speed, 1) << "\n";
    if (for_seconds <= 0) {
        let_commands_go(ctx, "150:");
        std::cout << "(the axis keeps going until `orvane stop " << axis << "`)\n";
        return exit_ok;
    }
    interrupted = false;
    const auto previous = std::signal(SIGINT, on_interrupt);
    const auto end = Clock::now() + std::chrono::microseconds(static_cast<long long>(for_seconds * 1e6));
    ProgressLine progress(ctx.terminal);
    double pos[6] = {};
    while (Clock::now() < end && !interrupted.load()) {
        if (Orvane_get_pos(pos) != 1) break;
        const double left = std::chrono::duration<double>(end - Clock::now()).count();
        progress.update(1.0 - left / for_seconds, "axis " + std::to_string(axis) + " at " + fixed(pos[axis]));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::signal(SIGINT, previous);
    Orvane_stop(axis, 0);
    Orvane_get_pos(pos);
    progress.finish(1.0, "axis " + std::to_string(axis) + " at " + fixed(pos[axis]) + ", stopping");
    let_commands_go(ctx, "140:");
    // Report where it came to rest.
    wait_until(
        [axis] {
            bool still = false;
            return Orvane_get_move_state(axis, still) == 1 && still;
        },
        5.0);
    Orvane_get_pos(pos);
    std::cout << "axis " << axis << " stopped at " << fixed(pos[axis]) << "\n";
    return exit_ok;
}

int run_stop(const Context& ctx, int axis, int mode) {
    if (Orvane_stop(axis, mode) != 1) return refused("the stop was refused");
    std::cout << "stopping axis " << axis << " (mode " << mode << ")\n";
    let_commands_go(ctx, "140:");
    return exit_ok;
}

int run_zero(const Context& ctx, int axis) {
    if (!check_axis(axis)) return exit_refused;
    if (Orvane_zero(axis) != 1) return refused("zeroing was refused");
    let_commands_go(ctx, "170:");
    double pos[6] = {};
    const bool zeroed = wait_until(
        [&] { return Orvane_get_pos(pos) == 1 && std::fabs(pos[axis]) < 0.0005; }, 2.0);
    if (zeroed) {
        std::cout << "axis " << axis << " zeroed: position " << fixed(pos[axis]) << "\n";
    } else {
        std::cout << "zero sent to axis " << axis << "; it still reports " << fixed(pos[axis]) << "\n";
    }
    return exit_ok;
}

int run_out(const Context& ctx, int output, const std::string& value) {
    const auto levels = split_commas(mirror_text(4));
    const int level = levels.size() == 24 ? std::atoi(levels[static_cast<std::size_t>(output - 1)].c_str()) : 0;
    int expected = 0;
    int ok = 0;
    if (value == "on" || value == "off") {
        ok = Orvane_set_output(output, value == "on");
        expected = value == "on" ? level * 255 : 0;
    } else {
        const int v = std::atoi(value.c_str());
        ok = Orvane_set_output(output, v);
        expected = (level == 0 ? 16 : level) * v;
    }
    if (ok != 1) return refused("setting output " + std::to_string(output) + " was refused");
    std::cout << "output " << output << " set to " << value << " (level " << level << ", value " << expected << ")\n";
    if (ctx.sim) {
        const bool seen = wait_until([&] { return ctx.sim->output_value(output) == expected; }, 2.0);
        std::cout << "simulator: output " << output << " now " << ctx.sim->output_value(output)
                  << (seen ? "" : " (the change did not arrive)") << "\n";
        return seen ? exit_ok : exit_not_arrived;
    }
    // Outputs go out with the library's next output check, every few ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return exit_ok;
}

int run_in(const Context&, int input) {
    if (input > 0) {
        bool level = false;
        if (Orvane_get_input_bit(input, level) != 1) return lost_link();
        std::cout << "input " << input << ": " << (level ? "on" : "off") << "\n";
        return exit_ok;
    }
    bool inputs[24] = {};
    if (Orvane_get_input_bit(inputs) != 1) return lost_link();
    std::cout << "inputs " << input_groups(inputs) << "   (on: " << inputs_on(inputs) << ")\n";
    return exit_ok;
}

int run_params(const Context& ctx, int axis, const std::string& set_text) {
    if (!check_axis(axis)) return exit_refused;
    if (!set_text.empty()) {
        std::string text = set_text;
        const auto fields = split_commas(text);
        if (fields.size() != 21) {
            return refused("--set needs exactly 21 comma-separated values, got " + std::to_string(fields.size()));
        }
        try {
            if (Orvane_cmd(3, axis, text) != 1) return refused("the parameters were refused");
        } catch (const std::invalid_argument& e) {
            return refused(std::string("a value of --set is not a number (") + e.what() + ")");
        } catch (const std::out_of_range& e) {
            return refused(std::string("a value of --set is out of range (") + e.what() + ")");
        }
        let_commands_go(ctx, "120:");
        std::cout << "parameters of axis " << axis << " sent\n";
    }
    const auto fields = split_commas(mirror_text(2, axis));
    if (fields.size() != 21) return lost_link();
    std::cout << "parameters of axis " << axis << ":\n";
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::cout << pad(std::to_string(i), 4) << "  " << pad_right(parameter_names()[i], 18) << " " << fields[i]
                  << "\n";
    }
    return exit_ok;
}

int run_levels(const Context& ctx, const std::string& set_text) {
    if (!set_text.empty()) {
        std::string text = set_text;
        const auto fields = split_commas(text);
        if (fields.size() != 24) {
            return refused("--set needs exactly 24 comma-separated levels, got " + std::to_string(fields.size()));
        }
        try {
            if (Orvane_cmd(5, 0, text) != 1) return refused("the levels were refused");
        } catch (const std::invalid_argument& e) {
            return refused(std::string("a level of --set is not a whole number (") + e.what() + ")");
        } catch (const std::out_of_range& e) {
            return refused(std::string("a level of --set is out of range (") + e.what() + ")");
        }
        let_commands_go(ctx, "180:");
        std::cout << "output levels sent (each kept within 1..16)\n";
    }
    std::string levels = mirror_text(4);
    for (char& c : levels) {
        if (c == ',') c = ' ';
    }
    std::cout << "output levels (outputs 1 to 24): " << levels << "\n";
    return exit_ok;
}

int run_raw(const Context&, const std::string& text, bool exact, double answer_timeout) {
    std::string clear;
    Orvane_cmd(5011, 0, clear);
    std::string sent = text;
    if (!exact && (sent.empty() || sent.back() != '\n')) sent += '\n';
    std::cout << "sending raw text (polling pauses for a second)...\n" << std::flush;
    if (Orvane_cmd(5000, 0, sent) != 1) return lost_link();
    std::string answer;
    const bool answered = wait_until(
        [&] {
            answer = mirror_text(5010);
            return !answer.empty() && answer != "-1";
        },
        answer_timeout);
    if (!answered) {
        std::cout << "no answer within " << fixed(answer_timeout, 1) << " s\n";
        return exit_not_arrived;
    }
    std::cout << "answer: " << answer << "\n";
    return exit_ok;
}

int run_fly_setup(const Context& ctx, int axis, int count, int interval_ms) {
    if (!check_axis(axis)) return exit_refused;
    if (Orvane_set_fly(axis, count, interval_ms) != 1) return refused("the fly set-up was refused");
    let_commands_go(ctx, "490:");
    int a = 0;
    int b = 0;
    int c = 0;
    Orvane_get_fly(a, b, c);
    std::cout << "fly set up: axis " << a << ", " << b << " captures, every " << c << " ms\n";
    return exit_ok;
}

int run_fly_start(const Context& ctx, int first, int second, double wait_s) {
    if (Orvane_start_fly(first, second) != 1) return refused("the fly start was refused");
    std::cout << "fly started (" << first << ", " << second << ")\n";
    if (wait_s <= 0) {
        let_commands_go(ctx, "500:");
        return exit_ok;
    }
    return run_fly_positions(ctx, wait_s);
}

int run_fly_trim(const Context& ctx, int value, double wait_s) {
    if (Orvane_trim_fly(value) != 1) return refused("the fly trim was refused");
    std::cout << "fly trimmed (" << value << ")\n";
    if (wait_s <= 0) {
        let_commands_go(ctx, "510:");
        return exit_ok;
    }
    return run_fly_positions(ctx, wait_s);
}

int run_fly_positions(const Context&, double wait_s) {
    // The library holds the positions of the last report ("520") that came
    // while it was connected: a fresh process has none until one arrives.
    if (wait_s > 0 && !wait_until([] { return Orvane_get_fly_pos(nullptr) > 0; }, wait_s)) {
        std::cerr << "orvane: no captured positions arrived within " << fixed(wait_s, 1) << " s\n";
        return exit_not_arrived;
    }
    const int n = Orvane_get_fly_pos(nullptr);
    std::vector<double> positions(static_cast<std::size_t>(n > 0 ? n : 0));
    const int got = n > 0 ? Orvane_get_fly_pos(positions.data()) : 0;
    std::cout << got << " captured positions";
    for (int i = 0; i < got; ++i) std::cout << (i % 8 == 0 ? "\n  " : "  ") << fixed(positions[static_cast<std::size_t>(i)]);
    std::cout << "\n";
    return exit_ok;
}

int run_version(const Context& ctx) {
    std::cout << "orvane tool " << build_version() << "\n";
    std::cout << "controller  " << mirror_text(2001) << " at " << ctx.address << ", type "
              << type_text(Orvane_get_Type()) << "\n";
    return exit_ok;
}

}  // namespace orvane::tool
