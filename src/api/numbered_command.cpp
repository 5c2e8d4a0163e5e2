// The numbered entry point: table read-outs and writes, free and raw
// commands, and the switch to another controller address.
#include <orvane/orvane.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "api/number_format.h"
#include "api/numbered_command.h"
#include "api/process_runtime.h"
#include "state/number_text.h"

namespace orvane {

namespace {
constexpr char level_digits[] = "0123456789ABCDEF";

// Cuts text at every comma; empty pieces count, so n commas give n + 1.
std::size_t count_fields(std::string_view text) {
    std::size_t n = 1;
    for (char c : text) n += c == ',' ? 1 : 0;
    return n;
}

std::string_view next_field(std::string_view& rest) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
    return piece;
}

// The host gets the standard library's conversion errors, texts included.
std::int32_t to_int(std::string_view field) {
    std::int32_t value = 0;
    switch (strict_int(field, value)) {
        case Conversion::ok:
            return value;
        case Conversion::invalid_argument:
            throw std::invalid_argument("invalid stoi argument");
        case Conversion::out_of_range:
            break;
    }
    throw std::out_of_range("stoi argument out of range");
}

float to_float(std::string_view field) {
    float value = 0;
    switch (strict_float(field, value)) {
        case Conversion::ok:
            return value;
        case Conversion::invalid_argument:
            throw std::invalid_argument("invalid stof argument");
        case Conversion::out_of_range:
            break;
    }
    throw std::out_of_range("stof argument out of range");
}

void append_list_separator(std::string& text, bool first) {
    if (!first) text += ',';
}
}  // namespace

// Each handler runs after the table's guards have passed.
struct NumberedCommands {
    static std::size_t row(int axis) { return static_cast<std::size_t>(axis < 0 ? 0 : axis); }

    static int free_command(Runtime& rt, int, std::string& text) {
        rt.queue(CommandText("2000").verbatim(text).finish());
        return 1;
    }

    static int read_status(Runtime& rt, int, std::string& text) {
        for (std::size_t i = 0; i < axis_total; ++i) {
            append_six_decimal_for_host(text, static_cast<double>(rt.mirror_.axis_pos[i].get()));
            text += ',';
        }
        for (std::size_t j = 0; j < raw_count_total; ++j) {
            append_list_separator(text, j == 0);
            append_int(text, rt.mirror_.status_raw[j].get());
        }
        return 1;
    }

    static int read_parameters(Runtime& rt, int axis, std::string& text) {
        const SharedAxisParams& params = rt.mirror_.axis_params[row(axis)];
        for (int k = 0; k < field::count; ++k) {
            append_list_separator(text, k == 0);
            if (k < field::int_count) {
                append_int(text, params.int_field(k));
            } else {
                append_six_decimal_for_host(text, static_cast<double>(params.float_field(k)));
            }
        }
        return 1;
    }

    static int write_parameters(Runtime& rt, int axis, std::string& text) {
        if (count_fields(text) != field::count) return 0;
        SharedAxisParams& params = rt.mirror_.axis_params[row(axis)];
        std::string_view rest = text;
        for (int k = 0; k < field::count; ++k) {
            const std::string_view piece = next_field(rest);
            if (k < field::int_count) {
                params.set_int_field(k, to_int(piece));
            } else {
                params.set_float_field(k, to_float(piece));
            }
        }
        // The caller's text goes out as given, not re-formatted.
        rt.queue(CommandText("120").integer(axis).verbatim(text).finish());
        return 1;
    }

    static int read_levels(Runtime& rt, int, std::string& text) {
        for (std::size_t i = 0; i < io_total; ++i) {
            append_list_separator(text, i == 0);
            append_int(text, rt.mirror_.output_level[i].get());
        }
        return 1;
    }

    static int write_levels(Runtime& rt, int, std::string& text) {
        if (count_fields(text) != io_total) return 0;
        std::string digits;
        std::string_view rest = text;
        for (std::size_t i = 0; i < io_total; ++i) {
            std::int32_t level = to_int(next_field(rest));
            level = level < 1 ? 1 : (level > 16 ? 16 : level);
            rt.mirror_.output_level[i].set(level);
            digits += level_digits[level - 1];
        }
        rt.queue(CommandText("180").verbatim(digits).finish());
        return 1;
    }

    static int axis_command(Runtime& rt, int axis, std::string& text) {
        rt.queue(CommandText("200").integer(axis).verbatim(text).finish());
        return 1;
    }

    static int axis_request(Runtime& rt, int axis, std::string&) {
        rt.queue(CommandText("210").integer(axis).finish());
        return 1;
    }

    static int parameter_6_flag(Runtime& rt, int axis, std::string& text) {
        // One character assigned, not a literal: g++ 12 at -O3 warns
        // falsely (-Wrestrict) on assigning a literal to a std::string.
        text.assign(1, rt.mirror_.axis_params[row(axis)].int_field(field::p6) != 0 ? '1' : '0');
        return 1;
    }

    static int io_text(Runtime& rt, int, std::string& text) {
        text = rt.mirror_.io_text.get();
        return 1;
    }

    static int version(Runtime& rt, int, std::string& text) {
        text = rt.mirror_.version_text.get();
        return 1;
    }

    static int raw_send(Runtime& rt, int, std::string& text) {
        // Polling pauses so the controller's answer is not mixed up with
        // poll traffic; overlapping raw sends keep it paused until the last
        // one's pause is over.
        ++rt.raw_pauses_;
        rt.mirror_.poll_paused.store(true);
        rt.mirror_.reply_5010.set("-1");
        rt.link_.send_text(text);
        std::this_thread::sleep_for(std::chrono::milliseconds(rt.config_.raw_send_pause_ms));
        if (--rt.raw_pauses_ == 0) rt.mirror_.poll_paused.store(false);
        rt.wakeup_.signal();
        return 1;
    }

    static int raw_reply(Runtime& rt, int, std::string& text) {
        text = rt.mirror_.reply_5010.get();
        return 1;
    }

    static int clear_raw_reply(Runtime& rt, int, std::string&) {
        rt.mirror_.reply_5010.set({});
        return 1;
    }

    static int new_host(Runtime& rt, int, std::string& text) {
        rt.link_.send_text("6000:" + text + "!\n");
        rt.restart(text, rt.config_.restart_pause_ms);
        return 1;
    }

    static int switch_host(Runtime& rt, int, std::string& text) {
        rt.restart(text, rt.config_.quick_restart_pause_ms);
        return 0;
    }
};

namespace {
using N = NumberedCommands;
constexpr NumberedCode numbered_codes[] = {
    {0, TextUse::reads, false, true, N::free_command},
    {1, TextUse::appends, false, true, N::read_status},
    {2, TextUse::appends, true, true, N::read_parameters},
    {3, TextUse::reads, true, true, N::write_parameters},
    {4, TextUse::appends, false, true, N::read_levels},
    {5, TextUse::reads, false, true, N::write_levels},
    {100, TextUse::reads, false, true, N::axis_command},
    {101, TextUse::reads, false, true, N::axis_request},
    {102, TextUse::replaces, true, true, N::parameter_6_flag},
    {103, TextUse::replaces, false, true, N::io_text},
    {2001, TextUse::replaces, false, true, N::version},
    {5000, TextUse::reads, false, true, N::raw_send},
    {5010, TextUse::replaces, false, true, N::raw_reply},
    {5011, TextUse::reads, false, true, N::clear_raw_reply},
    {6000, TextUse::reads, false, true, N::new_host},
    // Switching works whatever the state of the link, and always answers 0.
    {6001, TextUse::reads, false, false, N::switch_host},
};
}  // namespace

const NumberedCode* find_numbered_code(int code) {
    for (const NumberedCode& entry : numbered_codes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

int Runtime::cmd(int code, int axis, std::string& text) {
    const NumberedCode* entry = find_numbered_code(code);
    if (entry && !entry->needs_connection) return entry->run(*this, axis, text);
    // Any axis up to 5 passes here; a negative one only where the code does
    // not index the parameter table.
    if (!connected() || axis >= axis_total) return 0;
    if (!entry) return 1;  // an unknown code is no failure
    // Codes that index the parameter table must not reach outside it.
    if (entry->indexes_axis && axis < 0) return 0;
    return entry->run(*this, axis, text);
}

}  // namespace orvane

ORVANE_API int Orvane_cmd(int code, int axis, std::string& text) {
    try {
        return orvane::process_runtime().cmd(code, axis, text);
    } catch (const std::invalid_argument&) {
        throw;  // codes 3 and 5: a field that does not convert
    } catch (const std::out_of_range&) {
        throw;
    } catch (...) {
        return 0;
    }
}
