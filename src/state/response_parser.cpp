#include "state/response_parser.h"
// Placeholder until the parser lands.
namespace orvane {
Conversion apply_chunk(ControllerMirror&, std::string_view) { return Conversion::ok; }
}  // namespace orvane
