// status, watch, version.
#include <orvane_sim/simulator.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "cli.h"
#include "terminal.h"

namespace orvane::tool {

namespace {

using Clock = std::chrono::steady_clock;
using json = nlohmann::ordered_json;

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

std::string input_groups(const std::array<bool, 24>& inputs) {
    std::string text;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (i > 0 && i % 8 == 0) text += ' ';
        text += inputs[i] ? '1' : '0';
    }
    return text;
}

std::string inputs_on(const std::array<bool, 24>& inputs) {
    std::string text;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!inputs[i]) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(i + 1);
    }
    return text.empty() ? "none" : text;
}

std::vector<int> output_levels(orvane::Controller& controller) {
    std::string text;
    controller.cmd(ORVANE_CMD_READ_LEVELS, 0, text);
    std::vector<int> levels;
    for (const auto& field : split_commas(text)) levels.push_back(std::atoi(field.c_str()));
    return levels;
}

std::string text_code(orvane::Controller& controller, int code) {
    std::string text;
    controller.cmd(code, 0, text);
    return text;
}

// One picture of the controller.
struct Snapshot {
    bool connected = false;
    std::array<double, 6> positions{};
    std::array<bool, 6> moving{};
    std::array<bool, 6> homed{};
    std::array<bool, 24> inputs{};
};

Snapshot take_snapshot(const orvane::Controller& controller) {
    Snapshot s;
    const auto pos = controller.positions();
    const auto inputs = controller.inputs();
    if (!pos || !inputs) return s;
    s.connected = true;
    s.positions = *pos;
    s.inputs = *inputs;
    for (int a = 0; a < 6; ++a) {
        s.moving[static_cast<std::size_t>(a)] = !controller.at_rest(a).value_or(true);
        s.homed[static_cast<std::size_t>(a)] = controller.homed(a).value_or(false);
    }
    return s;
}

json positions_json(const std::array<double, 6>& positions, int axes) {
    json list = json::array();
    for (int a = 0; a < axes; ++a) list.push_back(json_number(positions[static_cast<std::size_t>(a)]));
    return list;
}

int run_status(Session& s, bool as_json) {
    wait_state_bits(s.controller, 1.0);
    const Snapshot snap = take_snapshot(s.controller);
    if (!snap.connected) return fail(exit_not_connected, "the link to the controller went down");
    const int axes = axis_count(s.controller);
    const std::string version = text_code(s.controller, ORVANE_CMD_VERSION);
    const std::string io = text_code(s.controller, ORVANE_CMD_IO_TEXT);
    const auto levels = output_levels(s.controller);
    const auto fly = s.controller.fly();
    const auto captured = s.controller.fly_positions().size();

    if (as_json) {
        json doc;
        doc["controller"] = {{"address", s.where},
                             {"simulator", s.sim != nullptr},
                             {"connected", true},
                             {"ready", s.controller.ready()},
                             {"type", s.controller.type()},
                             {"axes", axes},
                             {"version", version}};
        doc["axes"] = json::array();
        for (int a = 0; a < axes; ++a) {
            const auto i = static_cast<std::size_t>(a);
            const auto range = s.controller.soft_limits(a);
            doc["axes"].push_back({{"axis", a},
                                   {"position", json_number(snap.positions[i])},
                                   {"moving", snap.moving[i]},
                                   {"homed", snap.homed[i]},
                                   {"max_speed", s.controller.max_speed(a).value_or(0)},
                                   {"acc_time", json_number(s.controller.acc_time(a).value_or(0))},
                                   {"range", {json_number(range ? range->first : 0), json_number(range ? range->second : 0)}}});
        }
        doc["inputs"] = snap.inputs;
        doc["output_levels"] = levels;
        if (s.sim) {
            json values = json::array();
            for (int o = 1; o <= 24; ++o) values.push_back(s.sim->output_value(o));
            doc["output_values"] = values;
        }
        doc["io_text"] = io;
        doc["fly"] = {{"settings", fly}, {"captured", captured}};
        print_json(doc);
        return exit_ok;
    }

    std::cout << "controller  " << s.where << (s.sim ? " (simulator in this process)" : "") << "  connected\n";
    std::cout << "type        " << type_text(s.controller.type()) << "\n";
    std::cout << "version     " << version << "\n\n";
    std::cout << "axis    position  moving  homed  max speed  acc time  range\n";
    for (int a = 0; a < axes; ++a) {
        const auto i = static_cast<std::size_t>(a);
        const auto range = s.controller.soft_limits(a);
        std::cout << pad(std::to_string(a), 4) << pad(fixed(snap.positions[i]), 12) << "  "
                  << pad_right(snap.moving[i] ? "yes" : "no", 6) << "  " << pad_right(snap.homed[i] ? "yes" : "no", 5)
                  << pad(std::to_string(s.controller.max_speed(a).value_or(0)), 11)
                  << pad(num(s.controller.acc_time(a).value_or(0)), 10) << "  "
                  << (range ? num(range->first) + " .. " + num(range->second) : std::string("?")) << "\n";
    }
    std::cout << "\ninputs      " << input_groups(snap.inputs) << "   (on: " << inputs_on(snap.inputs) << ")\n";
    std::string level_text;
    for (int level : levels) level_text += (level_text.empty() ? "" : " ") + std::to_string(level);
    std::cout << "out levels  " << level_text << "\n";
    if (s.sim) {
        std::string values;
        for (int o = 1; o <= 24; ++o) values += (o > 1 ? " " : "") + std::to_string(s.sim->output_value(o));
        std::cout << "out values  " << values << "   (as the simulator holds them)\n";
    }
    std::cout << "I/O text    " << (io.empty() ? "(none)" : io) << "\n";
    std::cout << "fly         settings " << fly[0] << ", " << fly[1] << ", " << fly[2] << "; " << captured
              << " captured positions\n";
    return exit_ok;
}

struct WatchArgs {
    int interval_ms = 200;
    int count = 0;
    bool json = false;
};

int run_watch(Session& s, const WatchArgs& a) {
    wait_state_bits(s.controller, 1.0);
    const bool live = s.terminal && !a.json;
    const int axes = axis_count(s.controller);
    const auto start = Clock::now();
    int lines_drawn = 0;
    bool up = true;
    if (live) std::cout << "\x1b[?25l" << std::flush;  // hide the cursor while redrawing
    for (int n = 0; (a.count <= 0 || n < a.count) && !stop_requested(); ++n) {
        const Snapshot snap = take_snapshot(s.controller);
        up = snap.connected;
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        if (a.json) {
            json line = {{"t", json_number(t)}, {"connected", up}};
            if (up) {
                line["positions"] = positions_json(snap.positions, axes);
                line["moving"] = std::vector<bool>(snap.moving.begin(), snap.moving.begin() + axes);
                line["homed"] = std::vector<bool>(snap.homed.begin(), snap.homed.begin() + axes);
                line["inputs"] = snap.inputs;
            }
            print_json(line);
        } else if (live) {
            std::vector<std::string> lines;
            lines.push_back(s.where + (up ? "  connected" : "  NOT CONNECTED (reconnecting)") + "   " + fixed(t, 1) +
                            " s   (Ctrl-C ends)");
            lines.push_back("axis    position  moving  homed");
            for (int ax = 0; ax < axes; ++ax) {
                const auto i = static_cast<std::size_t>(ax);
                lines.push_back(pad(std::to_string(ax), 4) + (up ? pad(fixed(snap.positions[i]), 12) : pad("-", 12)) +
                                "  " + pad_right(up ? (snap.moving[i] ? "yes" : "no") : "-", 6) + "  " +
                                (up ? (snap.homed[i] ? "yes" : "no") : "-"));
            }
            lines.push_back("inputs  " + (up ? input_groups(snap.inputs) + "   (on: " + inputs_on(snap.inputs) + ")"
                                             : std::string("-")));
            if (lines_drawn > 0) std::cout << "\x1b[" << lines_drawn << "A";
            for (const auto& line : lines) std::cout << '\r' << line << "\x1b[K\n";
            std::cout << std::flush;
            lines_drawn = static_cast<int>(lines.size());
        } else {
            std::string line = "t=" + fixed(t, 2);
            if (up) {
                line += " pos";
                for (int ax = 0; ax < axes; ++ax) line += " " + fixed(snap.positions[static_cast<std::size_t>(ax)]);
                line += " moving ";
                for (int ax = 0; ax < axes; ++ax) line += snap.moving[static_cast<std::size_t>(ax)] ? 'M' : '-';
                line += " homed ";
                for (int ax = 0; ax < axes; ++ax) line += snap.homed[static_cast<std::size_t>(ax)] ? 'H' : '-';
                line += " in " + input_groups(snap.inputs);
            } else {
                line += " NOT-CONNECTED (reconnecting)";
            }
            std::cout << line << "\n" << std::flush;
        }
        // Sleep in small steps so that Ctrl-C is seen at once.
        const auto next = Clock::now() + std::chrono::milliseconds(a.interval_ms);
        while (Clock::now() < next && !stop_requested() && (a.count <= 0 || n + 1 < a.count)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (live) std::cout << "\x1b[?25h" << std::flush;  // the cursor back
    // Ending on Ctrl-C or SIGTERM is how a watch ends: not a failure.
    stop_handled();
    up = s.controller.connected();
    if (!up) return fail(exit_not_connected, "the link to the controller was down when the watch ended");
    return exit_ok;
}

int run_version(Session& s, bool as_json) {
    const std::string version = text_code(s.controller, ORVANE_CMD_VERSION);
    if (as_json) {
        print_json({{"tool", build_version()},
                    {"library", orvane_version()},
                    {"controller", {{"version", version}, {"address", s.where}, {"type", s.controller.type()}}}});
        return exit_ok;
    }
    std::cout << "orvane tool " << build_version() << " (library " << orvane_version() << ")\n";
    std::cout << "controller  " << version << " at " << s.where << ", type " << type_text(s.controller.type()) << "\n";
    return exit_ok;
}

}  // namespace

void add_info_commands(CLI::App& app, Commands& commands) {
    {
        auto as_json = std::make_shared<bool>(false);
        auto* sub = app.add_subcommand("status", "Connection, type, version, positions, state bits, inputs, outputs");
        sub->add_flag("--json", *as_json, "One JSON object instead of the table");
        set_examples(sub, {"orvane --sim status", "orvane --sim status --json"});
        commands.push_back({sub, [as_json](Session& s) { return run_status(s, *as_json); }});
    }
    {
        auto a = std::make_shared<WatchArgs>();
        auto* sub = app.add_subcommand(
            "watch",
            "Live view until Ctrl-C or SIGTERM; rides out link drops (exit 0: link up at the end, 2: down)");
        sub->add_option("--interval", a->interval_ms, "Milliseconds between refreshes")
            ->check(CLI::Range(10, 60000))
            ->capture_default_str();
        sub->add_option("--count", a->count, "Stop after this many refreshes (0: until Ctrl-C)")
            ->check(CLI::NonNegativeNumber);
        sub->add_flag("--json", a->json, "One JSON object per refresh, one per line");
        set_examples(sub, {"orvane --sim watch --count 3", "orvane --sim watch --json --interval 100 --count 5"});
        commands.push_back({sub, [a](Session& s) { return run_watch(s, *a); }});
    }
    {
        auto as_json = std::make_shared<bool>(false);
        auto* sub = app.add_subcommand("version", "Versions of this tool, the library and the controller");
        sub->add_flag("--json", *as_json, "One JSON object");
        set_examples(sub, {"orvane --sim version"});
        commands.push_back({sub, [as_json](Session& s) { return run_version(s, *as_json); }});
    }
}

}  // namespace orvane::tool
