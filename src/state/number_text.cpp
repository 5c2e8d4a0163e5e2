#include "state/number_text.h"
// Placeholder until the conversions land.
namespace orvane {
std::int32_t lenient_int(std::string_view) { return 0; }
std::int32_t lenient_long(std::string_view) { return 0; }
Conversion strict_int(std::string_view, std::int32_t& out) { out = 0; return Conversion::invalid_argument; }
Conversion strict_float(std::string_view, float& out) { out = 0; return Conversion::invalid_argument; }
}  // namespace orvane
