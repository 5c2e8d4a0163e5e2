// Digital outputs: the calls only store the wanted values; the poll loop
// sends all 24 as one frame when any has changed.
#include <orvane/orvane.h>

#include <cstdint>

#include "api/process_runtime.h"

namespace orvane {

namespace {
constexpr std::int32_t default_level = 16;
constexpr std::int32_t full_on = 255;

// Levels are 1..16 when they come from the controller or from code 5, but
// the product is formed wide anyway so no level can make it overflow.
std::int32_t output_product(std::int32_t value, std::int32_t level) {
    const std::int64_t product = static_cast<std::int64_t>(value) * level;
    if (product > INT32_MAX) return INT32_MAX;
    if (product < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(product);
}
}  // namespace

int Runtime::set_output_value(int output, int value) {
    if (!connected() || !io_number(output) || value > full_on) return 0;
    const int index = output - 1;
    // A negative value would go out as a negative output value.
    if (value < 0) return 0;
    const auto i = static_cast<std::size_t>(index);
    if (mirror_.output_level[i].get() == 0) mirror_.output_level[i].set(default_level);
    mirror_.output_value[i].set(output_product(value, mirror_.output_level[i].get()));
    wakeup_.signal();
    return 1;
}

int Runtime::set_output_on(int output, bool on) {
    if (!connected() || !io_number(output)) return 0;
    const int index = output - 1;
    const auto i = static_cast<std::size_t>(index);
    mirror_.output_value[i].set(on ? output_product(full_on, mirror_.output_level[i].get()) : 0);
    wakeup_.signal();
    return 1;
}

int Runtime::set_output_all(bool on) {
    if (!connected()) return 0;
    for (std::size_t i = 0; i < io_total; ++i) {
        mirror_.output_value[i].set(on ? output_product(full_on, mirror_.output_level[i].get()) : 0);
    }
    wakeup_.signal();
    return 1;
}

}  // namespace orvane

ORVANE_API int Orvane_set_output(int output, int value) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_value(output, value); });
}

ORVANE_API int Orvane_set_output(int output, bool on) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_on(output, on); });
}

ORVANE_API int Orvane_set_outputAll(bool on) {
    return orvane::guarded([&] { return orvane::process_runtime().set_output_all(on); });
}
