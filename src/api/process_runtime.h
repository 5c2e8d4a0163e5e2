// The library's one process-wide Runtime, behind the exports.
#pragma once

#include "state/runtime.h"

namespace orvane {

Runtime& process_runtime();

}  // namespace orvane
