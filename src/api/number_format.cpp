#include "api/number_format.h"

#include <charconv>
#include <cmath>

namespace orvane {

void append_int(std::string& out, std::int64_t value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    out.append(digits, end);
}

namespace {
void append_fixed(std::string& out, double value, int precision) {
    // "nan" and "inf" are not numbers a controller can read: a value that is
    // not finite goes out as zero, so every field keeps its form.
    if (!std::isfinite(value)) value = 0.0;
    // Large enough for the widest double in fixed notation (309 digits).
    char digits[400];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    (void)ec;
    out.append(digits, end);
}
}  // namespace

void append_six_decimal(std::string& out, double value) {
    append_fixed(out, value, 6);
}
void append_one_decimal(std::string& out, double value) {
    append_fixed(out, value, 1);
}

void append_six_decimal_for_host(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
    } else if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
    } else {
        append_fixed(out, value, 6);
    }
}

}  // namespace orvane
