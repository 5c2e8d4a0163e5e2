#include "state/number_text.h"

#include <algorithm>
#include <array>
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
std::size_t read_digits(std::string_view text, std::size_t pos, std::int64_t& magnitude) {
    constexpr std::uint64_t cap = static_cast<std::uint64_t>(int32_max) + 2;  // beyond both limits' magnitudes
    magnitude = 0;
    // from_chars would take a second sign; only digits are read here.
    if (pos >= text.size() || !is_digit(text[pos])) return 0;
    const char* first = text.data() + pos;
    std::uint64_t value = 0;
    // Out of range still ends past the last digit.
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value);
    magnitude = static_cast<std::int64_t>(error == std::errc::result_out_of_range || value > cap ? cap : value);
    return static_cast<std::size_t>(end - first);
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

// ---- floats: strtof's value and its range error ----------------------------
//
// strtof (glibc) reports a range error on overflow, and on underflow only
// when the result is both tiny and inexact: an exact subnormal such as
// 0x1p-149 is no error. Tininess is judged after rounding, as on x86: a
// value counts as tiny when, rounded to 24 bits with an unbounded exponent,
// it is still below the smallest normal float 2^-126.

constexpr int float_bits = std::numeric_limits<float>::digits;                    // 24
constexpr int float_min_exponent = std::numeric_limits<float>::min_exponent - 1;  // -126
constexpr int float_max_exponent = std::numeric_limits<float>::max_exponent;      // 128
constexpr int float_lowest_bit = float_min_exponent - float_bits + 1;             // -149

// Exponents beyond this are saturated: far outside any float, yet adding a
// text's digit count to one cannot overflow.
constexpr std::int64_t exponent_cap = 1'000'000'000'000'000;

// Length of an exponent part at pos: the marker, an optional sign and at
// least one decimal digit; 0 when there is none (the marker then is trailing
// text, as strtof reads it). Its value goes to exponent, saturated.
std::size_t read_exponent(std::string_view text, std::size_t pos, char marker, std::int64_t& exponent) {
    exponent = 0;
    if (pos >= text.size() || lower(text[pos]) != marker) return 0;
    std::size_t p = pos + 1;
    const bool negative = p < text.size() && text[p] == '-';
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) ++p;
    const std::size_t digits_start = p;
    while (p < text.size() && is_digit(text[p])) {
        if (exponent < exponent_cap) exponent = exponent * 10 + (text[p] - '0');
        ++p;
    }
    if (p == digits_start) return 0;
    if (exponent > exponent_cap) exponent = exponent_cap;
    if (negative) exponent = -exponent;
    return p - pos;
}

struct Rounded {
    std::uint64_t kept;  // the multiple of 2^lsb, in units of 2^lsb
    bool inexact;
};

// bits × 2^scale, plus less than one unit of its lowest bit when sticky,
// rounded to a multiple of 2^lsb: to nearest, ties to even.
Rounded round_at(std::uint64_t bits, bool sticky, std::int64_t scale, std::int64_t lsb) {
    const std::int64_t shift = lsb - scale;
    if (shift <= 0) return {bits << -shift, sticky};
    if (shift > 64) return {0, true};
    const std::uint64_t kept = shift == 64 ? 0 : bits >> shift;
    const bool half = ((bits >> (shift - 1)) & 1u) != 0;
    const bool below_half = (bits & ((std::uint64_t{1} << (shift - 1)) - 1)) != 0 || sticky;
    const bool up = half && (below_half || (kept & 1u) != 0);
    return {kept + (up ? 1u : 0u), half || below_half};
}

// The float nearest to bits × 2^scale (plus less than one unit of its
// lowest bit when sticky, which then needs bits to have its top nibble set).
Conversion binary_to_float(std::uint64_t bits, bool sticky, std::int64_t scale, float& magnitude) {
    magnitude = 0.0f;
    if (bits == 0) return Conversion::ok;
    // std::bit_width's type differs between library versions.
    const auto width = [](std::uint64_t v) { return static_cast<std::int64_t>(std::bit_width(v)); };
    const std::int64_t top = scale + width(bits) - 1;  // the leading bit's power of two
    if (top >= float_max_exponent) return Conversion::out_of_range;
    const std::int64_t lsb = std::max<std::int64_t>(top - float_bits + 1, float_lowest_bit);
    const Rounded r = round_at(bits, sticky, scale, lsb);
    if (width(r.kept) + lsb > float_max_exponent) return Conversion::out_of_range;
    // Tiny: below 2^-126 even when rounded to 24 bits with an unbounded
    // exponent, which only a leading bit of 2^-127 can escape.
    bool tiny = top < float_min_exponent - 1;
    if (top == float_min_exponent - 1) {
        tiny = (round_at(bits, sticky, scale, top - float_bits + 1).kept >> float_bits) == 0;
    }
    if (tiny && r.inexact) return Conversion::out_of_range;
    magnitude = std::ldexp(static_cast<float>(r.kept), static_cast<int>(lsb));
    return Conversion::ok;
}

// Hexadecimal float after "0x": hex digits with an optional point, at least
// one digit, then an optional binary exponent. Returns false when no digit
// follows the prefix (the text then reads as the "0" before the "x").
// Converted here rather than by from_chars: strtof's range error needs to
// know whether the result is exact.
bool parse_hex_float(std::string_view text, std::size_t pos, float& magnitude, Conversion& result) {
    std::uint64_t bits = 0;  // the leading 15 or 16 significant digits
    bool sticky = false;     // a non-zero digit after them
    std::int64_t scale = 0;  // the power of two of bits' lowest bit
    std::size_t digits = 0;
    const auto take = [&](char c, bool fraction) {
        const int d = is_digit(c) ? c - '0' : lower(c) - 'a' + 10;
        if ((bits >> 60) == 0) {
            bits = bits << 4 | static_cast<std::uint64_t>(d);
            if (fraction) scale -= 4;
        } else {
            sticky = sticky || d != 0;
            if (!fraction) scale += 4;
        }
        ++digits;
    };
    std::size_t p = pos;
    for (; p < text.size() && is_hex_digit(text[p]); ++p) take(text[p], false);
    if (p < text.size() && text[p] == '.') {
        for (++p; p < text.size() && is_hex_digit(text[p]); ++p) take(text[p], true);
    }
    if (digits == 0) return false;
    std::int64_t exponent = 0;
    read_exponent(text, p, 'p', exponent);
    result = binary_to_float(bits, sticky, scale + exponent, magnitude);
    return true;
}

// A decimal number as written: digits with at most one point, then the
// exponent part, if any.
struct DecimalText {
    std::string_view digits;
    std::string_view number;  // digits and exponent part
    std::int64_t exponent;
};

// The significant digits of a non-zero DecimalText, from the first non-zero
// one on, then zeros without end; and the power of ten p with the number
// being 0.d1d2d3... × 10^p.
class SignificantDigits {
public:
    explicit SignificantDigits(const DecimalText& x) : text_(x.digits) {
        std::int64_t power = 0;
        bool point = false;
        for (; next_ < text_.size() && (text_[next_] == '0' || text_[next_] == '.'); ++next_) {
            if (text_[next_] == '.') {
                point = true;
            } else if (point) {
                --power;  // a zero between the point and the first non-zero digit
            }
        }
        for (std::size_t p = next_; !point && p < text_.size() && text_[p] != '.'; ++p) ++power;
        position_ = power + x.exponent;
    }
    std::int64_t position() const { return position_; }
    bool done() const { return next_ >= text_.size(); }
    char next() {
        if (next_ < text_.size() && text_[next_] == '.') ++next_;
        return next_ < text_.size() ? text_[next_++] : '0';
    }

private:
    std::string_view text_;
    std::size_t next_ = 0;
    std::int64_t position_ = 0;
};

// Compares a non-zero DecimalText with units × 2^-q exactly, through the
// decimal digits of units × 5^q (units below 2^26 and q at most 151 give
// at most 114 of them). Returns <0, 0 or >0.
int compare_with_binary(const DecimalText& x, std::uint64_t units, int q) {
    constexpr std::uint32_t limb_base = 1'000'000'000;
    std::array<std::uint32_t, 16> limbs{};  // little end first
    std::size_t used = 0;
    for (; units != 0; units /= limb_base) limbs[used++] = static_cast<std::uint32_t>(units % limb_base);
    for (int left = q; left > 0;) {
        const int step = left < 13 ? left : 13;  // 5^13 < 2^32
        std::uint64_t factor = 1;
        for (int i = 0; i < step; ++i) factor *= 5;
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < used; ++i) {
            const std::uint64_t v = limbs[i] * factor + carry;
            limbs[i] = static_cast<std::uint32_t>(v % limb_base);
            carry = v / limb_base;
        }
        while (carry != 0) {
            limbs[used++] = static_cast<std::uint32_t>(carry % limb_base);
            carry /= limb_base;
        }
        left -= step;
    }
    char digits[16 * 9];
    auto [end, ec] = std::to_chars(digits, digits + 9, limbs[used - 1]);
    (void)ec;
    for (std::size_t i = used - 1; i-- > 0;) {
        for (int d = 8; d >= 0; --d) {
            end[d] = static_cast<char>('0' + limbs[i] % 10);
            limbs[i] /= 10;
        }
        end += 9;
    }
    const auto count = static_cast<std::size_t>(end - digits);

    SignificantDigits mine(x);
    const std::int64_t theirs = static_cast<std::int64_t>(count) - q;
    if (mine.position() != theirs) return mine.position() < theirs ? -1 : 1;
    for (std::size_t i = 0; !mine.done() || i < count; ++i) {
        const char a = mine.next();
        const char b = i < count ? digits[i] : '0';
        if (a != b) return a < b ? -1 : 1;
    }
    return 0;
}

// strtof's reading of a non-zero DecimalText. from_chars rounds correctly
// but does not tell whether the result is exact, and implementations
// differ in what they report for a subnormal one: below the smallest
// normal float, the decision is made here.
Conversion decimal_to_float(const DecimalText& x, float& magnitude) {
    const char* const first = x.number.data();
    const char* const last = first + x.number.size();
    magnitude = 0.0f;
    float value = 0.0f;
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc{} && value > std::numeric_limits<float>::min() && !std::isinf(value)) {
        magnitude = value;
        return Conversion::ok;
    }
    if (result.ec != std::errc{} || std::isinf(value)) {
        if (SignificantDigits(x).position() > 0) return Conversion::out_of_range;  // 1 or more: overflow
    }
    // Not tiny from (2^25 - 1) × 2^-151 up: that rounds to 2^-126 in 24 bits.
    if (compare_with_binary(x, (std::uint64_t{1} << (float_bits + 1)) - 1, 1 - float_min_exponent + float_bits) >= 0) {
        magnitude = result.ec == std::errc{} ? value : std::numeric_limits<float>::min();
        return Conversion::ok;
    }
    // Tiny: no error only for an exact multiple of 2^-149. The nearest
    // double is then that very value.
    double near = 0.0;
    if (std::from_chars(first, last, near, std::chars_format::general).ec == std::errc{}) {
        const double units = std::ldexp(near, -float_lowest_bit);
        if (units >= 1.0 && units < std::ldexp(1.0, float_bits) && units == std::floor(units) &&
            compare_with_binary(x, static_cast<std::uint64_t>(units), -float_lowest_bit) == 0) {
            magnitude = std::ldexp(static_cast<float>(units), float_lowest_bit);
            return Conversion::ok;
        }
    }
    return Conversion::out_of_range;
}

// Decimal float: digits with an optional point, at least one digit, then an
// optional exponent. Returns false when there is no digit.
bool parse_decimal_float(std::string_view text, std::size_t pos, float& magnitude, Conversion& result) {
    std::size_t p = pos;
    std::size_t digits = 0;
    bool nonzero = false;
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
    DecimalText x;
    x.digits = text.substr(pos, p - pos);
    x.number = text.substr(pos, p - pos + read_exponent(text, p, 'e', x.exponent));
    magnitude = 0.0f;
    result = nonzero ? decimal_to_float(x, magnitude) : Conversion::ok;
    return true;
}

}  // namespace

std::int32_t lenient_int(std::string_view text) {
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
    Conversion result = Conversion::ok;
    bool parsed = false;
    if (pos + 1 < text.size() && text[pos] == '0' && lower(text[pos + 1]) == 'x') {
        parsed = parse_hex_float(text, pos + 2, magnitude, result);
    }
    if (!parsed && !parse_decimal_float(text, pos, magnitude, result)) {
        out = 0.0f;
        return Conversion::invalid_argument;
    }
    out = result == Conversion::ok ? with_sign(magnitude, negative) : 0.0f;
    return result;
}

}  // namespace orvane
