#include "state/number_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace orvane {

namespace {

constexpr std::int64_t int32_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t int32_max = std::numeric_limits<std::int32_t>::max();

// White space as isspace in the "C" locale.
constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// True when text at pos starts with word (lower case), ignoring case.
bool starts_with_nocase(std::string_view text, std::size_t pos, std::string_view word) {
    if (text.size() - pos < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (lower(text[pos + i]) != word[i]) return false;
    }
    return true;
}

// Skips white space and one sign; returns the position of the first byte
// after them and whether the sign was "-".
std::size_t skip_space_and_sign(std::string_view text, bool& negative) {
    std::size_t pos = 0;
    while (pos < text.size() && is_space(text[pos])) ++pos;
    // Without a branch on the sign: counts are negative as often as not.
    const char c = pos < text.size() ? text[pos] : '\0';
    negative = c == '-';
    return pos + static_cast<std::size_t>(c == '-' || c == '+');
}

// Reads decimal digits from pos into a magnitude that stops growing once it
// is past every int32 value (so long digit runs cannot overflow it).
// Returns the number of digits read.
std::size_t read_digits_bytewise(std::string_view text, std::size_t pos, std::int64_t& magnitude) {
    constexpr std::int64_t cap = int32_max + 2;  // beyond both limits' magnitudes
    const std::size_t start = pos;
    magnitude = 0;
    while (pos < text.size() && is_digit(text[pos])) {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > cap) magnitude = cap;
        ++pos;
    }
    return pos - start;
}

// The same, eight bytes at a time where eight bytes are left: status
// replies carry dozens of short numbers, and a byte loop's exit branch
// mispredicts on every one of them. Numbers of eight digits or more take
// the byte loop.
std::size_t read_digits(std::string_view text, std::size_t pos, std::int64_t& magnitude) {
    if constexpr (std::endian::native == std::endian::little) {
        if (text.size() - pos >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, text.data() + pos, sizeof word);
            // Digits become 0..9, every other byte 10 or more; a byte's high
            // bit in the mask marks a non-digit. A carry can only spill into
            // bytes above the first non-digit, which are not used.
            const std::uint64_t values = word ^ 0x3030303030303030u;
            const std::uint64_t non_digit = ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
            if (non_digit != 0) {
                const int digits = std::countr_zero(non_digit) / 8;
                if (digits == 0) {
                    magnitude = 0;
                    return 0;
                }
                // Drop the bytes after the digits; the bytes shifted in are
                // leading zeros. Then the usual eight-digit combination
                // (first byte most significant).
                std::uint64_t v = values << (8 * (8 - digits));
                v = v * 10 + (v >> 8);
                v = (((v & 0x000000FF000000FFu) * 0x000F424000000064u) +
                     (((v >> 16) & 0x000000FF000000FFu) * 0x0000271000000001u)) >>
                    32;
                magnitude = static_cast<std::int64_t>(static_cast<std::uint32_t>(v));
                return static_cast<std::size_t>(digits);
            }
        }
    }
    return read_digits_bytewise(text, pos, magnitude);
}

std::int32_t saturate(std::int64_t value) {
    if (value < int32_min) return std::numeric_limits<std::int32_t>::min();
    if (value > int32_max) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

std::int32_t lenient(std::string_view text, std::size_t& used) {
    bool negative = false;
    const std::size_t pos = skip_space_and_sign(text, negative);
    std::int64_t magnitude = 0;
    const std::size_t digits = read_digits(text, pos, magnitude);
    used = digits == 0 ? 0 : pos + digits;
    return saturate(negative ? -magnitude : magnitude);
}

float with_sign(float value, bool negative) { return negative ? -value : value; }

// Length of an exponent part at pos: the marker, an optional sign and at
// least one decimal digit; 0 when there is none (the marker then is trailing
// text, as strtof reads it).
std::size_t exponent_length(std::string_view text, std::size_t pos, char marker) {
    if (pos >= text.size() || lower(text[pos]) != marker) return 0;
    std::size_t p = pos + 1;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    const std::size_t digits_start = p;
    while (p < text.size() && is_digit(text[p])) ++p;
    return p == digits_start ? 0 : p - pos;
}

// Hexadecimal float after "0x": hex digits with an optional point, at least
// one digit, then an optional binary exponent. Returns false when no digit
// follows the prefix (the text then reads as the "0" before the "x").
bool parse_hex_float(std::string_view text, std::size_t pos, float& magnitude, bool& nonzero,
                     std::errc& error) {
    std::size_t p = pos;
    std::size_t digits = 0;
    nonzero = false;
    while (p < text.size() && is_hex_digit(text[p])) {
        nonzero = nonzero || text[p] != '0';
        ++digits;
        ++p;
    }
    if (p < text.size() && text[p] == '.') {
        ++p;
        while (p < text.size() && is_hex_digit(text[p])) {
            nonzero = nonzero || text[p] != '0';
            ++digits;
            ++p;
        }
    }
    if (digits == 0) return false;
    // Hand over exactly the number's extent: implementations differ on
    // malformed exponents such as "p+-1".
    p += exponent_length(text, p, 'p');
    const auto result = std::from_chars(text.data() + pos, text.data() + p, magnitude, std::chars_format::hex);
    error = result.ec;
    return result.ec == std::errc{} || result.ec == std::errc::result_out_of_range;
}

// Decimal float: digits with an optional point, at least one digit, then an
// optional exponent. Returns false when there is no digit.
bool parse_decimal_float(std::string_view text, std::size_t pos, float& magnitude, bool& nonzero,
                         std::errc& error) {
    std::size_t p = pos;
    std::size_t digits = 0;
    nonzero = false;
    while (p < text.size() && is_digit(text[p])) {
        nonzero = nonzero || text[p] != '0';
        ++digits;
        ++p;
    }
    if (p < text.size() && text[p] == '.') {
        ++p;
        while (p < text.size() && is_digit(text[p])) {
            nonzero = nonzero || text[p] != '0';
            ++digits;
            ++p;
        }
    }
    if (digits == 0) return false;
    p += exponent_length(text, p, 'e');
    const auto result = std::from_chars(text.data() + pos, text.data() + p, magnitude, std::chars_format::general);
    error = result.ec;
    return result.ec == std::errc{} || result.ec == std::errc::result_out_of_range;
}

}  // namespace

std::int32_t lenient_int(std::string_view text) {
    std::size_t used = 0;
    return lenient(text, used);
}

std::int32_t lenient_long(std::string_view text) {
    std::size_t used = 0;
    return lenient(text, used);
}

std::int32_t lenient_int(std::string_view text, std::size_t& used) { return lenient(text, used); }

Conversion strict_int(std::string_view text, std::int32_t& out, std::size_t& used) {
    bool negative = false;
    const std::size_t pos = skip_space_and_sign(text, negative);
    std::int64_t magnitude = 0;
    const std::size_t digits = read_digits(text, pos, magnitude);
    if (digits == 0) {
        used = 0;
        out = 0;
        return Conversion::invalid_argument;
    }
    used = pos + digits;
    const std::int64_t value = negative ? -magnitude : magnitude;
    out = saturate(value);
    if (value < int32_min || value > int32_max) return Conversion::out_of_range;
    return Conversion::ok;
}

Conversion strict_int(std::string_view text, std::int32_t& out) {
    std::size_t used = 0;
    return strict_int(text, out, used);
}

Conversion strict_float(std::string_view text, float& out) {
    bool negative = false;
    const std::size_t pos = skip_space_and_sign(text, negative);

    if (starts_with_nocase(text, pos, "inf")) {
        out = with_sign(std::numeric_limits<float>::infinity(), negative);
        return Conversion::ok;
    }
    if (starts_with_nocase(text, pos, "nan")) {
        out = with_sign(std::numeric_limits<float>::quiet_NaN(), negative);
        return Conversion::ok;
    }

    float magnitude = 0.0f;
    bool nonzero = false;
    std::errc error{};
    bool parsed = false;
    if (pos + 1 < text.size() && text[pos] == '0' && lower(text[pos + 1]) == 'x') {
        parsed = parse_hex_float(text, pos + 2, magnitude, nonzero, error);
    }
    if (!parsed && !parse_decimal_float(text, pos, magnitude, nonzero, error)) {
        out = 0.0f;
        return Conversion::invalid_argument;
    }

    // A range error as strtof reports it: overflow to infinity, or a
    // non-zero number that ends up zero or subnormal (whether from_chars
    // itself flags a subnormal result differs between implementations).
    if (error == std::errc::result_out_of_range) {
        out = 0.0f;
        return Conversion::out_of_range;
    }
    out = with_sign(magnitude, negative);
    if (std::isinf(magnitude)) return Conversion::out_of_range;
    if (nonzero && (magnitude == 0.0f || std::fpclassify(magnitude) == FP_SUBNORMAL)) {
        return Conversion::out_of_range;
    }
    return Conversion::ok;
}

}  // namespace orvane
