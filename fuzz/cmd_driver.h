// Replays one fuzz input through Orvane_cmd's text-parsing codes (3: an
// axis parameter record, 5: the 24 output levels) on a Runtime that counts
// as connected but has no link. Shared by the libFuzzer target and the
// corpus replay test, so both read an input the same way.
//
// Input layout:
//   byte 0     bit 0: code 5 instead of code 3; bits 1..3: axis - 1 (so -1
//              to 6); bits 4..7 all set: the link counts as down (a guard
//              that must refuse without reading the text).
//   the rest   the text handed to the call.
//
// What must hold, whatever the text:
// - Only std::invalid_argument ("invalid stoi argument", "invalid stof
//   argument") and std::out_of_range ("stoi argument out of range", "stof
//   argument out of range") leave the call; the caller's text is unchanged.
// - A result of 1 queues exactly one command: "120:<axis>,<text>!" for code
//   3, "180:" + 24 level digits (0-9, A-F for 1..16) + "!" for code 5, and
//   the mirror holds exactly what the text says (ints as strtol reads them,
//   floats as strtof does, levels clamped to 1..16). Conversion errors are
//   strtol's and strtof's too. The C library is the reference with one
//   exception, in hex_with_bit_25_moved below.
// - A result of 0 or an exception queues nothing; a 0 changes nothing.
// - On an exception the fields before the failing one hold their new
//   values, the failing one and those after it their old ones.
#pragma once

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

#include "state/controller_mirror.h"
#include "api/runtime.h"

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
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, comma - start));
        start = comma + 1;
    }
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

// glibc's strtof (seen in 2.36) reads a hexadecimal number below the
// smallest normal float as if the bit after its 24 leading significant bits
// were zero: "0x1000081p-157" gives 0x1p-133 where the exact value rounds
// to 0x1.0001p-133, and "0x1000001p-157" gives no range error although
// 0x1p-133 is inexact. The library rounds such texts correctly. That is the
// one difference from the C library the check accepts, and only in that
// form: for such a text the reference reads a copy with that bit cleared
// and a lower bit set instead. Below 2^-126 bit 25 lies under the rounding
// bit, so the copy has the same correctly rounded value and the same range
// error, and glibc reads the copy right (a glibc without the flaw reads
// both alike). Returns the copy, or an empty text when text is not
// hexadecimal or its bit 25 is not set.
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
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            break;
        }
        for (int b = 3; b >= 0; --b) {
            if (significant == 0 && ((digit >> b) & 1) == 0) continue;
            if (++significant == 25 && ((digit >> b) & 1) != 0) {
                digit &= ~(1 << b);
                text[p] = "0123456789abcdef"[digit];
                moved = true;
            }
        }
    }
    if (!moved) return {};
    text.insert(p, point ? "1" : ".1");  // a bit below every digit written
    return text;
}

// The C library's reading of a float field: strtof, with its range error.
// tiny: the value read is zero or subnormal. C libraries differ in when they
// call such a value a range error (glibc: when it is also inexact, which the
// library follows; others never), so where the reference reports none the
// check also accepts the library's range error.
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

inline bool same_params(const AxisParams& a, const AxisParams& b, int from, int to) {
    for (int k = from; k < to; ++k) {
        if (k < field::int_count) {
            if (a.int_field(k) != b.int_field(k)) return false;
        } else if (!same_float(a.float_field(k), b.float_field(k))) {
            return false;
        }
    }
    return true;
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
    if (count_ok) {
        for (std::size_t k = 0; k < pieces.size() && failure == Expect::ok; ++k) {
            const bool is_int = code == 5 || static_cast<int>(k) < field::int_count;
            bool tiny = false;
            failure = is_int ? reference_int(pieces[k], ints[k]) : reference_float(pieces[k], floats[k], tiny);
            if (failure != Expect::ok) failing = k;
            if (tiny && failure == Expect::ok && first_tiny == pieces.size()) first_tiny = k;
        }
    }

    int result = -1;
    std::string thrown_type;
    std::string thrown_text;
    try {
        result = rt.cmd(code, axis, text);
    } catch (const std::invalid_argument& e) {
        thrown_type = "invalid_argument";
        thrown_text = e.what();
    } catch (const std::out_of_range& e) {
        thrown_type = "out_of_range";
        thrown_text = e.what();
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
        const char* const kind = code == 5 || static_cast<int>(failing) < field::int_count ? "stoi" : "stof";
        const std::string expected = failure == Expect::invalid ? std::string("invalid ") + kind + " argument"
                                                                : std::string(kind) + " argument out of range";
        const std::string expected_type = failure == Expect::invalid ? "invalid_argument" : "out_of_range";
        if (failure == Expect::ok) return "threw (" + thrown_text + ") for a text strtol/strtof read whole";
        if (thrown_type != expected_type || thrown_text != expected) {
            return "field " + std::to_string(failing) + " \"" + pieces[failing] + "\": threw " + thrown_type +
                   " (" + thrown_text + "), expected " + expected_type + " (" + expected + ")";
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
        std::string expected_command;
        if (code == 3) {
            expected_command = "120:" + std::to_string(axis) + "," + original + "!";
        } else {
            expected_command = "180:";
            for (std::size_t i = 0; i < io_total; ++i) {
                const std::int32_t level = ints[i] < 1 ? 1 : (ints[i] > 16 ? 16 : ints[i]);
                expected_command += "0123456789ABCDEF"[level - 1];
            }
            expected_command += "!";
        }
        if (queued != expected_command) return "queued \"" + queued + "\", expected \"" + expected_command + "\"";
    } else {
        return "returned " + std::to_string(result);
    }

    // The mirror: new values up to the failing field, old ones from there.
    const bool changed_anything = !thrown_type.empty() || result == 1;
    if (code == 3) {
        for (std::size_t a = 0; a < static_cast<std::size_t>(axis_total); ++a) {
            const AxisParams now = m.axis_params[a].snapshot();
            if (!changed_anything || static_cast<int>(a) != axis) {
                if (!same_params(now, params_before[a], 0, field::count)) {
                    return "axis " + std::to_string(a) + " parameters changed";
                }
                continue;
            }
            for (std::size_t k = 0; k < static_cast<std::size_t>(field::count); ++k) {
                const int f = static_cast<int>(k);
                if (k < fields_changed_to) {
                    const bool same = f < field::int_count ? now.int_field(f) == ints[k]
                                                           : same_float(now.float_field(f), floats[k]);
                    if (!same) return "parameter " + std::to_string(k) + " not stored as \"" + pieces[k] + "\" reads";
                } else if (!same_params(now, params_before[a], f, f + 1)) {
                    return "parameter " + std::to_string(k) + " changed at or after the failing field";
                }
            }
        }
    } else {
        for (std::size_t i = 0; i < io_total; ++i) {
            const std::int32_t now = m.output_level[i].get();
            if (changed_anything && i < fields_changed_to) {
                const std::int32_t level = ints[i] < 1 ? 1 : (ints[i] > 16 ? 16 : ints[i]);
                if (now != level) return "level " + std::to_string(i) + " is " + std::to_string(now);
            } else if (now != levels_before[i]) {
                return "level " + std::to_string(i) + " changed at or after the failing field";
            }
        }
    }
    return {};
}

}  // namespace orvane::fuzz
