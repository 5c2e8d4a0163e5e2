// Number conversions of the protocol, without allocation.
//
// Lenient conversions read like atoi/atol: optional white space, optional
// sign, decimal digits; text without a number gives 0 and values beyond the
// int32 range saturate at its limits.
//
// Strict conversions read like strtol (base 10) and strtof: optional white
// space, optional sign, the number; what follows is ignored. Text without a
// number is an invalid argument; a value outside int32 (ints) or a range
// error of strtof (floats: overflow, or underflow to a subnormal or zero
// result) is out of range. The decimal point is always ".", whatever the
// process locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvane {

enum class Conversion { ok, invalid_argument, out_of_range };

std::int32_t lenient_int(std::string_view text);
std::int32_t lenient_long(std::string_view text);
Conversion strict_int(std::string_view text, std::int32_t& out);
Conversion strict_float(std::string_view text, float& out);

}  // namespace orvane
