// The library's one process-wide Runtime, behind the exports.
#pragma once

#include "api/runtime.h"

namespace orvane {

Runtime& process_runtime();

// No exception leaves an export: a failure the library has no other way to
// report (no memory, no thread) is a refusal.
template <class Call>
int guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return 0;
    }
}

}  // namespace orvane
