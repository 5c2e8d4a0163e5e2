#include "state/number_text.h"

#include <charconv>
#include <cmath>
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
    negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    return pos;
}

// Reads decimal digits from pos into a magnitude that stops growing once it
// is past every int32 value (so long digit runs cannot overflow it).
// Returns the number of digits read.
std::size_t read_digits(std::string_view text, std::size_t pos, std::int64_t& magnitude) {
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

std::int32_t saturate(std::int64_t value) {
    if (value < int32_min) return std::numeric_limits<std::int32_t>::min();
    if (value > int32_max) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

std::int32_t lenient(std::string_view text) {
    bool negative = false;
    const std::size_t pos = skip_space_and_sign(text, negative);
    std::int64_t magnitude = 0;
    read_digits(text, pos, magnitude);
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

std::int32_t lenient_int(std::string_view text) { return lenient(text); }

std::int32_t lenient_long(std::string_view text) { return lenient(text); }

Conversion strict_int(std::string_view text, std::int32_t& out) {
    bool negative = false;
    const std::size_t pos = skip_space_and_sign(text, negative);
    std::int64_t magnitude = 0;
    if (read_digits(text, pos, magnitude) == 0) {
        out = 0;
        return Conversion::invalid_argument;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    out = saturate(value);
    if (value < int32_min || value > int32_max) return Conversion::out_of_range;
    return Conversion::ok;
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
