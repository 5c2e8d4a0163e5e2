// What a controller handle of the C interface holds.
#pragma once

#include <orvane/orvane_c.h>

#include <atomic>
#include <memory>

#include "api/runtime.h"

struct orvane_controller {
    std::unique_ptr<orvane::Runtime> runtime;
    // Waits under way on other threads; destroy lets them leave first.
    std::atomic<int> waits{0};
};
