// The number forms of command texts: integer, six-decimal ("%f") and
// one-decimal. Point as separator, no exponent, no plus sign, whatever the
// process locale.
#pragma once

#include <cstdint>
#include <string>

namespace orvane {

void append_int(std::string& out, std::int64_t value);
void append_six_decimal(std::string& out, double value);
void append_one_decimal(std::string& out, double value);

}  // namespace orvane
