// orvane-demo: a narrated session that shows what the library does, against
// the simulator started in this same process on the controller's default
// address. It uses the library exactly as a host would: the public exports
// of the shared library, nothing else.
#include <orvane/orvane.h>
#include <orvane_sim/simulator.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
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

class Narrator {
public:
    explicit Narrator(int total) : total_(total) {}
    void step(const std::string& title) {
        ++index_;
        std::cout << "\n[" << index_ << "/" << total_ << "] " << title << "\n";
    }
    static void say(const std::string& text) { std::cout << "      " << text << "\n" << std::flush; }
    void record(const std::string& name, bool ok, const std::string& note = {}) {
        results_.push_back({name, ok, note});
        if (!ok) say("FAILED: " + note);
    }
    const std::vector<StepResult>& results() const { return results_; }

private:
    int total_;
    int index_ = 0;
    std::vector<StepResult> results_;
};

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string positions_text(int count) {
    double pos[6] = {};
    Orvane_get_pos(pos);
    std::string text;
    for (int a = 0; a < count; ++a) {
        if (a) text += "  ";
        text += fixed(pos[a]);
    }
    return text;
}

// When each axis reached its target for good: the sample after its last one
// away from the target.
std::vector<double> arrival_times(const std::vector<std::vector<double>>& samples, const double* targets,
                                  double tolerance) {
    std::vector<double> arrivals(3, 0.0);
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            if (std::fabs(samples[i][a + 1] - targets[a]) > tolerance) {
                arrivals[a] = i + 1 < samples.size() ? samples[i + 1][0] : samples[i][0];
            }
        }
    }
    return arrivals;
}

bool write_text(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvane-demo: a narrated session with the orvane library and its controller simulator"};
    std::string out_dir = "demo-out";
    app.add_option("--out", out_dir, "Directory for xyz-move.csv and xyz-move.svg")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    const bool terminal = stdout_is_terminal() && enable_terminal_sequences();
    Narrator n(10);
    const std::string address = controller_address("");
    const std::string where = address + ":" + std::to_string(build_port());
    std::cout << "orvane demonstration: the library drives a simulated six-axis controller\n";

    // ---- 1. The simulator --------------------------------------------------
    n.step("Start the simulated controller");
    orvane::sim::SimulatorOptions sim_options;  // the library's default controller address
    orvane::sim::Simulator sim(sim_options);
    std::string error;
    if (!sim.start(&error)) {
        std::cerr << "\norvane-demo: cannot start the simulator on " << where << ": " << error << "\n\n"
                  << "The library connects to its controller at " << where << ", and on Linux a port below\n"
                  << "1024 may only be bound by root (or a program with cap_net_bind_service). Either:\n"
                  << "  - run the demonstration as root (sudo " << argv[0] << "), or\n"
                  << "  - run scripts/demo.sh, which falls back to a private network namespace\n"
                  << "    (unshare -rn) where the port is free to bind, or\n"
                  << "  - sudo setcap cap_net_bind_service=+ep " << argv[0] << "\n"
                  << "If another program (a simulator, another demonstration) already serves that address,\n"
                  << "stop it first.\n";
        return exit_not_connected;
    }
    // A machine is rarely switched on at its home position.
    const double power_on[6] = {12.5, -8.0, 20.0, 3.5, -4.0, 6.0};
    for (int a = 0; a < 6; ++a) sim.set_position(a, power_on[a]);
    Narrator::say("listening on " + where + " (controller type " + std::to_string(sim.controller_type()) +
                  ", six axes), one status line every 10 ms");
    Narrator::say("axes standing at " + fixed(power_on[0]) + "  " + fixed(power_on[1]) + "  " + fixed(power_on[2]) +
                  "  " + fixed(power_on[3]) + "  " + fixed(power_on[4]) + "  " + fixed(power_on[5]) +
                  ", not homed");
    n.record("simulator", true);

    // ---- 2. Connect ----------------------------------------------------------
    n.step("Connect: Orvane_initial()");
    const auto t0 = Clock::now();
    if (!connect_library("", 5.0, &error)) {
        n.record("connect", false, error);
        close_library();
        sim.stop();
        return exit_not_connected;
    }
    Narrator::say("connected; the library asked for the output levels, axis parameters and version and has them");
    Narrator::say("ready after " + fixed(ms_between(t0, Clock::now()), 0) + " ms; Orvane_is_connect() = " +
                  std::to_string(Orvane_is_connect()));
    n.record("connect", true);

    // ---- 3. Version and parameters --------------------------------------------
    n.step("Read the version and the axis parameters");
    {
        std::string version;
        Orvane_cmd(2001, 0, version);
        Narrator::say("Orvane_cmd(2001) version text: \"" + version + "\"");
        Narrator::say("Orvane_get_Type() = " + std::to_string(Orvane_get_Type()));
        std::string params;
        Orvane_cmd(2, 0, params);
        Narrator::say("Orvane_cmd(2, axis 0): " + params);
        const auto fields = split_commas(params);
        bool ok = fields.size() == 21;
        if (ok) {
            const auto& names = parameter_names();
            for (int k : {2, 19, 12, 13, 17, 14, 15}) {
                Narrator::say("  " + std::string(names[static_cast<std::size_t>(k)]) + " = " +
                              fields[static_cast<std::size_t>(k)]);
            }
        }
        n.record("version and parameters", ok && !version.empty(), "parameters incomplete");
    }

    // ---- 4. Home all axes -------------------------------------------------------
    n.step("Home all six axes: Orvane_go_home(axis, 20)");
    {
        const auto start = Clock::now();
        bool ok = true;
        for (int a = 0; a < 6; ++a) ok = ok && Orvane_go_home(a, 20.0f) == 1;
        // One bar for all six: the way back to 0 that is done so far.
        double start_pos[6] = {};
        Orvane_get_pos(start_pos);
        double total = 0;
        for (double p : start_pos) total += std::fabs(p);
        ProgressLine progress(terminal, "      ");
        std::string text;
        double fraction = 0;
        ok = ok && wait_until(
                       [&] {
                           double pos[6] = {};
                           Orvane_get_pos(pos);
                           int homed_count = 0;
                           double left = 0;
                           for (int a = 0; a < 6; ++a) {
                               bool homed = false;
                               bool still = false;
                               Orvane_get_home_state(a, homed);
                               Orvane_get_move_state(a, still);
                               homed_count += homed && still ? 1 : 0;
                               left += std::fabs(pos[a]);
                           }
                           fraction = total > 0 ? 1.0 - left / total : 1.0;
                           text = std::to_string(homed_count) + " of 6 homed   " + positions_text(6);
                           // The first reports may still show the old bits: give the
                           // controller a moment before believing "all homed".
                           const bool done = homed_count == 6 && ms_between(start, Clock::now()) > 300;
                           if (!done) progress.update(fraction, text);
                           return done;
                       },
                       20.0, 10);
        progress.finish(ok ? 1.0 : fraction, text);
        Narrator::say("positions now " + positions_text(6));
        Narrator::say("all homed after " + fixed(ms_between(start, Clock::now()) / 1000.0, 2) + " s");
        n.record("homing", ok, "not every axis reported homed");
    }

    // ---- 5. Single moves ---------------------------------------------------------
    n.step("Single-axis moves: Orvane_set_speed + Orvane_single_move_to");
    {
        bool ok = true;
        const struct {
            int axis;
            double target;
            float speed;
        } moves[] = {{0, 50.0, 40.0f}, {1, -25.0, 30.0f}};
        for (const auto& m : moves) {
            Narrator::say("axis " + std::to_string(m.axis) + " to " + fixed(m.target) + " at speed " +
                          fixed(m.speed, 1));
            ok = ok && Orvane_set_speed(m.axis, m.speed) == 1 && Orvane_single_move_to(m.axis, m.target) == 1;
            WaitOptions options;
            options.terminal = terminal;
        options.indent = "      ";
            options.timeout_s = 20;
            ok = ok && wait_for_arrival({{m.axis, m.target}}, options) == exit_ok;
        }
        Narrator::say("positions now " + positions_text(6));
        n.record("single moves", ok, "a move did not arrive");
    }

    // ---- 6. Coordinated move --------------------------------------------------------
    const double targets[3] = {150.0, 40.0, -20.0};
    n.step("Coordinated move of axes 0, 1, 2: Orvane_xyz_move_to(150, 40, -20)");
    {
        for (int a = 0; a < 3; ++a) Orvane_set_speed(a, 50.0f);
        Narrator::say("from " + positions_text(3) + "; the axis with the longest way runs at 50, the others follow");
        std::vector<std::vector<double>> samples;
        WaitOptions options;
        options.terminal = terminal;
        options.indent = "      ";
        options.timeout_s = 20;
        options.sample_period_ms = 10;
        options.on_sample = [&](double t_ms, const double* pos) {
            samples.push_back({t_ms / 1000.0, pos[0], pos[1], pos[2]});
        };
        bool ok = Orvane_xyz_move_to(targets[0], targets[1], targets[2]) == 1;
        ok = ok && wait_for_arrival({{0, targets[0]}, {1, targets[1]}, {2, targets[2]}}, options) == exit_ok;
        // A little more of the standstill makes the end of the move visible.
        const auto tail_start = Clock::now();
        const double offset = samples.empty() ? 0.0 : samples.back()[0];
        while (ok && ms_between(tail_start, Clock::now()) < 300) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            double pos[6] = {};
            Orvane_get_pos(pos);
            samples.push_back({offset + ms_between(tail_start, Clock::now()) / 1000.0, pos[0], pos[1], pos[2]});
        }
        const auto arrivals = arrival_times(samples, targets, 0.005);
        const double first = std::min({arrivals[0], arrivals[1], arrivals[2]});
        const double last = std::max({arrivals[0], arrivals[1], arrivals[2]});
        Narrator::say("arrivals: axis 0 at " + fixed(arrivals[0], 2) + " s, axis 1 at " + fixed(arrivals[1], 2) +
                      " s, axis 2 at " + fixed(arrivals[2], 2) + " s (spread " + fixed((last - first) * 1000, 0) +
                      " ms)");
        // Together means within a few status periods of each other.
        const bool together = last - first <= 0.05;

        std::error_code ec;
        std::filesystem::create_directories(out_dir, ec);
        std::string csv = "time_s,axis0,axis1,axis2\n";
        for (const auto& s : samples) csv += fixed(s[0], 4) + "," + fixed(s[1]) + "," + fixed(s[2]) + "," + fixed(s[3]) + "\n";
        Plot plot;
        plot.title = "Coordinated move of axes 0, 1 and 2";
        plot.x_label = "time since Orvane_xyz_move_to (s)";
        plot.y_label = "position (units of travel)";
        const char* colours[3] = {"#1f77b4", "#d62728", "#2ca02c"};
        // Positions change once per status line; a sample that saw no new
        // line adds only a stair step to the plot (the CSV keeps them all).
        std::vector<std::vector<double>> changes;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const bool last_one = i + 1 == samples.size();
            if (changes.empty() || last_one || samples[i][1] != changes.back()[1] || samples[i][2] != changes.back()[2] ||
                samples[i][3] != changes.back()[3]) {
                changes.push_back(samples[i]);
            }
        }
        for (std::size_t a = 0; a < 3; ++a) {
            PlotSeries series;
            series.name = "axis " + std::to_string(a) + " to " + fixed(targets[a], 0);
            series.colour = colours[a];
            for (const auto& s : changes) series.points.emplace_back(s[0], s[a + 1]);
            plot.series.push_back(std::move(series));
        }
        plot.markers.push_back({last, "all three arrive, t = " + fixed(last, 2) + " s"});
        const std::filesystem::path csv_path = std::filesystem::path(out_dir) / "xyz-move.csv";
        const std::filesystem::path svg_path = std::filesystem::path(out_dir) / "xyz-move.svg";
        const bool written = write_text(csv_path, csv) && write_text(svg_path, render_svg(plot));
        Narrator::say("wrote " + csv_path.string() + " (" + std::to_string(samples.size()) + " samples, every ~10 ms) and " +
                      svg_path.string());
        n.record("coordinated move", ok && together && written,
                 !ok ? "the axes did not arrive" : !together ? "the axes did not arrive together" : "could not write " + out_dir);
    }

    // ---- 7. Outputs ---------------------------------------------------------------------
    n.step("Digital outputs: Orvane_set_output, Orvane_set_outputAll");
    {
        bool ok = Orvane_set_output(3, true) == 1;
        const int level3 = sim.output_level(3);
        ok = ok && wait_until([&] { return sim.output_value(3) == level3 * 255; }, 2.0);
        Narrator::say("Orvane_set_output(3, true)  -> the simulator sees output 3 = " +
                      std::to_string(sim.output_value(3)) + " (level " + std::to_string(level3) + " x 255)");
        ok = ok && Orvane_set_output(5, 100) == 1;
        ok = ok && wait_until([&] { return sim.output_value(5) == sim.output_level(5) * 100; }, 2.0);
        Narrator::say("Orvane_set_output(5, 100)   -> the simulator sees output 5 = " + std::to_string(sim.output_value(5)));
        ok = ok && Orvane_set_output(3, false) == 1;
        ok = ok && wait_until([&] { return sim.output_value(3) == 0; }, 2.0);
        Narrator::say("Orvane_set_output(3, false) -> the simulator sees output 3 = " + std::to_string(sim.output_value(3)));
        ok = ok && Orvane_set_outputAll(false) == 1;
        ok = ok && wait_until([&] { return sim.output_value(5) == 0; }, 2.0);
        Narrator::say("Orvane_set_outputAll(false) -> the simulator sees output 5 = " + std::to_string(sim.output_value(5)));
        n.record("outputs", ok, "the simulator did not see an output change");
    }

    // ---- 8. Inputs ------------------------------------------------------------------------
    n.step("Digital inputs: a change at the controller seen through Orvane_get_input_bit");
    {
        const auto start = Clock::now();
        sim.set_input(7, true);
        bool level = false;
        bool ok = wait_until([&] { return Orvane_get_input_bit(7, level) == 1 && level; }, 2.0, 1);
        Narrator::say("the simulator switches input 7 on; the library reports it on after " +
                      fixed(ms_between(start, Clock::now()), 0) + " ms");
        sim.set_input(7, false);
        ok = ok && wait_until([&] { return Orvane_get_input_bit(7, level) == 1 && !level; }, 2.0, 1);
        Narrator::say("and off again: Orvane_get_input_bit(7) = " + std::to_string(level ? 1 : 0));
        n.record("inputs", ok, "the input change was not seen");
    }

    // ---- 9. Fly capture --------------------------------------------------------------------
    n.step("Fly capture: positions of axis 0 captured by the controller during a move");
    {
        // Ten captures, 100 ms apart, starting with axis 0's next motion.
        bool ok = Orvane_set_fly(0, 10, 100) == 1;
        int f1 = 0, f2 = 0, f3 = 0;
        Orvane_get_fly(f1, f2, f3);
        Narrator::say("Orvane_set_fly(0, 10, 100): axis " + std::to_string(f1) + ", " + std::to_string(f2) +
                      " captures every " + std::to_string(f3) + " ms");
        ok = ok && Orvane_start_fly(1, 0) == 1;
        Narrator::say("Orvane_start_fly(1, 0): start with the axis's next motion; now axis 0 moves to 0 at speed 60");
        ok = ok && Orvane_set_speed(0, 60.0f) == 1 && Orvane_single_move_to(0, 0.0) == 1;
        WaitOptions options;
        options.terminal = terminal;
        options.indent = "      ";
        options.timeout_s = 20;
        ok = ok && wait_for_arrival({{0, 0.0}}, options) == exit_ok;
        ok = ok && wait_until([] { return Orvane_get_fly_pos(nullptr) >= 10; }, 3.0);
        std::vector<double> captured(static_cast<std::size_t>(std::max(Orvane_get_fly_pos(nullptr), 0)));
        const int got = captured.empty() ? 0 : Orvane_get_fly_pos(captured.data());
        std::string list;
        for (int i = 0; i < got; ++i) {
            if (i) list += "  ";
            list += fixed(captured[static_cast<std::size_t>(i)], 2);
        }
        Narrator::say(std::to_string(got) + " captured positions (Orvane_get_fly_pos), 100 ms apart:");
        Narrator::say("  " + list);
        n.record("fly capture", ok && got == 10, "expected 10 captured positions");
    }

    // ---- 10. Raw text -------------------------------------------------------------------------
    n.step("Raw text: Orvane_cmd(5000) and the controller's answer through Orvane_cmd(5010)");
    {
        std::string clear;
        Orvane_cmd(5011, 0, clear);
        std::string text = "hello controller\n";
        const auto start = Clock::now();
        bool ok = Orvane_cmd(5000, 0, text) == 1;
        Narrator::say("sent \"hello controller\" as it is; polling paused for " +
                      fixed(ms_between(start, Clock::now()) / 1000.0, 1) + " s");
        std::string answer;
        ok = ok && wait_until(
                       [&] {
                           answer.clear();
                           Orvane_cmd(5010, 0, answer);
                           return !answer.empty() && answer != "-1";
                       },
                       3.0);
        Narrator::say("answer: \"" + answer + "\"");
        n.record("raw text", ok, "no answer arrived");
    }

    close_library();
    sim.stop();

    // ---- Summary ------------------------------------------------------------------------------------
    std::cout << "\nSummary\n";
    int failed = 0;
    for (const auto& r : n.results()) {
        std::cout << "  " << (r.ok ? "ok     " : "FAILED ") << r.name << (r.ok ? "" : "  (" + r.note + ")") << "\n";
        failed += r.ok ? 0 : 1;
    }
    std::cout << "  " << n.results().size() - static_cast<std::size_t>(failed) << " of " << n.results().size()
              << " steps succeeded; the plot of the coordinated move is " << out_dir << "/xyz-move.svg\n";
    return failed == 0 ? exit_ok : exit_refused;
}
