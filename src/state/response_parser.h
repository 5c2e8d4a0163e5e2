// Applies what the controller sends to the mirror. Pure: one received chunk
// in, mirror changes out, no state of its own and no I/O, so it is tested
// by feeding it bytes.
#pragma once

#include <string_view>

#include "state/controller_mirror.h"
#include "state/number_text.h"

namespace orvane {

// Cuts the chunk into lines and applies every well-formed reply in order.
// A strict conversion that fails ends the chunk there: what was stored
// before it stays, the rest is dropped, and the failure is returned.
Conversion apply_chunk(ControllerMirror& mirror, std::string_view chunk);

}  // namespace orvane
