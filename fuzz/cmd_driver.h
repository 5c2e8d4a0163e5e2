// Replays one fuzz input through Orvane_cmd's text-parsing codes (3: an axis
// parameter record, 5: the 24 output levels) on a Runtime that counts as
// connected but has no link. Shared by the libFuzzer target and the corpus
// replay test. Input: byte 0 bit 0: code 5 instead of 3; bits 1..3: axis - 1
// (-1 to 6); bits 4..7 all set: the link is down (a guard must refuse without
// reading the text). The rest is the text handed to the call.
//
// What must hold, whatever the text:
// - Only std::invalid_argument ("invalid stoi/stof argument") and
//   std::out_of_range ("stoi/stof argument out of range") leave the call; the
//   caller's text is unchanged.
// - A 1 queues exactly "120:<axis>,<text>!" (code 3) or "180:" + 24 level
//   digits (0-9, A-F for 1..16) + "!" (code 5), and the mirror holds what the
//   text says: ints as strtol, floats as strtof read them (the one exception:
//   hex_with_bit_25_moved), levels clamped to 1..16; conversion errors are
//   theirs too. A 0 or an exception queues nothing; a 0 changes nothing.
// - On an exception the fields before the failing one hold their new values,
//   the failing one and those after it their old ones.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "api/runtime.h"
#include "state/controller_mirror.h"

namespace orvane::fuzz {

// One Runtime for every input, like the library's one process-wide
// instance: state carries over from call to call.
inline Runtime& cmd_runtime() {
    static Runtime runtime([] {
        RuntimeConfig config;
        config.net_prefix = "127.0.0.";
        config.default_host = "1";
        config.port = 9;  // never dialled: the link is not started
        return config;
    }());
    return runtime;
}

inline std::vector<std::string> split_commas(std::string_view text) {
    std::vector<std::string> pieces(1);
    for (const char c : text) {
        if (c == ',') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    return pieces;
}

enum class Expect { ok, invalid, range };

// The C library's reading of an int field: strtol, then the int32 range.
inline Expect reference_int(const std::string& piece, std::int32_t& value) {
    const char* begin = piece.c_str();  // stops at an embedded NUL, as the call does
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin) return Expect::invalid;
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return Expect::range;
    value = static_cast<std::int32_t>(v);
    return Expect::ok;
}

// glibc's strtof (2.36) reads a hex number below the smallest normal float as
// if its 25th significant bit were zero ("0x1000081p-157" gives 0x1p-133, not
// 0x1.0001p-133; "0x1000001p-157" no range error though inexact). The library
// rounds correctly, so for such a text the reference reads a copy with that
// bit cleared and a lower one set: below 2^-126 bit 25 lies under the rounding
// bit, so the copy has the same rounded value and range error, and glibc reads
// it right. Returns the copy, or "" when text is not hex or bit 25 is clear.
inline std::string hex_with_bit_25_moved(std::string text) {
    std::size_t p = 0;
    while (p < text.size() && text[p] != '\0' && std::strchr(" \t\n\v\f\r", text[p]) != nullptr) ++p;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    if (p + 1 >= text.size() || text[p] != '0' || (text[p + 1] != 'x' && text[p + 1] != 'X')) return {};
    int significant = 0;  // bits from the leading 1 on
    bool point = false;
    bool moved = false;
    for (p += 2; p < text.size(); ++p) {
        const char c = text[p];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        static constexpr char digits[] = "0123456789abcdef";
        const char* at = c == '\0' ? nullptr : std::strchr(digits, c >= 'A' && c <= 'F' ? c + 32 : c);
        if (at == nullptr) break;
        int digit = static_cast<int>(at - digits);
        for (int b = 3; b >= 0; --b) {
            if (significant == 0 && ((digit >> b) & 1) == 0) continue;
            if (++significant == 25 && ((digit >> b) & 1) != 0) {
                digit &= ~(1 << b);
                text[p] = digits[digit];
                moved = true;
            }
        }
    }
    if (!moved) return {};
    text.insert(p, point ? "1" : ".1");  // a bit below every digit written
    return text;
}

// strtof, with its range error. tiny: zero or subnormal, which C libraries
// call a range error differently (glibc, as the library: when also inexact),
// so where the reference reports none the check accepts one from the library.
inline Expect reference_float(const std::string& piece, float& value, bool& tiny) {
    const char* begin = piece.c_str();  // stops at an embedded NUL, as the call does
    char* end = nullptr;
    errno = 0;
    float v = std::strtof(begin, &end);
    if (end == begin) return Expect::invalid;
    bool range = errno == ERANGE;
    tiny = std::fabs(v) < std::numeric_limits<float>::min();
    if (tiny) {  // zero or subnormal
        const std::string copy = hex_with_bit_25_moved(begin);
        if (!copy.empty()) {
            errno = 0;
            v = std::strtof(copy.c_str(), nullptr);
            range = errno == ERANGE;
        }
    }
    if (range) return Expect::range;
    value = v;
    return Expect::ok;
}

inline bool same_float(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same_field(const AxisParams& a, const AxisParams& b, int k) {
    return k < field::int_count ? a.int_field(k) == b.int_field(k) : same_float(a.float_field(k), b.float_field(k));
}

// Returns an empty text when every check held, or what was broken. Any
// exception but the two allowed ones is left to escape (the caller aborts).
inline std::string replay_cmd_input(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    Runtime& rt = cmd_runtime();
    ControllerMirror& m = rt.mirror();
    const std::uint8_t mode = data[0];
    const int code = (mode & 1u) != 0 ? 5 : 3;
    const int axis = static_cast<int>((mode >> 1) & 7u) - 1;
    const bool connected = (mode & 0xF0u) != 0xF0u;
    m.connected.store(connected);
    (void)rt.pending().take();

    const std::string original(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string text = original;

    std::vector<AxisParams> params_before;
    for (const auto& p : m.axis_params) params_before.push_back(p.snapshot());
    std::int32_t levels_before[io_total];
    for (std::size_t i = 0; i < io_total; ++i) levels_before[i] = m.output_level[i].get();

    // What the text says, field by field, and where it first fails.
    const std::vector<std::string> pieces = split_commas(original);
    const std::size_t wanted_fields = code == 3 ? static_cast<std::size_t>(field::count) : io_total;
    const bool guarded_out = !connected || axis > 5 || (code == 3 && axis < 0);
    const bool count_ok = pieces.size() == wanted_fields;
    std::size_t failing = pieces.size();
    Expect failure = Expect::ok;
    std::vector<std::int32_t> ints(pieces.size(), 0);
    std::vector<float> floats(pieces.size(), 0.0f);
    std::size_t first_tiny = pieces.size();
    for (std::size_t k = 0; count_ok && k < pieces.size() && failure == Expect::ok; ++k) {
        const bool is_int = code == 5 || static_cast<int>(k) < field::int_count;
        bool tiny = false;
        failure = is_int ? reference_int(pieces[k], ints[k]) : reference_float(pieces[k], floats[k], tiny);
        if (failure != Expect::ok) failing = k;
        if (tiny && failure == Expect::ok && first_tiny == pieces.size()) first_tiny = k;
    }

    int result = -1;
    std::string thrown_type, thrown_text;
    try {
        result = rt.cmd(code, axis, text);
    } catch (const std::invalid_argument& e) {
        thrown_type = "invalid_argument", thrown_text = e.what();
    } catch (const std::out_of_range& e) {
        thrown_type = "out_of_range", thrown_text = e.what();
    }
    const std::string queued = rt.pending().take();

    if (text != original) return "the caller's text was changed";

    if (!thrown_type.empty() && failure == Expect::ok && first_tiny < pieces.size() &&
        thrown_text == "stof argument out of range") {
        failure = Expect::range;  // a tiny value: see reference_float
        failing = first_tiny;
    }
    const std::size_t fields_changed_to = thrown_type.empty() ? pieces.size() : failing;
    if (!thrown_type.empty()) {
        if (guarded_out || !count_ok) return "threw (" + thrown_text + ") where a guard refuses";
        if (!queued.empty()) return "queued \"" + queued + "\" and threw";
        if (failure == Expect::ok) return "threw (" + thrown_text + ") for a text strtol/strtof read whole";
        const std::string kind = code == 5 || static_cast<int>(failing) < field::int_count ? "stoi" : "stof";
        const bool invalid = failure == Expect::invalid;
        const std::string expected = invalid ? "invalid " + kind + " argument" : kind + " argument out of range";
        const std::string expected_type = invalid ? "invalid_argument" : "out_of_range";
        if (thrown_type != expected_type || thrown_text != expected) {
            return "field " + std::to_string(failing) + " \"" + pieces[failing] + "\": threw " + thrown_type + " (" +
                   thrown_text + "), expected " + expected_type + " (" + expected + ")";
        }
    } else if (result == 0) {
        if (!guarded_out && count_ok && failure == Expect::ok) return "refused a well-formed text";
        if (!guarded_out && count_ok) {
            return "field " + std::to_string(failing) + " \"" + pieces[failing] + "\" does not convert, yet no throw";
        }
        if (!queued.empty()) return "refused, yet queued \"" + queued + "\"";
    } else if (result == 1) {
        if (guarded_out) return "a guard should have refused";
        if (!count_ok) return "accepted " + std::to_string(pieces.size()) + " fields";
        if (failure != Expect::ok) {
            return "field " + std::to_string(failing) + " \"" + pieces[failing] + "\" accepted without a throw";
        }
        std::string expected_command = "120:" + std::to_string(axis) + "," + original + "!";
        if (code == 5) {
            expected_command = "180:";
            for (std::size_t i = 0; i < io_total; ++i)
                expected_command += "0123456789ABCDEF"[std::clamp(ints[i], 1, 16) - 1];
            expected_command += "!";
        }
        if (queued != expected_command) return "queued \"" + queued + "\", expected \"" + expected_command + "\"";
    } else {
        return "returned " + std::to_string(result);
    }

    // The mirror: new values up to the failing field, old ones from there.
    const bool changed_anything = !thrown_type.empty() || result == 1;
    for (std::size_t a = 0; code == 3 && a < static_cast<std::size_t>(axis_total); ++a) {
        const AxisParams now = m.axis_params[a].snapshot();
        for (int k = 0; k < field::count; ++k) {
            const auto uk = static_cast<std::size_t>(k);
            if (changed_anything && static_cast<int>(a) == axis && uk < fields_changed_to) {
                const bool same =
                    k < field::int_count ? now.int_field(k) == ints[uk] : same_float(now.float_field(k), floats[uk]);
                if (!same) return "parameter " + std::to_string(k) + " not stored as \"" + pieces[uk] + "\" reads";
            } else if (!same_field(now, params_before[a], k)) {
                return "axis " + std::to_string(a) + " parameter " + std::to_string(k) + " changed unasked";
            }
        }
    }
    for (std::size_t i = 0; code == 5 && i < io_total; ++i) {
        const std::int32_t now = m.output_level[i].get();
        if (changed_anything && i < fields_changed_to) {
            if (now != std::clamp(ints[i], 1, 16)) return "level " + std::to_string(i) + " is " + std::to_string(now);
        } else if (now != levels_before[i]) {
            return "level " + std::to_string(i) + " changed at or after the failing field";
        }
    }
    return {};
}

}  // namespace orvane::fuzz
