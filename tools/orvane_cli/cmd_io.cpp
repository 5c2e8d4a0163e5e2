// out, in, levels.
#include <orvane_sim/simulator.h>

#include <chrono>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "cli.h"

namespace orvane::tool {

namespace {

using json = nlohmann::ordered_json;

const CLI::Validator output_value_check(
    [](std::string& text) {
        if (text == "on" || text == "off") return std::string();
        try {
            std::size_t used = 0;
            const int v = std::stoi(text, &used);
            if (used == text.size() && v >= 0 && v <= 255) return std::string();
        } catch (const std::exception&) {
        }
        return "expected 0..255, on or off, got '" + text + "'";
    },
    "VALUE|on|off", "output value");

std::vector<int> read_levels(orvane::Controller& controller) {
    std::string text;
    controller.cmd(ORVANE_CMD_READ_LEVELS, 0, text);
    std::vector<int> levels;
    for (const auto& field : split_commas(text)) levels.push_back(std::atoi(field.c_str()));
    return levels;
}

int run_out(Session& s, int output, const std::string& value) {
    const auto levels = read_levels(s.controller);
    const int level = levels.size() == 24 ? levels[static_cast<std::size_t>(output - 1)] : 0;
    bool ok = false;
    int expected = 0;
    if (value == "on" || value == "off") {
        ok = s.controller.set_output(output, value == "on");
        expected = value == "on" ? level * 255 : 0;
    } else {
        const int v = std::atoi(value.c_str());
        ok = s.controller.set_output_value(output, v);
        expected = (level == 0 ? 16 : level) * v;
    }
    if (!ok) return fail(exit_refused, "setting output " + std::to_string(output) + " was refused");
    std::cout << "output " << output << " set to " << value << " (level " << level << ", value " << expected << ")\n";
    if (s.sim) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (s.sim->output_value(output) != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const bool seen = s.sim->output_value(output) == expected;
        std::cout << "simulator: output " << output << " now " << s.sim->output_value(output)
                  << (seen ? "" : " (the change did not arrive)") << "\n";
        return seen ? exit_ok : exit_not_arrived;
    }
    // The library sends the outputs with its next pass; closing the handle
    // sends what is still queued.
    return exit_ok;
}

int run_in(Session& s, int input, bool as_json) {
    // Inputs come with every status line; give the first ones a moment.
    wait_state_bits(s.controller, 1.0);
    if (input > 0) {
        const auto level = s.controller.input(input);
        if (!level) return fail(exit_not_connected, "the link to the controller went down");
        if (as_json) {
            print_json({{"input", input}, {"on", *level}});
        } else {
            std::cout << "input " << input << ": " << (*level ? "on" : "off") << "\n";
        }
        return exit_ok;
    }
    const auto inputs = s.controller.inputs();
    if (!inputs) return fail(exit_not_connected, "the link to the controller went down");
    std::vector<int> on;
    std::string groups;
    for (std::size_t i = 0; i < inputs->size(); ++i) {
        if ((*inputs)[i]) on.push_back(static_cast<int>(i) + 1);
        if (i > 0 && i % 8 == 0) groups += ' ';
        groups += (*inputs)[i] ? '1' : '0';
    }
    if (as_json) {
        print_json({{"inputs", *inputs}, {"on", on}});
        return exit_ok;
    }
    std::string on_text;
    for (int n : on) on_text += (on_text.empty() ? "" : " ") + std::to_string(n);
    std::cout << "inputs " << groups << "   (on: " << (on_text.empty() ? "none" : on_text) << ")\n";
    return exit_ok;
}

int run_levels(Session& s, const std::string& set_text, bool as_json) {
    if (!set_text.empty()) {
        const auto fields = split_commas(set_text);
        if (fields.size() != 24) {
            return fail(exit_refused,
                        "--set needs exactly 24 comma-separated levels, got " + std::to_string(fields.size()));
        }
        for (std::size_t i = 0; i < fields.size(); ++i) {
            int level = 0;
            std::size_t used = 0;
            try {
                level = std::stoi(fields[i], &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != fields[i].size() || level < 1 || level > 16) {
                return fail(exit_refused, "--set: the level of output " + std::to_string(i + 1) +
                                              " must be a whole number 1..16, got '" + fields[i] + "'");
            }
        }
        std::string text = set_text;
        if (s.controller.cmd(ORVANE_CMD_WRITE_LEVELS, 0, text) != 1) return fail(exit_refused, "the levels were refused");
        if (!as_json) std::cout << "output levels sent\n";
    }
    const auto levels = read_levels(s.controller);
    if (as_json) {
        print_json({{"levels", levels}});
        return exit_ok;
    }
    std::string text;
    for (int level : levels) text += (text.empty() ? "" : " ") + std::to_string(level);
    std::cout << "output levels (outputs 1 to 24): " << text << "\n";
    return exit_ok;
}

}  // namespace

void add_io_commands(CLI::App& app, Commands& commands) {
    {
        auto output = std::make_shared<int>(0);
        auto value = std::make_shared<std::string>();
        auto* sub = app.add_subcommand("out", "Set a digital output");
        sub->add_option("N", *output, "Output 1..24")->required()->check(io_range);
        sub->add_option("VALUE", *value, "0..255 (times the output's level), on or off")
            ->required()
            ->check(output_value_check);
        set_examples(sub, {"orvane --sim out 3 on", "orvane --sim out 4 128"});
        commands.push_back({sub, [output, value](Session& s) { return run_out(s, *output, *value); }});
    }
    {
        auto input = std::make_shared<int>(0);
        auto as_json = std::make_shared<bool>(false);
        auto* sub = app.add_subcommand("in", "Show the digital inputs");
        sub->add_option("N", *input, "One input 1..24 (default: all)")->check(io_range);
        sub->add_flag("--json", *as_json, "One JSON object");
        set_examples(sub, {"orvane --sim in", "orvane --sim in 3 --json"});
        commands.push_back({sub, [input, as_json](Session& s) { return run_in(s, *input, *as_json); }});
    }
    {
        auto set_text = std::make_shared<std::string>();
        auto as_json = std::make_shared<bool>(false);
        auto* sub = app.add_subcommand("levels", "Show or set the 24 output levels (1..16)");
        sub->add_option("--set", *set_text, "24 comma-separated levels 1..16, output 1 first");
        sub->add_flag("--json", *as_json, "One JSON object");
        set_examples(sub, {"orvane --sim levels --json",
                           "orvane --sim levels --set 16,16,16,16,16,16,16,16,8,8,8,8,8,8,8,8,1,1,1,1,1,1,1,1"});
        commands.push_back({sub, [set_text, as_json](Session& s) { return run_levels(s, *set_text, *as_json); }});
    }
}

}  // namespace orvane::tool
