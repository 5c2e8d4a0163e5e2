#include "support/time_scale.h"

#include <cmath>
#include <cstdlib>

namespace orvane::testing {

double time_scale() {
    static const double scale = [] {
        const char* text = std::getenv("ORVANE_TEST_TIME_SCALE");
        if (text == nullptr || *text == '\0') return 1.0;
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end == text || *end != '\0' || !std::isfinite(value) || value < 1.0) return 1.0;
        return value;
    }();
    return scale;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds bound) {
    return std::chrono::milliseconds(static_cast<long long>(std::ceil(static_cast<double>(bound.count()) * time_scale())));
}

double scaled_ms(double bound_ms) { return bound_ms * time_scale(); }

}  // namespace orvane::testing
