// Every field of a state mirror as text, so that "nothing changed" is one
// comparison with a readable difference.
#pragma once

#include <string>

#include "state/controller_mirror.h"

namespace orvane::test {

std::string mirror_dump(const ControllerMirror& mirror);

}  // namespace orvane::test
