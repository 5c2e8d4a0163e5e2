// params: an axis's 21 parameters by name; --set changes named ones.
#include <cerrno>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "cli.h"

namespace orvane::tool {

namespace {

int field_index(const std::string& name) {
    const auto& names = parameter_names();
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (name == names[k]) return static_cast<int>(k);
    }
    return -1;
}

std::string all_names() {
    std::string text;
    for (const char* name : parameter_names()) text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

// A whole number in the int32 range, as the whole text.
bool whole_number(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size() && value >= INT32_MIN && value <= INT32_MAX &&
           text.find_first_of(" \t") == std::string::npos;
}

// A finite number within the float range, as the whole text.
bool float_number(const std::string& text, double& value) {
    if (text.empty() || text.find_first_of(" \t") != std::string::npos) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value) && std::fabs(value) <= FLT_MAX;
}

// Plain decimals that read back as the same float.
std::string float_text(double value) {
    char buffer[64];
    for (int decimals = 6; decimals <= 12; ++decimals) {
        std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
        if (static_cast<float>(std::strtod(buffer, nullptr)) == static_cast<float>(value)) break;
    }
    std::string text = buffer;
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    return text == "-0" ? "0" : text;
}

// Field k's text from the parameter record for people: whole numbers as
// they are, floating point compact.
std::string shown(int k, const std::string& text) {
    if (k < parameter_int_fields) return text;
    return num(std::strtod(text.c_str(), nullptr));
}

int run_params(Session& s, int axis, const std::vector<std::string>& settings, bool as_json) {
    if (!check_axis(s, axis)) return exit_refused;
    const auto current = s.controller.parameters(axis);
    if (!current) return fail(exit_not_connected, "the link to the controller went down");
    std::vector<std::string> fields = split_commas(*current);
    if (fields.size() != 21) return fail(exit_not_connected, "the parameter record is incomplete");

    if (!settings.empty()) {
        std::vector<std::string> changes;
        for (const auto& setting : settings) {
            const auto eq = setting.find('=');
            const std::string name = setting.substr(0, eq);
            const int k = field_index(name);
            if (eq == std::string::npos || k < 0) {
                return fail(exit_refused, "--set wants NAME=VALUE with NAME one of: " + all_names() + "; got '" +
                                              setting + "'");
            }
            const std::string value = setting.substr(eq + 1);
            std::string text;
            if (k < parameter_int_fields) {
                long long whole = 0;
                if (!whole_number(value, whole)) {
                    return fail(exit_refused,
                                name + " (field " + std::to_string(k) + ") must be a whole number, got '" + value + "'");
                }
                text = std::to_string(whole);
            } else {
                double number = 0;
                if (!float_number(value, number)) {
                    return fail(exit_refused,
                                name + " (field " + std::to_string(k) + ") must be a number, got '" + value + "'");
                }
                text = float_text(number);
            }
            changes.push_back(name + " " + shown(k, fields[static_cast<std::size_t>(k)]) + " -> " + shown(k, text));
            fields[static_cast<std::size_t>(k)] = text;
        }
        std::string record;
        for (const auto& field : fields) record += (record.empty() ? "" : ",") + field;
        if (s.controller.cmd(ORVANE_CMD_WRITE_PARAMETERS, axis, record) != 1) {
            return fail(exit_refused, "the parameters were refused");
        }
        if (!as_json) {
            std::cout << "parameters of axis " << axis << " sent:";
            for (const auto& change : changes) std::cout << " " << change << ";";
            std::cout << "\n";
        }
        const auto now = s.controller.parameters(axis);
        if (now) fields = split_commas(*now);
    }

    const auto& names = parameter_names();
    if (as_json) {
        nlohmann::ordered_json values;
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (k < parameter_int_fields) {
                values[names[k]] = std::atoll(fields[k].c_str());
            } else {
                values[names[k]] = json_number(std::strtod(fields[k].c_str(), nullptr));
            }
        }
        nlohmann::ordered_json doc;
        doc["axis"] = axis;
        doc["parameters"] = values;
        std::cout << doc.dump() << "\n";
        return exit_ok;
    }
    std::cout << "parameters of axis " << axis << ":\n";
    for (std::size_t k = 0; k < fields.size(); ++k) {
        std::string index = std::to_string(k);
        std::string name = names[k];
        index.insert(0, 4 - index.size(), ' ');
        name.append(20 - name.size(), ' ');
        std::cout << index << "  " << name << shown(static_cast<int>(k), fields[k]) << "\n";
    }
    return exit_ok;
}

}  // namespace

void add_params_command(CLI::App& app, Commands& commands) {
    auto axis = std::make_shared<int>(0);
    auto settings = std::make_shared<std::vector<std::string>>();
    auto as_json = std::make_shared<bool>(false);
    auto* sub = app.add_subcommand("params", "Show an axis's 21 parameters by name, or change some of them");
    add_axis_argument(sub, *axis);
    sub->add_option("--set", *settings,
                    "NAME=VALUE pairs (space- or comma-separated): the other fields keep their values. Names: " +
                        all_names())
        ->delimiter(',');
    sub->add_flag("--json", *as_json, "One JSON object, the fields by name in record order");
    set_examples(sub, {"orvane --sim params 0", "orvane --sim params 0 --json",
                       "orvane --sim params 0 --set max_speed=200 acc_time=0.1"});
    commands.push_back({sub, [axis, settings, as_json](Session& s) { return run_params(s, *axis, *settings, *as_json); }});
}

}  // namespace orvane::tool
