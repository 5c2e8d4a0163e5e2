// orvane-demo: a narrated session that shows what the library does, against
// the simulator started in this same process on a free loopback port. It
// uses the library as a host would: a controller handle (orvane::Controller)
// over the public C interface of the shared library. One function per
// narrated step.
#include <orvane/controller.hpp>
#include <orvane_sim/simulator.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "motion_wait.h"
#include "support.h"
#include "svg_plot.h"
#include "terminal.h"

namespace {

using namespace orvane::tool;
using Clock = std::chrono::steady_clock;

struct StepResult {
    std::string name;
    bool ok = false;
    std::string note;
};

// The narration; the library's messages join it from the library's threads.
class Narrator {
public:
    explicit Narrator(int total) : total_(total) {}
    void step(const std::string& title) {
        std::lock_guard lock(mutex_);
        ++index_;
        std::cout << "\n[" << index_ << "/" << total_ << "] " << title << "\n" << std::flush;
    }
    void say(const std::string& text) {
        std::lock_guard lock(mutex_);
        std::cout << "      " << text << "\n" << std::flush;
    }
    void record(const std::string& name, bool ok, const std::string& note = {}) {
        results_.push_back({name, ok, note});
        if (!ok) say("FAILED: " + note);
    }
    const std::vector<StepResult>& results() const { return results_; }

private:
    std::mutex mutex_;
    int total_;
    int index_ = 0;
    std::vector<StepResult> results_;
};

// What every step needs.
struct Demo {
    Narrator narrator{10};
    orvane::sim::Simulator* sim = nullptr;
    std::unique_ptr<orvane::Controller> controller;
    bool terminal = false;
    std::string out_dir;

    orvane::Controller& ctl() { return *controller; }
    WaitOptions wait_options() const {
        WaitOptions options;
        options.terminal = terminal;
        options.indent = "      ";
        options.timeout_s = 20;
        return options;
    }
};

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string positions_text(const orvane::Controller& controller, int count) {
    const auto pos = controller.positions().value_or(std::array<double, 6>{});
    std::string text;
    for (int a = 0; a < count; ++a) text += (a ? "  " : "") + fixed(pos[static_cast<std::size_t>(a)]);
    return text;
}

bool write_text(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

// ---- 1 ----------------------------------------------------------------------
bool start_simulator(Demo& d, orvane::sim::Simulator& sim) {
    d.narrator.step("Start the simulated controller");
    std::string error;
    if (!sim.start(&error)) {
        d.narrator.record("simulator", false, "cannot start the simulator on 127.0.0.1: " + error);
        return false;
    }
    d.sim = &sim;
    // A machine is rarely switched on at its home position.
    const double power_on[6] = {12.5, -8.0, 20.0, 3.5, -4.0, 6.0};
    std::string where;
    for (int a = 0; a < 6; ++a) {
        sim.set_position(a, power_on[a]);
        where += (a ? "  " : "") + fixed(power_on[a]);
    }
    d.narrator.say("listening on " + sim.address() + ":" + std::to_string(sim.port()) +
                   " (a free loopback port; controller type " + std::to_string(sim.controller_type()) +
                   ", six axes), one status line every 10 ms");
    d.narrator.say("axes standing at " + where + ", not homed");
    d.narrator.record("simulator", true);
    return true;
}

// ---- 2 ----------------------------------------------------------------------
bool connect(Demo& d) {
    d.narrator.step("Connect: an orvane::Controller handle for " + d.sim->address() + ":" +
                    std::to_string(d.sim->port()) + ", then wait_ready()");
    const auto t0 = Clock::now();
    ConnectRequest request;
    request.host = d.sim->address();
    request.port = d.sim->port();
    request.timeout_s = 5.0;
    // The library's own messages, in UTF-8, join the narration.
    Narrator* narrator = &d.narrator;
    request.log = [narrator](orvane::LogLevel level, std::string_view text) {
        const char* name = level == orvane::LogLevel::info ? "info" : level == orvane::LogLevel::warning ? "warning" : "error";
        narrator->say("library " + std::string(name) + ": " + std::string(text));
    };
    ConnectResult result = connect_controller(request);
    if (!result.controller) {
        d.narrator.record("connect", false, result.error);
        return false;
    }
    d.controller = std::move(result.controller);
    d.narrator.say("connected; the library asked for the output levels, axis parameters and version and has them");
    d.narrator.say("ready after " + fixed(ms_between(t0, Clock::now()), 0) +
                   " ms; connected() = " + (d.ctl().connected() ? "true" : "false") +
                   ", ready() = " + (d.ctl().ready() ? "true" : "false"));
    d.narrator.record("connect", true);
    return true;
}

// ---- 3 ----------------------------------------------------------------------
void version_and_parameters(Demo& d) {
    d.narrator.step("Read the version and the axis parameters");
    const std::string version = d.ctl().version().value_or("");
    d.narrator.say("version() = \"" + version + "\", type() = " + std::to_string(d.ctl().type()));
    const std::string params = d.ctl().parameters(0).value_or("");
    d.narrator.say("parameters(0): " + params);
    const auto fields = split_commas(params);
    const bool ok = fields.size() == 21;
    if (ok) {
        const auto& names = parameter_names();
        for (int k : {2, 19, 12, 13, 17, 14, 15}) {
            const auto i = static_cast<std::size_t>(k);
            d.narrator.say("  " + std::string(names[i]) + " = " + num(std::atof(fields[i].c_str())));
        }
    }
    d.narrator.record("version and parameters", ok && !version.empty(), "parameters incomplete");
}

// ---- 4 ----------------------------------------------------------------------
void home_all(Demo& d) {
    d.narrator.step("Home all six axes: home(axis, 20), then wait_homed()");
    const auto start = Clock::now();
    bool ok = true;
    for (int a = 0; a < 6; ++a) ok = d.ctl().home(a, 20.0f) && ok;
    // One bar for all six: the way back to 0 that is done so far.
    const auto first = d.ctl().positions().value_or(std::array<double, 6>{});
    double total = 0;
    for (double p : first) total += std::fabs(p);
    ProgressLine progress(d.terminal, "      ");
    std::string text;
    double fraction = 0;
    bool done = false;
    while (ok && !done && ms_between(start, Clock::now()) < 20000) {
        // The first reports may still show the old bits: give the controller
        // a moment before believing "all homed".
        done = orvane_ctl_wait_homed(d.ctl().handle(), 0x3F, 10) == 1 &&
               orvane_ctl_wait_at_rest(d.ctl().handle(), 0x3F, 0) == 1 && ms_between(start, Clock::now()) > 300;
        const auto pos = d.ctl().positions().value_or(std::array<double, 6>{});
        int homed = 0;
        double left = 0;
        for (int a = 0; a < 6; ++a) {
            homed += d.ctl().homed(a).value_or(false) && d.ctl().at_rest(a).value_or(false) ? 1 : 0;
            left += std::fabs(pos[static_cast<std::size_t>(a)]);
        }
        fraction = total > 0 ? 1.0 - left / total : 1.0;
        text = std::to_string(homed) + " of 6 homed   " + positions_text(d.ctl(), 6);
        if (!done) progress.update(fraction, text);
        if (done) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    progress.finish(done ? 1.0 : fraction, text);
    d.narrator.say("positions now " + positions_text(d.ctl(), 6));
    d.narrator.say("all homed after " + fixed(ms_between(start, Clock::now()) / 1000.0, 2) + " s");
    d.narrator.record("homing", ok && done, "not every axis reported homed");
}

// ---- 5 ----------------------------------------------------------------------
void single_moves(Demo& d) {
    d.narrator.step("Single-axis moves: set_speed + move_to, then wait until arrived");
    bool ok = true;
    const struct {
        int axis;
        double target;
        float speed;
    } moves[] = {{0, 50.0, 40.0f}, {1, -25.0, 30.0f}};
    for (const auto& m : moves) {
        d.narrator.say("axis " + std::to_string(m.axis) + " to " + num(m.target) + " at speed " + num(m.speed));
        ok = ok && d.ctl().set_speed(m.axis, m.speed) && d.ctl().move_to(m.axis, m.target);
        ok = ok && wait_for_arrival(d.ctl(), {{m.axis, m.target}}, d.wait_options()).end == WaitEnd::done;
    }
    d.narrator.say("positions now " + positions_text(d.ctl(), 6));
    d.narrator.record("single moves", ok, "a move did not arrive");
}

// ---- 6 ----------------------------------------------------------------------
struct Sample {
    double t = 0;  // seconds since the move command
    std::array<double, 3> pos{};
};

// Records the coordinated move one sample per status line: a sample when
// the positions the library holds change (stamped when the change is seen),
// and, while the axes stand, one for each status line the simulator sends.
// No host timer decides when to look, so nothing aliases.
class StatusRecorder {
public:
    StatusRecorder(const orvane::Controller& controller, const orvane::sim::Simulator& sim, Clock::time_point t0)
        : controller_(controller), sim_(sim), t0_(t0), lines_seen_(sim.sent_count("100")) {}

    void poll() {
        const auto now = Clock::now();
        const auto all = controller_.positions();
        if (!all) return;
        const std::array<double, 3> pos{(*all)[0], (*all)[1], (*all)[2]};
        const int lines = sim_.sent_count("100");
        if (samples_.empty() || pos != samples_.back().pos) {
            add(now, pos);
            lines_seen_ = lines;
            line_pending_ = false;
        } else if (lines > lines_seen_ && orvane_ctl_wait_at_rest(controller_.handle(), 0x7, 0) == 1) {
            // A line went out while the axes stand: if it brings no change,
            // it is a standstill line. (While they move, every line changes
            // the positions; a line late under load is not taken for one.)
            lines_seen_ = lines;
            line_pending_ = true;
            line_time_ = now;
        } else if (line_pending_ && ms_between(line_time_, now) >= 3.0) {
            add(line_time_, pos);
            line_pending_ = false;
        }
    }
    const std::vector<Sample>& samples() const { return samples_; }

private:
    void add(Clock::time_point when, const std::array<double, 3>& pos) {
        if (samples_.empty()) t0_ = when;  // the first sample, taken just before the command, is t = 0
        samples_.push_back({std::chrono::duration<double>(when - t0_).count(), pos});
    }
    const orvane::Controller& controller_;
    const orvane::sim::Simulator& sim_;
    Clock::time_point t0_;
    int lines_seen_;
    bool line_pending_ = false;
    Clock::time_point line_time_{};
    std::vector<Sample> samples_;
};

// When each axis reached its target for good: the first sample after its
// last one away from the target.
std::array<double, 3> arrival_times(const std::vector<Sample>& samples, const double* targets, double tolerance) {
    std::array<double, 3> arrivals{};
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (std::fabs(samples[i].pos[a] - targets[a]) > tolerance) {
                arrivals[a] = i + 1 < samples.size() ? samples[i + 1].t : samples[i].t;
            }
        }
    }
    return arrivals;
}

bool write_plot(Demo& d, const std::vector<Sample>& samples, const double* targets, double all_arrived) {
    std::error_code ec;
    std::filesystem::create_directories(d.out_dir, ec);
    std::string csv = "time_s,axis0,axis1,axis2\n";
    for (const auto& s : samples) {
        csv += fixed(s.t, 4) + "," + fixed(s.pos[0]) + "," + fixed(s.pos[1]) + "," + fixed(s.pos[2]) + "\n";
    }
    Plot plot;
    plot.title = "Coordinated move of axes 0, 1 and 2";
    plot.x_label = "time since xyz_move_to (s)";
    plot.y_label = "position (units of travel)";
    const char* colours[3] = {"#1f77b4", "#d62728", "#2ca02c"};
    for (std::size_t a = 0; a < 3; ++a) {
        PlotSeries series;
        series.name = "axis " + std::to_string(a) + " to " + num(targets[a]);
        series.colour = colours[a];
        for (const auto& s : samples) series.points.emplace_back(s.t, s.pos[a]);
        plot.series.push_back(std::move(series));
    }
    plot.markers.push_back({all_arrived, "all three arrive, t = " + fixed(all_arrived, 2) + " s"});
    const auto csv_path = std::filesystem::path(d.out_dir) / "xyz-move.csv";
    const auto svg_path = std::filesystem::path(d.out_dir) / "xyz-move.svg";
    const bool written = write_text(csv_path, csv) && write_text(svg_path, render_svg(plot));
    d.narrator.say("wrote " + csv_path.string() + " (" + std::to_string(samples.size()) +
                   " samples, one per status line) and " + svg_path.string());
    return written;
}

void coordinated_move(Demo& d) {
    const double targets[3] = {150.0, 40.0, -20.0};
    d.narrator.step("Coordinated move of axes 0, 1, 2: xyz_move_to(150, 40, -20)");
    for (int a = 0; a < 3; ++a) d.ctl().set_speed(a, 50.0f);
    d.narrator.say("from " + positions_text(d.ctl(), 3) + "; the axis with the longest way runs at 50, the others follow");
    const auto t0 = Clock::now();
    StatusRecorder recorder(d.ctl(), *d.sim, t0);
    recorder.poll();
    bool ok = d.ctl().xyz_move_to(targets[0], targets[1], targets[2]);
    ProgressLine progress(d.terminal, "      ");
    const double initial = std::max({std::fabs(targets[0] - recorder.samples().front().pos[0]),
                                     std::fabs(targets[1] - recorder.samples().front().pos[1]),
                                     std::fabs(targets[2] - recorder.samples().front().pos[2])});
    bool arrived = false;
    Clock::time_point arrived_at{};
    while (ok && ms_between(t0, Clock::now()) < 20000) {
        recorder.poll();
        const auto& last = recorder.samples().back();
        double remaining = 0;
        for (std::size_t a = 0; a < 3; ++a) remaining = std::max(remaining, std::fabs(targets[a] - last.pos[a]));
        if (!arrived && remaining <= 0.005 && orvane_ctl_wait_at_rest(d.ctl().handle(), 0x7, 0) == 1) {
            arrived = true;
            arrived_at = Clock::now();
            progress.finish(1.0, "remaining " + fixed(remaining));
        }
        if (!arrived) progress.update(initial > 0 ? 1.0 - remaining / initial : 1.0, "remaining " + fixed(remaining));
        // A little more of the standstill makes the end of the move visible.
        if (arrived && ms_between(arrived_at, Clock::now()) >= 300) break;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (!arrived) progress.end_line();
    const auto& samples = recorder.samples();
    const auto arrivals = arrival_times(samples, targets, 0.005);
    const double first = std::min({arrivals[0], arrivals[1], arrivals[2]});
    const double last = std::max({arrivals[0], arrivals[1], arrivals[2]});
    d.narrator.say("arrivals: axis 0 at " + fixed(arrivals[0], 2) + " s, axis 1 at " + fixed(arrivals[1], 2) +
                   " s, axis 2 at " + fixed(arrivals[2], 2) + " s (spread " + fixed((last - first) * 1000, 0) + " ms)");
    // Together means within a few status periods of each other.
    const bool together = last - first <= 0.05;
    const bool written = write_plot(d, samples, targets, last);
    d.narrator.record("coordinated move", ok && arrived && together && written,
                      !arrived ? "the axes did not arrive" : !together ? "the axes did not arrive together"
                                                                        : "could not write " + d.out_dir);
}

// ---- 7 ----------------------------------------------------------------------
template <class Condition>
bool within(double seconds, Condition condition) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void outputs(Demo& d) {
    d.narrator.step("Digital outputs: set_output, set_output_value, set_all_outputs");
    auto& sim = *d.sim;
    bool ok = d.ctl().set_output(3, true);
    const int level3 = sim.output_level(3);
    ok = ok && within(2.0, [&] { return sim.output_value(3) == level3 * 255; });
    d.narrator.say("set_output(3, true)        -> the simulator sees output 3 = " + std::to_string(sim.output_value(3)) +
                   " (level " + std::to_string(level3) + " x 255)");
    ok = ok && d.ctl().set_output_value(5, 100);
    ok = ok && within(2.0, [&] { return sim.output_value(5) == sim.output_level(5) * 100; });
    d.narrator.say("set_output_value(5, 100)   -> the simulator sees output 5 = " + std::to_string(sim.output_value(5)));
    ok = ok && d.ctl().set_output(3, false);
    ok = ok && within(2.0, [&] { return sim.output_value(3) == 0; });
    d.narrator.say("set_output(3, false)       -> the simulator sees output 3 = " + std::to_string(sim.output_value(3)));
    ok = ok && d.ctl().set_all_outputs(false);
    ok = ok && within(2.0, [&] { return sim.output_value(5) == 0; });
    d.narrator.say("set_all_outputs(false)     -> the simulator sees output 5 = " + std::to_string(sim.output_value(5)));
    d.narrator.record("outputs", ok, "the simulator did not see an output change");
}

// ---- 8 ----------------------------------------------------------------------
void inputs(Demo& d) {
    d.narrator.step("Digital inputs: a change at the controller seen through input()");
    const auto start = Clock::now();
    d.sim->set_input(7, true);
    bool ok = within(2.0, [&] { return d.ctl().input(7).value_or(false); });
    d.narrator.say("the simulator switches input 7 on; the library reports it on after " +
                   fixed(ms_between(start, Clock::now()), 0) + " ms");
    d.sim->set_input(7, false);
    ok = ok && within(2.0, [&] { return !d.ctl().input(7).value_or(true); });
    d.narrator.say(std::string("and off again: input(7) = ") + (d.ctl().input(7).value_or(true) ? "true" : "false"));
    d.narrator.record("inputs", ok, "the input change was not seen");
}

// ---- 9 ----------------------------------------------------------------------
void fly_capture(Demo& d) {
    d.narrator.step("Fly capture: positions of axis 0 captured by the controller during a move");
    // Ten captures, 100 ms apart, starting with axis 0's next motion.
    bool ok = d.ctl().set_fly(0, 10, 100);
    const auto f = d.ctl().fly();
    d.narrator.say("set_fly(0, 10, 100): axis " + std::to_string(f[0]) + ", " + std::to_string(f[1]) +
                   " captures every " + std::to_string(f[2]) + " ms");
    ok = ok && d.ctl().start_fly(1, 0);
    d.narrator.say("start_fly(1, 0): start with the axis's next motion; now axis 0 moves to 0 at speed 60");
    ok = ok && d.ctl().set_speed(0, 60.0f) && d.ctl().move_to(0, 0.0);
    ok = ok && wait_for_arrival(d.ctl(), {{0, 0.0}}, d.wait_options()).end == WaitEnd::done;
    ok = ok && within(3.0, [&] { return d.ctl().fly_positions().size() >= 10; });
    const auto captured = d.ctl().fly_positions();
    std::string list;
    for (double p : captured) list += (list.empty() ? "" : "  ") + fixed(p, 2);
    d.narrator.say(std::to_string(captured.size()) + " captured positions (fly_positions()), 100 ms apart:");
    d.narrator.say("  " + list);
    d.narrator.record("fly capture", ok && captured.size() == 10, "expected 10 captured positions");
}

// ---- 10 ---------------------------------------------------------------------
void raw_text(Demo& d) {
    d.narrator.step("Raw text: cmd(5000) and the controller's answer through cmd(5010)");
    std::string clear;
    d.ctl().cmd(ORVANE_CMD_CLEAR_RAW_REPLY, 0, clear);
    std::string text = "hello controller\n";
    const auto start = Clock::now();
    bool ok = d.ctl().cmd(ORVANE_CMD_RAW_SEND, 0, text) == 1;
    d.narrator.say("sent \"hello controller\" as it is; polling paused for " +
                   fixed(ms_between(start, Clock::now()) / 1000.0, 1) + " s");
    std::string answer;
    ok = ok && within(3.0, [&] {
             answer.clear();
             d.ctl().cmd(ORVANE_CMD_RAW_REPLY, 0, answer);
             return !answer.empty() && answer != "-1";
         });
    d.narrator.say("answer: \"" + answer + "\"");
    d.narrator.record("raw text", ok, "no answer arrived");
}

int summary(const Demo& d) {
    std::cout << "\nSummary\n";
    int failed = 0;
    for (const auto& r : d.narrator.results()) {
        std::cout << "  " << (r.ok ? "ok     " : "FAILED ") << r.name << (r.ok ? "" : "  (" + r.note + ")") << "\n";
        failed += r.ok ? 0 : 1;
    }
    std::cout << "  " << d.narrator.results().size() - static_cast<std::size_t>(failed) << " of "
              << d.narrator.results().size() << " steps succeeded; the plot of the coordinated move is " << d.out_dir
              << "/xyz-move.svg\n";
    return failed == 0 ? exit_ok : exit_refused;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvane-demo: a narrated session with the orvane library and its controller simulator"};
    Demo d;
    d.out_dir = "demo-out";
    app.add_option("--out", d.out_dir, "Directory for xyz-move.csv and xyz-move.svg")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    d.terminal = stdout_is_terminal() && enable_terminal_sequences();
    std::cout << "orvane demonstration: the library drives a simulated six-axis controller\n";

    orvane::sim::SimulatorOptions sim_options;
    sim_options.bind_address = "127.0.0.1";
    sim_options.port = 0;  // a free port: no privileges needed
    orvane::sim::Simulator sim(sim_options);
    if (start_simulator(d, sim) && connect(d)) {
        version_and_parameters(d);
        home_all(d);
        single_moves(d);
        coordinated_move(d);
        outputs(d);
        inputs(d);
        fly_capture(d);
        raw_text(d);
        d.controller.reset();  // sends what is still queued, then closes
    }
    sim.stop();
    return summary(d);
}
