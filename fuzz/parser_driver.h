// Replays one fuzz input through the receive path (whole lines assembled from
// chunks) into the reply parser, and again as one chunk: the two mirrors must
// agree. Shared by the libFuzzer target and the corpus replay test.
// Input: byte 0 bits 0..2: how many chunk-length bytes follow (0: one chunk);
// bit 3: start past the state-bit hold-off; bit 4: caller output values set
// before seeding; bit 5: odd axes use their encoder; bit 6: pulses_per_rev 0
// on axis 1 (a division by zero to survive). Then the chunk lengths (each
// byte + 1, cycling), then the received bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "state/controller_mirror.h"
#include "state/line_assembler.h"
#include "state/response_parser.h"

namespace orvane::fuzz {

// What must hold whatever the controller sent; cheap enough to check after
// every chunk. Returns an empty text, or what was broken.
inline std::string check_invariants(const ControllerMirror& m) {
    const std::int32_t axis_count = m.axis_count.get();
    if (axis_count != 3 && axis_count != 6) return "axis_count " + std::to_string(axis_count);
    const std::int32_t held = m.status_count.get();
    if (held < 0 || held > 21) return "status_count " + std::to_string(held);
    for (const auto& c : m.output_level) {
        const std::int32_t level = c.get();
        if (level < 0 || level > 16) return "output_level " + std::to_string(level);
    }
    return {};
}

// Reads every field of the mirror the way the exports and the poll loop do,
// so the sanitizers see any bad state the parser left behind.
inline std::string read_everything(const ControllerMirror& m, std::uint64_t& sink) {
    sink += static_cast<std::uint64_t>(m.type_code.get());
    sink += m.outputs_synced.load() ? 1u : 0u;
    for (const auto& c : m.status_raw) sink += static_cast<std::uint64_t>(c.get());
    for (const auto& c : m.axis_pos) sink += static_cast<std::uint64_t>(c.get() == c.get());
    for (const auto& c : m.axis_state_bits) sink += c.get() ? 1u : 0u;
    for (const auto& c : m.input_bits) sink += c.get() ? 1u : 0u;
    for (const auto& c : m.fly_counters) sink += static_cast<std::uint64_t>(c.get());
    for (std::size_t i = 0; i < io_total; ++i) {
        sink += static_cast<std::uint64_t>(m.output_value[i].get());
        sink += static_cast<std::uint64_t>(m.output_sent[i].get());
    }
    for (const auto& p : m.axis_params) {
        const AxisParams copy = p.snapshot();
        for (int k = 0; k < field::int_count; ++k) sink += static_cast<std::uint64_t>(copy.int_field(k));
        for (int k = field::int_count; k < field::count; ++k)
            sink += static_cast<std::uint64_t>(copy.float_field(k) == copy.float_field(k));
    }
    sink += m.version_text.get().size() + m.version_text.size();
    sink += m.reply_5010.get().size() + m.reply_5010.size();
    sink += m.io_text.get().size() + m.io_text.size();
    const std::size_t fly_count = m.fly_positions.size();
    double first_two[2] = {0.0, 0.0};
    if (m.fly_positions.copy_to(first_two, 2) != fly_count) return "fly position count changed between reads";
    if (m.fly_positions.copy_to(nullptr, 0) != fly_count) return "fly position count without a buffer";
    const std::vector<float> all = m.fly_positions.snapshot();
    if (all.size() != fly_count) return "fly position snapshot size";
    for (float f : all) sink += static_cast<std::uint64_t>(f == f);
    sink += static_cast<std::uint64_t>(first_two[0] == first_two[1]);
    return check_invariants(m);
}

// Equal, or both NaN.
template <class T>
bool same_value(const T& x, const T& y) {
    return x == y || (x != x && y != y);
}

// The first field in which two mirrors differ, or an empty text.
inline std::string mirror_difference(const ControllerMirror& a, const ControllerMirror& b) {
    auto differ = [](const auto& x, const auto& y) {
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!same_value(x[i].get(), y[i].get())) return true;
        return false;
    };
    if (a.type_code.get() != b.type_code.get() || a.axis_count.get() != b.axis_count.get()) return "type";
    if (a.status_count.get() != b.status_count.get()) return "status_count";
    if (a.outputs_synced.load() != b.outputs_synced.load()) return "outputs_synced";
    if (differ(a.status_raw, b.status_raw) || differ(a.axis_pos, b.axis_pos)) return "positions";
    if (differ(a.axis_state_bits, b.axis_state_bits) || differ(a.input_bits, b.input_bits)) return "bits";
    if (differ(a.fly_counters, b.fly_counters)) return "fly counters";
    if (differ(a.output_level, b.output_level) || differ(a.output_value, b.output_value) ||
        differ(a.output_sent, b.output_sent))
        return "outputs";
    for (std::size_t i = 0; i < a.axis_params.size(); ++i) {
        const AxisParams x = a.axis_params[i].snapshot();
        const AxisParams y = b.axis_params[i].snapshot();
        if (x.ints != y.ints) return "parameter ints";
        if (!std::equal(x.floats.begin(), x.floats.end(), y.floats.begin(), same_value<float>))
            return "parameter floats";
    }
    if (a.version_text.get() != b.version_text.get() || a.reply_5010.get() != b.reply_5010.get() ||
        a.io_text.get() != b.io_text.get())
        return "texts";
    const std::vector<float> fa = a.fly_positions.snapshot();
    const std::vector<float> fb = b.fly_positions.snapshot();
    if (fa.size() != fb.size() || !std::equal(fa.begin(), fa.end(), fb.begin(), same_value<float>))
        return "fly positions";
    return {};
}

// Returns an empty text when every check held, or what was broken.
inline std::string replay_parser_input(const std::uint8_t* data, std::size_t size, std::uint64_t& sink) {
    if (size == 0) return {};
    const std::uint8_t mode = data[0];
    const std::size_t length_count = mode & 7u;
    if (size < 1 + length_count) return {};
    const std::uint8_t* lengths = data + 1;
    const std::string_view all(reinterpret_cast<const char*>(data + 1 + length_count), size - 1 - length_count);

    auto prepare = [mode](ControllerMirror& m) {
        if ((mode & 0x08u) != 0) m.status_count.set(21);
        for (std::size_t i = 0; (mode & 0x10u) != 0 && i < io_total; i += 3)
            m.output_value[i].set(static_cast<std::int32_t>(i + 1));
        for (std::size_t a = 1; (mode & 0x20u) != 0 && a < static_cast<std::size_t>(axis_total); a += 2)
            m.axis_params[a].set_int_field(field::use_encoder, 1);
        if ((mode & 0x40u) != 0) m.axis_params[1].set_int_field(field::pulses_per_rev, 0);
    };
    ControllerMirror mirror("127.0.0.254");
    prepare(mirror);
    // Cutting changes nothing unless a conversion failed (it ends the text
    // handed over) or the assembler had to guess (a kept tail taken early
    // because a reply code followed, or one dropped for its size).
    bool comparable = true;
    LineAssembler assembler;
    std::string problem;
    auto apply = [&](std::string_view text) {
        const std::vector<char> copy(text.begin(), text.end());  // exactly sized: a read past its end is caught
        const Conversion result = apply_chunk(mirror, std::string_view(copy.data(), copy.size()));
        sink += static_cast<std::uint64_t>(result);
        if (result != Conversion::ok) comparable = false;
        if (problem.empty()) problem = check_invariants(mirror);
    };
    for (std::size_t at = 0, turn = 0; at < all.size();) {
        std::size_t take = all.size() - at;
        if (length_count > 0) take = std::min<std::size_t>(take, lengths[turn++ % length_count] + 1u);
        if (assembler.feed(all.substr(at, take), apply)) comparable = false;
        if (!problem.empty()) return problem;
        at += take;
    }
    assembler.flush(apply);
    if (!problem.empty()) return problem;

    ControllerMirror whole("127.0.0.254");
    prepare(whole);
    LineAssembler whole_assembler;
    auto apply_whole = [&](std::string_view text) {
        if (apply_chunk(whole, text) != Conversion::ok) comparable = false;
    };
    whole_assembler.feed(all, apply_whole);
    whole_assembler.flush(apply_whole);
    if (comparable) {
        const std::string difference = mirror_difference(mirror, whole);
        if (!difference.empty()) return "cut and whole input differ in " + difference;
    }
    return read_everything(mirror, sink);
}

}  // namespace orvane::fuzz
