// The numbered entry point: table read-outs and writes, free and raw
// commands, and the switch to another controller address.
#include <orvane/orvane.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "api/number_format.h"
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

int Runtime::cmd(int code, int axis, std::string& text) {
    if (code == 6001) {
        restart(text, config_.quick_restart_pause_ms);
        return 0;
    }
    if (!mirror_.connected.load() || axis > 5) return 0;
    // Codes that index the parameter table must not reach outside it.
    if (axis < 0 && (code == 2 || code == 3 || code == 102)) return 0;
    const auto a = static_cast<std::size_t>(axis < 0 ? 0 : axis);

    switch (code) {
        case 0: {
            queue(CommandText("2000").verbatim(text).finish());
            return 1;
        }
        case 1:
            for (std::size_t i = 0; i < axis_total; ++i) {
                append_six_decimal_for_host(text, static_cast<double>(mirror_.axis_pos[i].get()));
                text += ',';
            }
            for (std::size_t j = 0; j < raw_count_total; ++j) {
                append_list_separator(text, j == 0);
                append_int(text, mirror_.status_raw[j].get());
            }
            return 1;
        case 2: {
            const SharedAxisParams& params = mirror_.axis_params[a];
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
        case 3: {
            if (count_fields(text) != field::count) return 0;
            SharedAxisParams& params = mirror_.axis_params[a];
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
            queue(CommandText("120").integer(axis).verbatim(text).finish());
            return 1;
        }
        case 4:
            for (std::size_t i = 0; i < io_total; ++i) {
                append_list_separator(text, i == 0);
                append_int(text, mirror_.output_level[i].get());
            }
            return 1;
        case 5: {
            if (count_fields(text) != io_total) return 0;
            std::string digits;
            std::string_view rest = text;
            for (std::size_t i = 0; i < io_total; ++i) {
                std::int32_t level = to_int(next_field(rest));
                level = level < 1 ? 1 : (level > 16 ? 16 : level);
                mirror_.output_level[i].set(level);
                digits += level_digits[level - 1];
            }
            queue(CommandText("180").verbatim(digits).finish());
            return 1;
        }
        case 100: {
            queue(CommandText("200").integer(axis).verbatim(text).finish());
            return 1;
        }
        case 101: {
            queue(CommandText("210").integer(axis).finish());
            return 1;
        }
        case 102:
            // One character assigned, not a literal: g++ 12 at -O3 warns
            // falsely (-Wrestrict) on assigning a literal to a std::string.
            text.assign(1, mirror_.axis_params[a].int_field(field::p6) != 0 ? '1' : '0');
            return 1;
        case 103:
            text = mirror_.io_text.get();
            return 1;
        case 2001:
            text = mirror_.version_text.get();
            return 1;
        case 5000: {
            // Polling pauses so the controller's answer is not mixed up with
            // poll traffic; overlapping raw sends keep it paused until the
            // last one's pause is over.
            ++raw_pauses_;
            mirror_.poll_paused.store(true);
            mirror_.reply_5010.set("-1");
            link_.send_text(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(config_.raw_send_pause_ms));
            if (--raw_pauses_ == 0) mirror_.poll_paused.store(false);
            wakeup_.signal();
            return 1;
        }
        case 5010:
            text = mirror_.reply_5010.get();
            return 1;
        case 5011:
            mirror_.reply_5010.set({});
            return 1;
        case 6000:
            link_.send_text("6000:" + text + "!\n");
            restart(text, config_.restart_pause_ms);
            return 1;
        default:
            return 1;
    }
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
