#include "state/response_parser.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace orvane {

namespace {

constexpr std::size_t status_min_values = 18;
constexpr std::size_t status_seed_values = 42;
constexpr std::size_t params_values = static_cast<std::size_t>(axis_total) * field::count;  // 126
constexpr std::size_t output_reply_values = 5;
constexpr std::size_t level_code_length = 24;

// Number of values in a ","-separated list: every piece counts, empty ones
// included, so n delimiters give n + 1 values.
std::size_t value_count(std::string_view list) {
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
}

// Walks a ","-separated list value by value, converting in place: a number
// never holds a ",", so converting the rest of the list reads exactly what
// converting the value alone would, and the walk rarely has to look for the
// delimiter (it usually follows the number at once). Callers count the
// values first and read no more than there are.
class ValueReader {
public:
    explicit ValueReader(std::string_view list) : rest_(list) {}

    std::int32_t lenient() {
        std::size_t used = 0;
        const std::int32_t value = lenient_int(rest_, used);
        advance(used);
        return value;
    }

    Conversion strict(std::int32_t& out) {
        std::size_t used = 0;
        const Conversion result = strict_int(rest_, out, used);
        advance(used);
        return result;
    }

    std::string_view text() {
        const std::size_t end = rest_.find(',');
        const std::string_view value = rest_.substr(0, end);
        advance(value.size());
        return value;
    }

    void skip() { advance(0); }

private:
    // Moves past the current value; its first `used` bytes hold no ",".
    void advance(std::size_t used) {
        const std::size_t comma =
            (used < rest_.size() && rest_[used] == ',') ? used : rest_.find(',', used);
        rest_ = comma == std::string_view::npos ? std::string_view{} : rest_.substr(comma + 1);
    }

    std::string_view rest_;
};

// Bit k of a state or input word.
bool bit(std::int32_t word, int k) { return ((static_cast<std::uint32_t>(word) >> k) & 1u) != 0; }

Conversion apply_status(ControllerMirror& m, std::string_view payload) {
    const std::size_t n = value_count(payload);
    if (n < status_min_values) return Conversion::ok;
    ValueReader values(payload);

    std::array<std::int32_t, raw_count_total> raw;
    for (std::size_t i = 0; i < raw_count_total; ++i) {
        raw[i] = values.lenient();  // atol and atoi read alike once taken as int32
        m.status_raw[i].set(raw[i]);
    }
    for (std::size_t a = 0; a < static_cast<std::size_t>(axis_total); ++a) {
        // use_encoder is read once so the count and its conversion match.
        const SharedAxisParams& p = m.axis_params[a];
        const float position =
            p.int_field(field::use_encoder) != 0
                ? encoder_count_to_position(raw[axis_total + a], p.float_field(field::encoder_scale))
                : pulse_count_to_position(raw[a], p.float_field(field::travel_per_rev),
                                          p.int_field(field::pulses_per_rev));
        m.axis_pos[a].set(position);
    }

    std::int32_t word = 0;
    Conversion c = values.strict(word);  // value 12, converted during the hold-off too
    if (c != Conversion::ok) return c;
    const std::int32_t held = m.status_count.get();
    if (held <= ControllerMirror::state_hold_off) {
        m.status_count.set(held + 1);
        values.skip();  // value 13
    } else {
        for (int k = 0; k < 8; ++k) m.axis_state_bits[static_cast<std::size_t>(k)].set(bit(word, k));
        c = values.strict(word);
        if (c != Conversion::ok) return c;
        for (int k = 0; k < 4; ++k) m.axis_state_bits[static_cast<std::size_t>(8 + k)].set(bit(word, k));
    }

    std::int32_t type = 0;
    c = values.strict(type);
    if (c != Conversion::ok) return c;
    m.type_code.set(type);
    if (type == 1) {
        m.axis_count.set(3);
    } else if (type == 2 || type == 3) {
        m.axis_count.set(6);
    }

    for (std::size_t j = 0; j < 3; ++j) {
        c = values.strict(word);
        if (c != Conversion::ok) return c;
        for (int k = 0; k < 8; ++k) m.input_bits[8 * j + static_cast<std::size_t>(k)].set(bit(word, k));
    }

    if (n >= status_seed_values && !m.outputs_synced.load()) {
        for (std::size_t i = 0; i < io_total; ++i) m.output_sent[i].set(values.lenient());
        for (std::size_t i = 0; i < io_total; ++i) {
            if (m.output_value[i].get() == 0) m.output_value[i].set(m.output_sent[i].get());
            m.output_sent[i].set(0);
        }
        m.outputs_synced.store(true);
    }
    return Conversion::ok;
}

Conversion apply_params(ControllerMirror& m, std::string_view payload) {
    if (value_count(payload) != params_values) return Conversion::ok;
    ValueReader values(payload);
    for (SharedAxisParams& params : m.axis_params) {
        for (int k = 0; k < field::count; ++k) {
            if (k < field::int_count) {
                std::int32_t value = 0;
                const Conversion c = values.strict(value);
                if (c != Conversion::ok) return c;
                params.set_int_field(k, value);
            } else {
                float value = 0.0f;
                const Conversion c = strict_float(values.text(), value);
                if (c != Conversion::ok) return c;
                params.set_float_field(k, value);
            }
        }
    }
    return Conversion::ok;
}

void apply_outputs(ControllerMirror& m, std::string_view payload) {
    if (value_count(payload) != output_reply_values) return;
    ValueReader values(payload);
    const std::string_view levels = values.text();
    if (levels.size() == level_code_length) {
        for (std::size_t i = 0; i < level_code_length; ++i) {
            const int byte = static_cast<unsigned char>(levels[i]);
            const int digit = (byte >= '0' && byte <= '9') ? byte - 48 : byte - 55;
            if (digit >= 0 && digit <= 15) m.output_level[i].set(digit + 1);
        }
    }
    for (std::size_t i = 0; i < fly_counter_total; ++i) m.fly_counters[i].set(values.lenient());
    m.io_text.set(std::string(values.text()));
}

void apply_fly_positions(ControllerMirror& m, std::string_view payload) {
    const std::size_t n = value_count(payload);
    if (n < 2) return;  // the list keeps its content
    ValueReader values(payload);
    const std::int32_t axis = values.lenient();
    // The conversion needs the axis's parameters, which exist for axes 0..5
    // only; a reply naming another axis is dropped whole, before the list is
    // touched, so a garbled axis number cannot wipe the last capture.
    if (axis < 0 || axis >= axis_total) return;

    std::vector<float> positions;
    positions.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) positions.push_back(m.count_to_position(axis, values.lenient()));
    m.fly_positions.replace(std::move(positions));
}

Conversion apply_line(ControllerMirror& m, std::string_view line) {
    if (line.size() < 3) return Conversion::ok;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Conversion::ok;
    const std::string_view code = line.substr(0, colon);
    const std::string_view payload = line.substr(colon + 1);
    if (payload.find(':') != std::string_view::npos) return Conversion::ok;
    if (code.empty() || payload.empty()) return Conversion::ok;

    if (code == "100") return apply_status(m, payload);
    if (code == "125") return apply_params(m, payload);
    if (code == "190") {
        apply_outputs(m, payload);
    } else if (code == "520") {
        apply_fly_positions(m, payload);
    } else if (code == "5010") {
        m.reply_5010.set(std::string(payload));
    } else if (code == "2001") {
        m.version_text.set(std::string(payload));
    }
    return Conversion::ok;
}

}  // namespace

Conversion apply_chunk(ControllerMirror& mirror, std::string_view chunk) {
    if (chunk.size() < 3) return Conversion::ok;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = chunk.find('\n', start);
        const std::string_view line =
            end == std::string_view::npos ? chunk.substr(start) : chunk.substr(start, end - start);
        const Conversion c = apply_line(mirror, line);
        if (c != Conversion::ok) return c;
        if (end == std::string_view::npos) return Conversion::ok;
        start = end + 1;
    }
}

}  // namespace orvane
