// Number conversions of the protocol, without allocation.
//
// Lenient conversions read like atoi/atol: optional white space, optional
// sign, decimal digits; text without a number gives 0 and values beyond the
// int32 range saturate at its limits.
//
// Strict conversions read like strtol (base 10) and strtof: optional white
// space, optional sign, the number; what follows is ignored. Text without a
// number is an invalid argument; a value outside int32 (ints) or a range
// error of strtof (floats: overflow, or a value below the smallest normal
// float, even once rounded to 24 bits, that the result does not hold
// exactly; an exact subnormal such as 0x1p-149 is no error) is out of
// range. The decimal point is always ".", whatever the process locale.
// Callers use the value only on success (a strict int out of range holds
// the nearest int32 limit, other failures 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orvane {

enum class Conversion { ok, invalid_argument, out_of_range };

std::int32_t lenient_int(std::string_view text);
Conversion strict_int(std::string_view text, std::int32_t& out);
Conversion strict_float(std::string_view text, float& out);

// The same integer conversions, also giving how many bytes at the start of
// text the number took, white space and sign included (0 when there is no
// number), so a caller can walk a list without cutting it first.
std::int32_t lenient_int(std::string_view text, std::size_t& used);
Conversion strict_int(std::string_view text, std::int32_t& out, std::size_t& used);

}  // namespace orvane
